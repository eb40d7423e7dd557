// Costs of the Result text form against plain string work on the same characters, and the heap
// allocations of a success Result (there must be none).
#include "BenchCommon.h"

#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <new>
#include <vector>

// Counting allocator: every operator new in this program passes here.
static std::atomic<long> gAllocations{0};
void* operator new(std::size_t size)
{
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{
// A typical failure: code, one string argument, one nested cause.
Result Typical()
{
    Result cause(__FILE__, __LINE__, "bench", NOTIFY_ERROR_LOG_CREATE_FAILED);
    cause.GetArguments().push_back(Argument(String(u"/var/log/backup/Nightly.log.txt")));
    Result r(__FILE__, __LINE__, "bench", NOTIFY_ERROR_EMAIL_SEND);
    r.GetArguments().push_back(Argument(String(u"smtp.example.org:25 refused the connection")));
    r.GetArguments().push_back(Argument(cause));
    return r;
}

const String& TypicalText()
{
    static const String text = Typical().Serialize();
    return text;
}

// The text split where the writer appends its pieces.
const std::vector<String>& Pieces()
{
    static const std::vector<String> pieces = [] {
        std::vector<String> out;
        String current;
        for (char16_t c : TypicalText())
        {
            current += c;
            if (c == u' ' || c == u'(' || c == u')')
            {
                out.push_back(current);
                current.clear();
            }
        }
        out.push_back(current);
        return out;
    }();
    return pieces;
}
} // namespace

static void BM_Serialize(benchmark::State& state)
{
    const Result r = Typical();
    r.Serialize(); // names cached
    for (auto _ : state)
        benchmark::DoNotOptimize(r.Serialize());
}
BENCHMARK(BM_Serialize);

static void BM_BuildSameString(benchmark::State& state)
{
    const std::vector<String>& pieces = Pieces();
    for (auto _ : state)
    {
        String s;
        for (const String& p : pieces)
            s += p;
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_BuildSameString);

static void BM_Deserialize(benchmark::State& state)
{
    const String& text = TypicalText();
    for (auto _ : state)
        benchmark::DoNotOptimize(DeserializeResult(text));
}
BENCHMARK(BM_Deserialize);

static void BM_ScanSameString(benchmark::State& state)
{
    const String& text = TypicalText();
    for (auto _ : state)
    {
        // A tokenizer's pass: classify every character and copy the tokens out.
        std::vector<String> tokens;
        String current;
        for (char16_t c : text)
        {
            if (std::iswspace(static_cast<wint_t>(c)))
            {
                tokens.push_back(current);
                current.clear();
            }
            else
                current += c;
        }
        tokens.push_back(current);
        benchmark::DoNotOptimize(tokens);
    }
}
BENCHMARK(BM_ScanSameString);

static void BM_SuccessResult(benchmark::State& state)
{
    for (auto _ : state)
    {
        Result success;
        Result copy = success;
        copy = success;
        benchmark::DoNotOptimize(copy.IsSuccess());
    }
}
BENCHMARK(BM_SuccessResult);

int main(int argc, char** argv)
{
    RegisterMessageTables();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const long before = gAllocations.load();
    for (int i = 0; i < 1000; ++i)
    {
        Result success(__FILE__, __LINE__, "bench", kSuccess);
        Result copy = success;
        Result moved = std::move(copy);
        benchmark::DoNotOptimize(moved.GetCode());
    }
    const long allocations = gAllocations.load() - before;

    const double serialize = reporter.Time("BM_Serialize") / reporter.Time("BM_BuildSameString");
    const double parse = reporter.Time("BM_Deserialize") / reporter.Time("BM_ScanSameString");
    std::printf("\nSerialize / build the same u16string: %.2f (limit 3)\n", serialize);
    std::printf("DeserializeResult / scan the same u16string: %.2f (limit 3)\n", parse);
    std::printf("heap allocations for 1000 success Results built, copied, moved and destroyed: %ld\n", allocations);
    return 0;
}

// Costs of debug-log entries: one rejected by its context mask (one test) next to an empty loop
// iteration, and accepted entries kept in memory and written to the direct file.
#include "BenchCommon.h"

#include "Base/Dev/Diagnostics/DebugLog.h"

#include <cstdio>
#include <unistd.h>

// Both loops do eight steps per iteration, so the loop's own overhead does not decide the ratio;
// times are per iteration of eight steps. Both inner loops are unrolled alike (eight steps in a row), so
// they have the same shape and differ only by the entry; the entry's own code lies out of the loop
// (Debug::Entry is cold), leaving its mask test.
static void BM_EmptyIteration(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state)
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k)
            benchmark::DoNotOptimize(++i);
}
BENCHMARK(BM_EmptyIteration);

static void BM_RejectedEntry(benchmark::State& state)
{
    Debug::SetContextMask(Debug::APPLICATION, 0);
    int i = 0;
    for (auto _ : state)
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k)
        {
            benchmark::DoNotOptimize(++i);
            DEBUG_LOG(Debug::APPLICATION, Debug::LOWINFO) << "rejected " << i;
        }
}
BENCHMARK(BM_RejectedEntry);

static void BM_AcceptedEntryInMemory(benchmark::State& state)
{
    Debug::SetContextMask(Debug::APPLICATION, Debug::LOWINFO);
    int i = 0;
    for (auto _ : state)
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::LOWINFO) << "ObjectLocker -- Entering PasswordLocker for Password " << ++i;
        if ((i & 0xFFF) == 0)
            Debug::DebugLog().Clear(); // keep memory bounded; a clear per 4096 entries
    }
    Debug::SetContextMask(Debug::APPLICATION, 0);
    Debug::DebugLog().Clear();
}
BENCHMARK(BM_AcceptedEntryInMemory);

static void BM_AcceptedEntryToDirectFile(benchmark::State& state)
{
    char path[] = "/tmp/ferrule-bench-debug-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    Debug::DebugLog().SetDirectFile(path);
    Debug::SetContextMask(Debug::APPLICATION, Debug::LOWINFO);
    int i = 0;
    for (auto _ : state)
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::LOWINFO) << "ObjectLocker -- Entering PasswordLocker for Password " << ++i;
        if ((i & 0xFFF) == 0)
            Debug::DebugLog().Clear();
    }
    Debug::SetContextMask(Debug::APPLICATION, 0);
    Debug::DebugLog().SetDirectFile("");
    Debug::DebugLog().Clear();
    unlink(path);
}
BENCHMARK(BM_AcceptedEntryToDirectFile);

int main(int argc, char** argv)
{
    Debug::DebugLog(); // the start entry is not part of any measurement
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nrejected entry / empty loop iteration: %.2f (limit 2)\n",
                reporter.Time("BM_RejectedEntry") / reporter.Time("BM_EmptyIteration"));
    std::printf("accepted entry: %.0f ns in memory, %.0f ns to the direct file\n",
                reporter.Time("BM_AcceptedEntryInMemory"), reporter.Time("BM_AcceptedEntryToDirectFile"));
    return 0;
}

#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Platform/Com/Calendar.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <cwctype>
#include <memory>
#include <set>

namespace
{
// ---- creation entries

ResultEntryFunction gEntryFunction = nullptr;
thread_local std::unique_ptr<std::multiset<uint32_t>> tSuppressed;

const std::set<uint32_t>& ProcessSuppressionSet()
{
    static const std::set<uint32_t> set = {0xA7D10008};
    return set;
}

void OfferCreationEntry(const Result& result, const char* file, int line, const char* function, bool fromInit)
{
    ResultEntryFunction sink = gEntryFunction;
    if (sink == nullptr || IsResultEntrySuppressed(result.GetCode()))
        return;
    try
    {
        sink(result, file, line, function, fromInit);
    }
    catch (...)
    {
        // The entry is a diagnostic; the Result stands whatever happens to it.
    }
}

struct OsErrorPair
{
    uint32_t windowsError;
    uint32_t code;
};
const OsErrorPair kOsErrors[] = {
    {34, 0xEBAB001B},  {106, 0xEBAB001C}, {129, 0xEBAB001D}, {182, 0xEBAB001E}, {188, 0xEBAB001F},
    {189, 0xEBAB0020}, {190, 0xEBAB0021}, {191, 0xEBAB0022}, {192, 0xEBAB0023}, {193, 0xEBAB0024},
    {194, 0xEBAB0025}, {195, 0xEBAB0026}, {198, 0xEBAB0027}, {201, 0xEBAB0028}, {202, 0xEBAB0029},
    {216, 0xEBAB002A}, {317, 0xEBAB002B},
};

const int64_t kTicksPerSecond = 10000000;
const int64_t kTicksPerDay = 86400 * kTicksPerSecond;
const int64_t kDayOfYearOne = DaysFromCivil(1, 1, 1);
} // namespace

// ---- suppression

void SetResultEntryFunction(ResultEntryFunction function)
{
    gEntryFunction = function;
}

void PushSuppressedResultCode(uint32_t code)
{
    if (!tSuppressed)
        tSuppressed = std::make_unique<std::multiset<uint32_t>>();
    tSuppressed->insert(code);
}

void PopSuppressedResultCode(uint32_t code)
{
    if (!tSuppressed)
        return;
    auto it = tSuppressed->find(code);
    if (it != tSuppressed->end())
        tSuppressed->erase(it);
    if (tSuppressed->empty())
        tSuppressed.reset();
}

bool IsResultEntrySuppressed(uint32_t code)
{
    if (code >= kNativeFlag && (code >> 30) == 1)
        return true; // informational
    if (ProcessSuppressionSet().count(code))
        return true;
    return tSuppressed && tSuppressed->count(code);
}

// ---- DateTime

DateTime DateTime::FromParts(int year, int month, int day, int hour, int minute, int second, int fraction100ns)
{
    const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDayOfYearOne;
    return DateTime{days * kTicksPerDay + (hour * 3600LL + minute * 60LL + second) * kTicksPerSecond + fraction100ns};
}

String DateTime::ToText() const
{
    int64_t days = ticks / kTicksPerDay;
    int64_t rest = ticks % kTicksPerDay;
    if (rest < 0)
    {
        rest += kTicksPerDay;
        --days;
    }
    int64_t y;
    unsigned m, d;
    CivilFromDays(days + kDayOfYearOne, y, m, d);
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    if (rest != 0)
    {
        const int64_t seconds = rest / kTicksPerSecond;
        const int64_t fraction = rest % kTicksPerSecond;
        n += std::snprintf(buffer + n, sizeof buffer - n, "T%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                           static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
        if (fraction != 0)
            n += std::snprintf(buffer + n, sizeof buffer - n, ".%07lld", static_cast<long long>(fraction));
    }
    buffer[n++] = 'Z';
    return String(buffer, buffer + n);
}

bool DateTime::FromText(const String& text, DateTime& out)
{
    std::string s;
    for (char16_t c : text)
    {
        if (c > 0x7E)
            return false;
        s += static_cast<char>(c);
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, n = 0;
    long long fraction = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 || n != 10)
        return false;
    size_t pos = 10;
    if (pos < s.size() && s[pos] == 'T')
    {
        if (std::sscanf(s.c_str() + pos, "T%2d:%2d:%2d%n", &h, &mi, &se, &n) != 3 || n != 9)
            return false;
        pos += 9;
        if (pos < s.size() && s[pos] == '.')
        {
            if (std::sscanf(s.c_str() + pos, ".%7lld%n", &fraction, &n) != 1 || n != 8)
                return false;
            pos += 8;
        }
    }
    if (pos + 1 != s.size() || s[pos] != 'Z')
        return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0) || h > 23 || mi > 59 ||
        se > 59 || fraction < 0)
        return false;
    out = FromParts(y, mo, d, h, mi, se, static_cast<int>(fraction));
    return true;
}

// ---- ResultContext

ResultContext::ResultContext()
    : mVersion(u"1.0"), mCategories{u"*", u"*", u"*"}, mCombined(u"1.0-*-*-*"), mValid(true)
{
}

void ResultContext::Clear()
{
    mVersion.clear();
    for (String& c : mCategories)
        c.clear();
    mCombined.clear();
    mValid = false;
}

bool ResultContext::Parse(const String& text)
{
    String parts[4];
    size_t part = 0;
    for (char16_t c : text)
    {
        if (c == u'-')
        {
            if (++part == 4)
                return false;
            continue;
        }
        if (std::iswspace(static_cast<wint_t>(c)))
            return false;
        parts[part] += c;
    }
    if (part != 3)
        return false;
    for (const String& p : parts)
        if (p.empty())
            return false;
    mVersion = parts[0];
    for (int i = 0; i < 3; ++i)
        mCategories[i] = parts[i + 1];
    mCombined = text;
    mValid = true;
    return true;
}

// ---- Result

ResultRep* Result::NewRep(uint32_t code)
{
    ResultRep* rep = new ResultRep();
    rep->code = code;
    return rep;
}

Result::Result(const char* file, int line, const char* function, uint32_t code)
{
    if (code == kSuccess)
        return;
    mRep = NewRep(code);
    OfferCreationEntry(*this, file, line, function, false);
}

Result::Result(const Result& other) noexcept : mRep(other.mRep)
{
    if (mRep)
        ++mRep->refCount;
}

Result::Result(Result&& other) noexcept : mRep(other.mRep)
{
    other.mRep = nullptr;
}

Result& Result::operator=(const Result& other) noexcept
{
    if (other.mRep)
        ++other.mRep->refCount;
    Release();
    mRep = other.mRep;
    return *this;
}

Result& Result::operator=(Result&& other) noexcept
{
    if (this != &other)
    {
        Release();
        mRep = other.mRep;
        other.mRep = nullptr;
    }
    return *this;
}

Result::~Result()
{
    Release();
}

void Result::Release() noexcept
{
    if (mRep && --mRep->refCount == 0)
    {
        delete mRep->arguments;
        delete mRep;
    }
    mRep = nullptr;
}

const Argument& Result::NoArgument()
{
    static const Argument none;
    return none;
}

void Result::Init(const char* file, int line, const char* function, uint32_t code, const Argument& a1,
                  const Argument& a2, const Argument& a3, const Argument& a4, const Argument& a5, const Argument& a6,
                  const Argument& a7, const Argument& a8, const Argument& a9)
{
    PRECONDITION_IN("Result::Init", code != kSuccess);
    Result fresh(NewRep(code));
    for (const Argument* a : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9})
        if (a != &NoArgument())
            fresh.GetArguments().push_back(*a);
    *this = std::move(fresh);
    OfferCreationEntry(*this, file, line, function, true);
}


uint32_t Result::SeverityOf(uint32_t code)
{
    if (code == kSuccess)
        return 0;
    if (code < kNativeFlag)
        return 3;
    return code >> 30;
}

uint32_t Result::GetSeverity() const
{
    return SeverityOf(GetCode());
}


ArgumentList& Result::GetArguments()
{
    PRECONDITION_IN("Result::GetArguments", mRep);
    if (mRep->refCount > 1)
    {
        // Copy on write: a change through this copy is never seen through another.
        auto* own = new ResultRep{1, mRep->code, mRep->name, mRep->context,
                                  mRep->arguments ? new ArgumentList(*mRep->arguments) : nullptr};
        Release();
        mRep = own;
    }
    if (mRep->arguments == nullptr)
        mRep->arguments = new ArgumentList();
    return *mRep->arguments;
}


bool Result::HasArguments() const
{
    return mRep && mRep->arguments && !mRep->arguments->empty();
}

const ResultContext* Result::Context() const
{
    return mRep ? &mRep->context : nullptr;
}

String Result::GetName() const
{
    return NameRef();
}

const String& Result::NameRef() const
{
    static const String success = u"GENERIC_SUCCESS";
    if (!mRep)
        return success;
    if (mRep->name.empty())
        mRep->name = Utf8ToUtf16(StringRepository::GetSymbolicName(mRep->code));
    return mRep->name;
}

bool Result::Contains(uint32_t code) const
{
    if (GetCode() == code)
        return true;
    if (!HasArguments())
        return false;
    const size_t placeholders = CountPlaceholders(GetMessageText(mRep->code, true));
    const ArgumentList& args = *mRep->arguments;
    for (size_t i = placeholders; i < args.size(); ++i)
        if (args[i].GetType() == DATATYPE_RESULT && args[i].GetResult().Contains(code))
            return true;
    return false;
}

Result& Result::operator+=(const Result& right)
{
    if (right.IsSuccess())
        return *this;
    if (IsSuccess())
    {
        *this = right;
        return *this;
    }
    const uint32_t severity = std::max(GetSeverity(), right.GetSeverity());
    const uint32_t code = severity == 3 ? ERROR_ERRORS_EXIST : severity == 2 ? WARNING_WARNINGS_EXIST : INFO_INFOS_EXIST;
    PushSuppressedResultCode(code);
    Result aggregate(__FILE__, __LINE__, "Result::operator +=", code);
    PopSuppressedResultCode(code);
    const Result* parts[] = {this, &right};
    for (const Result* part : parts)
    {
        if (IsAggregateCode(part->GetCode()))
        {
            if (const ArgumentList* args = part->Arguments())
                for (const Argument& a : *args)
                    aggregate.GetArguments().push_back(a);
        }
        else
            aggregate.GetArguments().push_back(Argument(*part));
    }
    *this = std::move(aggregate);
    return *this;
}

Result Result::FromOsError(uint32_t number, bool wrap)
{
    uint32_t code = number;
    if (wrap)
        code = (number & 0xFFFF) | 0xEEEE0000;
    else
        for (const OsErrorPair& p : kOsErrors)
            if (p.windowsError == number)
            {
                code = p.code;
                break;
            }
    return Result(__FILE__, __LINE__, "Result::FromOsError", code);
}

Result Result::FromLastOsError()
{
    return FromOsError(GetLastError(), false);
}


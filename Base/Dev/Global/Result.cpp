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

// ---- text form helpers

void AppendHex(String& out, uint64_t v)
{
    if (v == 0)
    {
        out += u'0';
        return;
    }
    char16_t buffer[18];
    size_t n = sizeof buffer / sizeof buffer[0];
    while (v != 0)
    {
        buffer[--n] = u"0123456789abcdef"[v & 15];
        v >>= 4;
    }
    buffer[--n] = u'x';
    buffer[--n] = u'0';
    out.append(buffer + n, sizeof buffer / sizeof buffer[0] - n);
}

void AppendDecimal(String& out, uint64_t v)
{
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    (void)ec;
    out.append(buffer, end);
}

void AppendCounted(String& out, const String& text)
{
    AppendDecimal(out, text.size());
    out += u' ';
    out += text;
}

// The "C" locale: the text form's numbers do not follow the host's locale ("1.5", never "1,5").
locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c;
}

void AppendReal(String& out, double v)
{
    char buffer[64];
    const locale_t previous = uselocale(CLocale());
    const int n = std::snprintf(buffer, sizeof buffer, "%g", v);
    uselocale(previous);
    out.append(buffer, buffer + n);
}

// Nested results and containers in text are bounded, so hostile text cannot exhaust the stack.
const int kMaxNesting = 64;

struct NestingGuard
{
    static thread_local int depth;
    NestingGuard()
    {
        if (++depth > kMaxNesting)
        {
            --depth;
            CHECK_FAILED("Result nesting too deep");
        }
    }
    ~NestingGuard() { --depth; }
};
thread_local int NestingGuard::depth = 0;

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

uint32_t Result::GetCode() const
{
    return mRep ? mRep->code : kSuccess;
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

uint32_t Result::GetFacility() const
{
    return (GetCode() >> 16) & 0xFFF;
}

ArgumentList& Result::GetArguments()
{
    PRECONDITION_IN("Result::GetArguments", mRep);
    if (mRep->arguments == nullptr)
        mRep->arguments = new ArgumentList();
    return *mRep->arguments;
}

const ArgumentList* Result::Arguments() const
{
    return mRep ? mRep->arguments : nullptr;
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

String Result::Serialize() const
{
    String out;
    out.reserve(256);
    SerializeTo(out);
    return out;
}

void Result::SerializeTo(String& out) const
{
    const uint32_t code = GetCode();
    if (code != kSuccess && (!(code & kNativeFlag) || GetFacility() == kFacilityCRuntime))
    {
        // Foreign codes never appear in the text form.
        Result replacement(__FILE__, __LINE__, "Result::Serialize", ERROR_OS_ERROR);
        replacement.GetArguments().push_back(Argument(GetMessageText(code, false)));
        if (const ArgumentList* args = Arguments())
            for (const Argument& a : *args)
                replacement.GetArguments().push_back(a);
        replacement.SerializeTo(out);
        return;
    }
    out += u"Result (";
    AppendHex(out, code);
    out += u' ';
    AppendCounted(out, NameRef());
    out += u' ';
    if (code != kSuccess)
    {
        const ArgumentList* args = Arguments();
        out += u"Args [";
        AppendDecimal(out, args ? args->size() : 0);
        out += u']';
        if (args)
            for (const Argument& a : *args)
            {
                out += u' ';
                a.SerializeTo(out);
            }
        out += u';';
    }
    out += u')';
    if (code != kSuccess && mRep->context.Valid())
    {
        out += u'<';
        AppendCounted(out, mRep->context.Combined());
        out += u" >";
    }
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

// ---- WideReader

void WideReader::SkipWhite()
{
    while (mPos < mText.size() && std::iswspace(static_cast<wint_t>(mText[mPos])))
        ++mPos;
}

String WideReader::Read(size_t n)
{
    if (mFailed || n > mText.size() - mPos)
    {
        mFailed = true;
        mPos = mText.size();
        return String();
    }
    String s(mText.substr(mPos, n));
    mPos += n;
    return s;
}

bool WideReader::Get(char16_t& c)
{
    if (mFailed || mPos >= mText.size())
    {
        mFailed = true;
        return false;
    }
    c = mText[mPos++];
    return true;
}

void WideReader::Unget()
{
    if (mPos > 0)
        --mPos;
}

bool WideReader::ReadHex(uint64_t& value)
{
    value = 0;
    if (mFailed)
        return false;
    SkipWhite();
    auto hexDigit = [](char16_t c) {
        return (c >= u'0' && c <= u'9') ? c - u'0'
               : (c >= u'a' && c <= u'f') ? c - u'a' + 10
               : (c >= u'A' && c <= u'F') ? c - u'A' + 10
                                            : -1;
    };
    // An optional "0x" prefix, taken only when a digit follows it.
    if (mPos + 2 < mText.size() && mText[mPos] == u'0' && (mText[mPos + 1] == u'x' || mText[mPos + 1] == u'X') &&
        hexDigit(mText[mPos + 2]) >= 0)
        mPos += 2;
    size_t digits = 0;
    while (mPos < mText.size() && hexDigit(mText[mPos]) >= 0)
    {
        if (value >> 60)
        {
            mFailed = true;
            return false;
        }
        value = (value << 4) | static_cast<uint64_t>(hexDigit(mText[mPos++]));
        ++digits;
    }
    if (digits == 0)
        mFailed = true;
    return !mFailed;
}

bool WideReader::ReadDecimal(uint64_t& value)
{
    value = 0;
    if (mFailed)
        return false;
    SkipWhite();
    size_t digits = 0;
    while (mPos < mText.size() && mText[mPos] >= u'0' && mText[mPos] <= u'9')
    {
        const uint64_t d = mText[mPos++] - u'0';
        if (value > (UINT64_MAX - d) / 10)
        {
            mFailed = true;
            return false;
        }
        value = value * 10 + d;
        ++digits;
    }
    if (digits == 0)
        mFailed = true;
    return !mFailed;
}

bool WideReader::ReadDouble(double& value)
{
    value = 0;
    if (mFailed)
        return false;
    SkipWhite();
    std::string s;
    while (mPos < mText.size() && s.size() < 64)
    {
        const char16_t c = mText[mPos];
        const bool ok = (c >= u'0' && c <= u'9') || c == u'.' || c == u'e' || c == u'E' || c == u'+' || c == u'-' ||
                        c == u'i' || c == u'n' || c == u'f' || c == u'a';
        if (!ok)
            break;
        s += static_cast<char>(c);
        ++mPos;
    }
    char* end = nullptr;
    value = strtod_l(s.c_str(), &end, CLocale());
    if (s.empty() || end != s.c_str() + s.size())
        mFailed = true;
    return !mFailed;
}

bool WideReader::ReadCounted(String& text)
{
    text.clear();
    uint64_t length = 0;
    char16_t skip;
    if (!ReadDecimal(length) || !Get(skip))
        return false;
    if (length > mText.size() - mPos)
    {
        mFailed = true;
        return false;
    }
    text = Read(static_cast<size_t>(length));
    const size_t nul = text.find(u'\0');
    if (nul != String::npos)
        text.resize(nul);
    return !mFailed;
}

Result DeserializeResult(WideReader& reader)
{
    NestingGuard nesting;
    reader.SkipWhite();
    String data = reader.Read(8);
    CHECK(String (data).compare (StringLiteral ("Result (")) == 0);
    uint64_t code = 0;
    if (reader.ReadHex(code) && code > 0xFFFFFFFFu)
    {
        code = 0;
        reader.Fail();
    }
    reader.SkipWhite();
    String name;
    reader.ReadCounted(name);
    reader.SkipWhite();
    Result result;
    if (code != kSuccess && !reader.Failed())
    {
        result = Result(__FILE__, __LINE__, "DeserializeResult", static_cast<uint32_t>(code));
        result.mRep->name = name;
        Argument::DeserializeArguments(reader, result.GetArguments());
    }
    reader.SkipWhite();
    data = reader.Read(1);
    CHECK(String (data).compare (StringLiteral (")")) == 0);
    if (code != kSuccess && !reader.AtEnd())
    {
        char16_t c = 0;
        reader.Get(c);
        if (c != u'<')
            reader.Unget();
        else
        {
            String context;
            reader.ReadCounted(context);
            if (!context.empty())
            {
                result.mRep->context.Clear();
                result.mRep->context.Parse(context);
            }
            reader.SkipWhite();
            String data1 = reader.Read(1);
            CHECK(String (data1).compare (StringLiteral (">")) == 0);
        }
    }
    return result;
}

Result DeserializeResult(const String& text)
{
    WideReader reader(text);
    return DeserializeResult(reader);
}

bool TryDeserializeResult(std::u16string_view text, Result& result)
{
    if (text.size() < 8 || text.compare(0, 8, u"Result (") != 0)
        return false;
    try
    {
        WideReader reader(text);
        result = DeserializeResult(reader);
        return true;
    }
    catch (const AssertionFailure&)
    {
        return false;
    }
}

// ---- Argument

Argument::Argument(bool v) : mType(DATATYPE_BOOL)
{
    mValue.u64 = 0;
    mValue.b = v;
}
#define FERRULE_ARGUMENT_SCALAR(Type, Tag, member)                                                           \
    Argument::Argument(Type v) : mType(Tag)                                                                \
    {                                                                                                      \
        mValue.u64 = 0;                                                                                    \
        mValue.member = v;                                                                                 \
    }
FERRULE_ARGUMENT_SCALAR(int8_t, DATATYPE_INT8_T, i8)
FERRULE_ARGUMENT_SCALAR(uint8_t, DATATYPE_UINT8_T, u8)
FERRULE_ARGUMENT_SCALAR(int16_t, DATATYPE_INT16_T, i16)
FERRULE_ARGUMENT_SCALAR(uint16_t, DATATYPE_UINT16_T, u16)
FERRULE_ARGUMENT_SCALAR(int32_t, DATATYPE_INT32_T, i32)
FERRULE_ARGUMENT_SCALAR(uint32_t, DATATYPE_UINT32_T, u32)
FERRULE_ARGUMENT_SCALAR(int64_t, DATATYPE_INT64_T, i64)
FERRULE_ARGUMENT_SCALAR(uint64_t, DATATYPE_UINT64_T, u64)
FERRULE_ARGUMENT_SCALAR(float, DATATYPE_FLOAT, f)
FERRULE_ARGUMENT_SCALAR(double, DATATYPE_DOUBLE, d)
#undef FERRULE_ARGUMENT_SCALAR

Argument::Argument(long double v) : mType(DATATYPE_LONG_DOUBLE)
{
    mValue.d = static_cast<double>(v);
}

Argument::Argument(const String& v) : mType(DATATYPE_STRING)
{
    mValue.s = new String(v);
}

Argument::Argument(String&& v) : mType(DATATYPE_STRING)
{
    mValue.s = new String(std::move(v));
}

Argument::Argument(const char16_t* v) : Argument(String(v ? v : u""))
{
}

Argument::Argument(ByteCount v) : mType(DATATYPE_BYTES)
{
    mValue.u64 = v.count;
}

Argument::Argument(const Result& v) : mType(DATATYPE_RESULT)
{
    mValue.r = v.mRep;
    if (mValue.r)
        ++mValue.r->refCount;
}

Argument::Argument(ResultCode v) : Argument(Result(__FILE__, __LINE__, "Argument::Argument", v.code))
{
}

Argument::Argument(const StringIdValue& v) : mType(DATATYPE_STRINGID)
{
    mValue.u64 = 0;
    mValue.id = v.id;
    if (!v.symbolicName.empty())
        mSymName = new std::string(v.symbolicName);
}

Argument::Argument(DateTime v) : mType(DATATYPE_DATETIME)
{
    mValue.dt = new int64_t(v.ticks);
}

Argument Argument::EmptyContainer()
{
    Argument a;
    a.mType = DATATYPE_ARGUMENT_CONTAINER;
    a.mValue.c = nullptr;
    return a;
}

void Argument::CopyFrom(const Argument& other)
{
    mType = other.mType;
    mValue = other.mValue;
    mSymName = nullptr;
    switch (mType)
    {
    case DATATYPE_STRING: mValue.s = new String(*other.mValue.s); break;
    case DATATYPE_RESULT:
        if (mValue.r)
            ++mValue.r->refCount;
        break;
    case DATATYPE_ARGUMENT_CONTAINER:
        mValue.c = other.mValue.c ? new ArgumentList(*other.mValue.c) : nullptr;
        break;
    case DATATYPE_DATETIME: mValue.dt = new int64_t(*other.mValue.dt); break;
    case DATATYPE_STRINGID:
        if (other.mSymName)
            mSymName = new std::string(*other.mSymName);
        break;
    default: break;
    }
}

void Argument::Free() noexcept
{
    switch (mType)
    {
    case DATATYPE_STRING: delete mValue.s; break;
    case DATATYPE_RESULT:
    {
        Result released(mValue.r); // adopts the reference and drops it
        break;
    }
    case DATATYPE_ARGUMENT_CONTAINER: delete mValue.c; break;
    case DATATYPE_DATETIME: delete mValue.dt; break;
    default: break;
    }
    delete mSymName;
    mSymName = nullptr;
    mType = DATATYPE_EMPTY;
    mValue.u64 = 0;
}

Argument::Argument(const Argument& other)
{
    CopyFrom(other);
}

Argument::Argument(Argument&& other) noexcept : mType(other.mType), mValue(other.mValue), mSymName(other.mSymName)
{
    other.mType = DATATYPE_EMPTY;
    other.mValue.u64 = 0;
    other.mSymName = nullptr;
}

Argument& Argument::operator=(const Argument& other)
{
    if (this != &other)
    {
        Argument copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Argument& Argument::operator=(Argument&& other) noexcept
{
    if (this != &other)
    {
        Free();
        mType = other.mType;
        mValue = other.mValue;
        mSymName = other.mSymName;
        other.mType = DATATYPE_EMPTY;
        other.mValue.u64 = 0;
        other.mSymName = nullptr;
    }
    return *this;
}

Argument::~Argument()
{
    Free();
}

int64_t Argument::SignedValue() const
{
    switch (mType)
    {
    case DATATYPE_BOOL: return mValue.b;
    case DATATYPE_INT8_T: return mValue.i8;
    case DATATYPE_UINT8_T: return mValue.u8;
    case DATATYPE_INT16_T: return mValue.i16;
    case DATATYPE_UINT16_T: return mValue.u16;
    case DATATYPE_INT32_T: return mValue.i32;
    case DATATYPE_UINT32_T: return mValue.u32;
    case DATATYPE_STRINGID: return mValue.id;
    default: return mValue.i64;
    }
}

uint64_t Argument::UnsignedValue() const
{
    switch (mType)
    {
    case DATATYPE_UINT64_T:
    case DATATYPE_BYTES: return mValue.u64;
    default: return static_cast<uint64_t>(SignedValue());
    }
}

double Argument::RealValue() const
{
    return mType == DATATYPE_FLOAT ? mValue.f : mValue.d;
}

const String& Argument::StringValue() const
{
    static const String empty;
    return mType == DATATYPE_STRING ? *mValue.s : empty;
}

DateTime Argument::DateTimeValue() const
{
    return mType == DATATYPE_DATETIME ? DateTime{*mValue.dt} : DateTime{};
}

bool Argument::operator==(const Argument& other) const
{
    if (mType != other.mType)
        return false;
    switch (mType)
    {
    case DATATYPE_BOOL: return mValue.b == other.mValue.b;
    case DATATYPE_INT8_T: case DATATYPE_UINT8_T: case DATATYPE_INT16_T: case DATATYPE_UINT16_T:
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: case DATATYPE_INT64_T: case DATATYPE_UINT64_T:
        return SignedValue() == other.SignedValue();
    case DATATYPE_BYTES: return mValue.u64 == other.mValue.u64;
    case DATATYPE_FLOAT: return mValue.f == other.mValue.f;
    case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: return mValue.d == other.mValue.d;
    case DATATYPE_STRING: return *mValue.s == *other.mValue.s;
    case DATATYPE_RESULT: return mValue.r == other.mValue.r;
    case DATATYPE_EMPTY: return true;
    case DATATYPE_ARGUMENT_CONTAINER:
    {
        const size_t a = mValue.c ? mValue.c->size() : 0;
        const size_t b = other.mValue.c ? other.mValue.c->size() : 0;
        return a == b && (a == 0 || *mValue.c == *other.mValue.c);
    }
    case DATATYPE_STRINGID: return mValue.id == other.mValue.id;
    case DATATYPE_DATETIME: return *mValue.dt == *other.mValue.dt;
    default: CHECK_FAILED("Invalid kind.");
    }
}

ArgumentList& Argument::GetArguments()
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetArguments", type == DATATYPE_ARGUMENT_CONTAINER || type == DATATYPE_EMPTY);
    mType = DATATYPE_ARGUMENT_CONTAINER;
    if (type == DATATYPE_EMPTY)
        mValue.c = nullptr;
    if (mValue.c == nullptr)
        mValue.c = new ArgumentList();
    return *mValue.c;
}

Argument& Argument::operator[](size_t index)
{
    ArgumentList& container = GetArguments();
    if (index == container.size())
        container.emplace_back();
    CHECK(index < container.size());
    return container[index];
}

Result Argument::GetResult() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetResult", type == DATATYPE_RESULT);
    if (mValue.r)
        ++mValue.r->refCount;
    return Result(mValue.r);
}

StringId Argument::GetStringId() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringId", type == DATATYPE_STRINGID);
    return mValue.id;
}

std::string Argument::GetStringIdSymName() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringIdSymName", type == DATATYPE_STRINGID);
    return mSymName ? *mSymName : StringRepository::GetSymbolicName(mValue.id);
}

String Argument::Serialize() const
{
    String out;
    SerializeTo(out);
    return out;
}

void Argument::SerializeTo(String& out) const
{
    if (mType == DATATYPE_ARGUMENT_CONTAINER && (mValue.c == nullptr || mValue.c->empty()))
    {
        out += u"Arg (0)";
        return;
    }
    switch (mType)
    {
    case DATATYPE_BOOL: case DATATYPE_INT8_T: case DATATYPE_UINT8_T: case DATATYPE_INT16_T: case DATATYPE_UINT16_T:
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: case DATATYPE_INT64_T: case DATATYPE_UINT64_T:
    case DATATYPE_BYTES: case DATATYPE_FLOAT: case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: case DATATYPE_STRING:
    case DATATYPE_RESULT: case DATATYPE_ARGUMENT_CONTAINER: case DATATYPE_STRINGID: case DATATYPE_DATETIME:
        break;
    default: CHECK_FAILED("Unknown Argument Data Type"); // nothing written
    }
    out += u"Arg (";
    AppendHex(out, mType);
    out += u' ';
    switch (mType)
    {
    case DATATYPE_BOOL: out += mValue.b ? u"true" : u"false"; break;
    case DATATYPE_INT8_T: AppendHex(out, static_cast<uint32_t>(static_cast<int32_t>(mValue.i8))); break;
    case DATATYPE_UINT8_T: AppendHex(out, mValue.u8); break;
    case DATATYPE_INT16_T: case DATATYPE_UINT16_T: AppendHex(out, mValue.u16); break;
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: AppendHex(out, mValue.u32); break;
    case DATATYPE_INT64_T: case DATATYPE_UINT64_T: case DATATYPE_BYTES: AppendHex(out, mValue.u64); break;
    case DATATYPE_FLOAT: AppendReal(out, mValue.f); break;
    case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: AppendReal(out, mValue.d); break;
    case DATATYPE_STRING: AppendCounted(out, *mValue.s); break;
    case DATATYPE_RESULT:
    {
        if (mValue.r)
            ++mValue.r->refCount;
        Result(mValue.r).SerializeTo(out);
        break;
    }
    case DATATYPE_ARGUMENT_CONTAINER:
        AppendDecimal(out, mValue.c->size());
        for (const Argument& a : *mValue.c)
        {
            out += u' ';
            a.SerializeTo(out);
        }
        break;
    case DATATYPE_STRINGID:
        AppendHex(out, mValue.id);
        out += u' ';
        AppendCounted(out, Utf8ToUtf16(GetStringIdSymName()));
        break;
    default: AppendCounted(out, DateTime{*mValue.dt}.ToText()); break; // DATATYPE_DATETIME
    }
    out += u')';
}

void Argument::DeserializeArguments(WideReader& reader, ArgumentList& into)
{
    reader.SkipWhite();
    String data = reader.Read(6);
    CHECK(String (data).compare (StringLiteral ("Args [")) == 0);
    uint64_t count = 0;
    reader.ReadDecimal(count);
    data = reader.Read(1);
    CHECK(String (data).compare (StringLiteral ("]")) == 0);
    for (uint64_t i = 0; i < count; ++i)
        into.push_back(DeserializeArgument(reader));
    reader.SkipWhite();
    data = reader.Read(1);
    CHECK(String (data).compare (StringLiteral (";")) == 0);
}

Argument Argument::DeserializeArgument(WideReader& reader)
{
    reader.SkipWhite();
    String data = reader.Read(5);
    CHECK(String (data).compare (StringLiteral ("Arg (")) == 0);
    Argument a = RealDeserializeArgument(reader);
    reader.SkipWhite();
    data = reader.Read(1);
    CHECK(String (data).compare (StringLiteral (")")) == 0);
    return a;
}

Argument Argument::RealDeserializeArgument(WideReader& reader)
{
    NestingGuard nesting;
    uint64_t tag = 0;
    if (!reader.ReadHex(tag))
        return Argument(); // the caller's literal check raises
    if (tag == 0)
        return EmptyContainer();
    uint64_t u = 0;
    switch (tag)
    {
    case DATATYPE_BOOL:
    {
        reader.SkipWhite();
        const String word = reader.Read(4);
        if (word == u"true")
            return Argument(true);
        if (word == u"fals" && reader.Read(1) == u"e")
            return Argument(false);
        reader.Fail();
        return Argument();
    }
    case DATATYPE_INT8_T: reader.ReadHex(u); return Argument(static_cast<int8_t>(u));
    case DATATYPE_UINT8_T: reader.ReadHex(u); return Argument(static_cast<uint8_t>(u));
    case DATATYPE_INT16_T: reader.ReadHex(u); return Argument(static_cast<int16_t>(u));
    case DATATYPE_UINT16_T: reader.ReadHex(u); return Argument(static_cast<uint16_t>(u));
    case DATATYPE_INT32_T: reader.ReadHex(u); return Argument(static_cast<int32_t>(u));
    case DATATYPE_UINT32_T: reader.ReadHex(u); return Argument(static_cast<uint32_t>(u));
    case DATATYPE_INT64_T: reader.ReadHex(u); return Argument(static_cast<int64_t>(u));
    case DATATYPE_UINT64_T: reader.ReadHex(u); return Argument(static_cast<uint64_t>(u));
    case DATATYPE_BYTES: reader.ReadHex(u); return Argument(ByteCount{u});
    case DATATYPE_FLOAT: case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE:
    {
        double d = 0;
        reader.ReadDouble(d);
        if (tag == DATATYPE_FLOAT)
            return Argument(static_cast<float>(d));
        Argument a(d);
        a.mType = static_cast<uint32_t>(tag);
        return a;
    }
    case DATATYPE_STRING:
    {
        String s;
        reader.ReadCounted(s);
        return Argument(s);
    }
    case DATATYPE_RESULT: return Argument(DeserializeResult(reader));
    case DATATYPE_ARGUMENT_CONTAINER:
    {
        Argument container = EmptyContainer();
        reader.ReadDecimal(u);
        for (uint64_t i = 0; i < u && !reader.Failed(); ++i)
            container[static_cast<size_t>(i)] = DeserializeArgument(reader);
        return container;
    }
    case DATATYPE_STRINGID:
    {
        reader.ReadHex(u);
        String name;
        reader.ReadCounted(name);
        return Argument(StringIdValue{static_cast<StringId>(u), Utf16ToUtf8(name)});
    }
    case DATATYPE_DATETIME:
    {
        String text;
        DateTime dt;
        if (reader.ReadCounted(text) && DateTime::FromText(text, dt))
            return Argument(dt);
        reader.Fail();
        return Argument();
    }
    default: CHECK_FAILED("Unknown Argument Data Type");
    }
}

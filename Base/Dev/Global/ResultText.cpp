#include "Base/Dev/Global/ResultText.h"
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


namespace resulttext
{
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
static locale_t CLocale()
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

thread_local int NestingGuard::depth = 0;

NestingGuard::NestingGuard()
{
    if (++depth > kMaxNesting)
    {
        --depth;
        CHECK_FAILED("Result nesting too deep");
    }
}
} // namespace resulttext

using namespace resulttext;

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

String Argument::Serialize() const
{
    String out;
    SerializeTo(out);
    return out;
}

void Argument::SerializeTo(String& out) const
{
    if (mType == DATATYPE_ARGUMENT_CONTAINER && Elements()->empty())
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
    case DATATYPE_BOOL: out += std::get<bool>(mValue) ? u"true" : u"false"; break;
    // Each width as it is stored: an 8-bit signed value sign-extended to 32 bits, the others their own bits.
    case DATATYPE_INT8_T:
        AppendHex(out, static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(std::get<int64_t>(mValue)))));
        break;
    case DATATYPE_UINT8_T: AppendHex(out, static_cast<uint8_t>(std::get<int64_t>(mValue))); break;
    case DATATYPE_INT16_T: case DATATYPE_UINT16_T: AppendHex(out, static_cast<uint16_t>(std::get<int64_t>(mValue))); break;
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: AppendHex(out, static_cast<uint32_t>(std::get<int64_t>(mValue))); break;
    case DATATYPE_INT64_T: AppendHex(out, static_cast<uint64_t>(std::get<int64_t>(mValue))); break;
    case DATATYPE_UINT64_T: case DATATYPE_BYTES: AppendHex(out, std::get<uint64_t>(mValue)); break;
    case DATATYPE_FLOAT: AppendReal(out, std::get<float>(mValue)); break;
    case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: AppendReal(out, std::get<double>(mValue)); break;
    case DATATYPE_STRING: AppendCounted(out, std::get<String>(mValue)); break;
    case DATATYPE_RESULT: std::get<Result>(mValue).SerializeTo(out); break;
    case DATATYPE_ARGUMENT_CONTAINER:
        AppendDecimal(out, std::get<ArgumentList>(mValue).size());
        for (const Argument& a : std::get<ArgumentList>(mValue))
        {
            out += u' ';
            a.SerializeTo(out);
        }
        break;
    case DATATYPE_STRINGID:
        AppendHex(out, std::get<StringId>(mValue));
        out += u' ';
        AppendCounted(out, Utf8ToUtf16(GetStringIdSymName()));
        break;
    default: AppendCounted(out, std::get<DateTime>(mValue).ToText()); break; // DATATYPE_DATETIME
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


#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"

#include <clocale>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <ctime>
#include <langinfo.h>
#include <string>
#include <unistd.h>

namespace
{
const std::string kHoursMinutes = "%H:%M";
const std::string kHoursMinutesSeconds = "%H:%M:%S";

// The name of the environment's LC_TIME locale: LC_ALL, LC_TIME, then LANG.
std::string TimeLocaleName()
{
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"})
    {
        const char* value = getenv(variable);
        if (value != nullptr && *value != 0)
            return value;
    }
    return "C";
}

// The LC_TIME locale of the environment, made once with the same locale's code set (the texts that
// strftime writes are in that code set); the C locale when it cannot be made.
locale_t TimeLocale()
{
    static locale_t locale = [] {
        locale_t l = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, TimeLocaleName().c_str(), static_cast<locale_t>(0));
        return l ? l : newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    }();
    return locale;
}

// Text in the time locale's code set as UTF-8 (iconv); the C locale's ASCII is UTF-8 already.
std::string ToUtf8(const std::string& text)
{
    static const std::string codeSet = nl_langinfo_l(CODESET, TimeLocale());
    if (codeSet == "UTF-8" || codeSet == "ANSI_X3.4-1968" || text.empty())
        return text;
    iconv_t cd = iconv_open("UTF-8", codeSet.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text;
    std::string out(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* o = &out[0];
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        return text;
    out.resize(out.size() - outLeft);
    return out;
}

// The locale's time format with its own separators and order, forced to 24 hours: 12-hour fields
// become 24-hour ones and the AM/PM marker goes; without seconds, the seconds and the separator before
// them go too.
std::string Force24Hours(std::string format, bool noSeconds)
{
    std::string expanded;
    for (size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] != '%' || i + 1 >= format.size())
        {
            expanded += format[i];
            continue;
        }
        const char c = format[++i];
        if (c == 'r')
            expanded += nl_langinfo_l(T_FMT_AMPM, TimeLocale());
        else if (c == 'T')
            expanded += "%H:%M:%S";
        else
            expanded += std::string("%") + c;
    }
    std::string out;
    for (size_t i = 0; i < expanded.size(); ++i)
    {
        if (expanded[i] != '%' || i + 1 >= expanded.size())
        {
            out += expanded[i];
            continue;
        }
        const char c = expanded[++i];
        if (c == 'p' || c == 'P')
        {
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            continue;
        }
        if (c == 'S' && noSeconds)
        {
            while (!out.empty() && out.back() != 'M' && out.back() != 'H' && out.back() != 'k')
                out.pop_back();
            continue;
        }
        out += '%';
        out += c == 'I' ? 'H' : c == 'l' ? 'k' : c;
    }
    while (!out.empty() && out.front() == ' ')
        out.erase(0, 1);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out.empty() ? (noSeconds ? kHoursMinutes : kHoursMinutesSeconds) : out;
}

bool ToTm(const SYSTEMTIME* time, struct tm& out)
{
    std::memset(&out, 0, sizeof out);
    if (time == nullptr)
    {
        const time_t now = ::time(nullptr);
        localtime_r(&now, &out);
        return true;
    }
    if (time->wMonth < 1 || time->wMonth > 12 || time->wDay < 1 || time->wDay > 31 || time->wHour > 23 ||
        time->wMinute > 59 || time->wSecond > 59)
        return false;
    out.tm_year = time->wYear - 1900;
    out.tm_mon = time->wMonth - 1;
    out.tm_mday = time->wDay;
    out.tm_hour = time->wHour;
    out.tm_min = time->wMinute;
    out.tm_sec = time->wSecond;
    out.tm_wday = time->wDayOfWeek;
    return true;
}

int Store(const std::string& text, LPWSTR buffer, int size)
{
    const std::u16string wide = Utf8ToUtf16(ToUtf8(text));
    const int needed = static_cast<int>(wide.size()) + 1;
    if (size == 0)
        return needed;
    if (buffer == nullptr || size < needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, wide.c_str(), needed * sizeof(WCHAR));
    return needed;
}

// A date format with "%y" widened to "%Y".
std::string YearInFull(std::string format)
{
    for (size_t i = 0; i + 1 < format.size(); ++i)
        if (format[i] == '%' && format[i + 1] == 'y')
            format[i + 1] = 'Y';
    return format;
}

std::string Format(const std::string& format, const struct tm& tm)
{
    char out[256];
    const size_t n = strftime_l(out, sizeof out, format.c_str(), &tm, TimeLocale());
    return std::string(out, n);
}
} // namespace

// strftime_l with the locale's D_FMT, "%y" widened to "%Y".
int GetDateFormatW(LCID /*locale*/, DWORD flags, const SYSTEMTIME* time, LPCWSTR /*format*/, LPWSTR buffer, int size)
{
    struct tm tm;
    if (!ToTm(time, tm))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The locale is made once, so its formats are taken once.
    static const std::string shortFormat = YearInFull(nl_langinfo_l(D_FMT, TimeLocale()));
    static const std::string longFormat = YearInFull(nl_langinfo_l(D_T_FMT, TimeLocale()));
    return Store(Format((flags & DATE_LONGDATE) ? longFormat : shortFormat, tm), buffer, size);
}

// strftime_l with T_FMT; forced to 24 hours, the same format with 24-hour fields and no AM/PM.
int GetTimeFormatW(LCID /*locale*/, DWORD flags, const SYSTEMTIME* time, LPCWSTR /*format*/, LPWSTR buffer, int size)
{
    struct tm tm;
    if (!ToTm(time, tm))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static const std::string localeFormat = nl_langinfo_l(T_FMT, TimeLocale());
    static const std::string forced = Force24Hours(localeFormat, false);
    static const std::string forcedNoSeconds = Force24Hours(localeFormat, true);
    const std::string& format = !(flags & TIME_FORCE24HOURFORMAT) ? localeFormat
                                : (flags & TIME_NOSECONDS)        ? forcedNoSeconds
                                                                  : forced;
    return Store(Format(format, tm), buffer, size);
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size)
{
    if (size == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    std::string name = host;
    name = name.substr(0, name.find('.'));
    if (name.size() > MAX_COMPUTERNAME_LENGTH)
        name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::u16string wide = Utf8ToUtf16(name);
    if (buffer == nullptr || *size < wide.size() + 1)
    {
        *size = static_cast<DWORD>(wide.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    *size = static_cast<DWORD>(wide.size());
    return TRUE;
}

void GetLocalTime(SYSTEMTIME* time)
{
    if (time == nullptr)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm;
    localtime_r(&now.tv_sec, &tm);
    *time = SYSTEMTIME{static_cast<WORD>(tm.tm_year + 1900), static_cast<WORD>(tm.tm_mon + 1),
                       static_cast<WORD>(tm.tm_wday),        static_cast<WORD>(tm.tm_mday),
                       static_cast<WORD>(tm.tm_hour),        static_cast<WORD>(tm.tm_min),
                       static_cast<WORD>(tm.tm_sec),         static_cast<WORD>(now.tv_nsec / 1000000)};
}

namespace
{
// The iconv name of a code page.
std::string CodePageName(UINT codePage)
{
    static const std::pair<UINT, const char*> kNames[] = {
        {65001, "UTF-8"},     {20127, "ASCII"},       {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"},
        {28605, "ISO-8859-15"}, {20932, "EUC-JP"},    {932, "CP932"},        {936, "GBK"},
        {949, "CP949"},       {950, "BIG5"},          {20866, "KOI8-R"},     {1200, "UTF-16LE"},
    };
    const UINT cp = codePage == CP_ACP ? GetACP() : codePage;
    for (const auto& [number, name] : kNames)
        if (number == cp)
            return name;
    return "CP" + std::to_string(cp);
}

// Converts bytes from one iconv code set to another; unconvertible input becomes replacement.
std::string Convert(const std::string& bytes, const std::string& from, const std::string& to,
                    const std::string& replacement, bool& replaced)
{
    replaced = false;
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string();
    std::string out;
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buffer[4096];
    while (inLeft > 0)
    {
        char* o = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG)
        {
            // One character the target cannot hold (or a broken input sequence): replaced, skipped.
            replaced = true;
            out += replacement;
            size_t skip = 1;
            if (from == "UTF-16LE")
            {
                const unsigned unit = static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8);
                skip = (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4) ? 4 : 2;
            }
            skip = std::min(skip, inLeft);
            in += skip;
            inLeft -= skip;
        }
    }
    iconv_close(cd);
    return out;
}
} // namespace

UINT GetACP()
{
    static const UINT acp = [] {
        std::string name = "C";
        for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"})
        {
            const char* value = getenv(variable);
            if (value != nullptr && *value != 0)
            {
                name = value;
                break;
            }
        }
        locale_t l = newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(0));
        if (l == static_cast<locale_t>(0))
            return static_cast<UINT>(CP_UTF8);
        const std::string codeSet = nl_langinfo_l(CODESET, l);
        freelocale(l);
        static const std::pair<const char*, UINT> kSets[] = {
            {"UTF-8", 65001},      {"ANSI_X3.4-1968", 65001}, {"ISO-8859-1", 28591}, {"ISO-8859-2", 28592},
            {"ISO-8859-15", 28605}, {"EUC-JP", 20932},       {"GBK", 936},          {"GB2312", 936},
            {"BIG5", 950},         {"EUC-KR", 949},          {"KOI8-R", 20866},     {"CP1252", 1252},
        };
        for (const auto& [set, number] : kSets)
            if (codeSet == set)
                return number;
        return static_cast<UINT>(CP_UTF8);
    }();
    return acp;
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length, char* out, int outSize, const char* defaultChar,
                        BOOL* usedDefault)
{
    if (text == nullptr || outSize < 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t units = length < 0 ? std::char_traits<char16_t>::length(text) + 1 : static_cast<size_t>(length);
    std::string bytes(reinterpret_cast<const char*>(text), units * 2);
    bool replaced = false;
    const std::string converted =
        Convert(bytes, "UTF-16LE", CodePageName(codePage), defaultChar ? defaultChar : "?", replaced);
    if (usedDefault)
        *usedDefault = replaced;
    if (outSize == 0)
        return static_cast<int>(converted.size());
    if (static_cast<size_t>(outSize) < converted.size())
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, converted.data(), converted.size());
    return static_cast<int>(converted.size());
}

int MultiByteToWideChar(UINT codePage, DWORD, const char* text, int length, LPWSTR out, int outSize)
{
    if (text == nullptr || outSize < 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t bytes = length < 0 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    bool replaced = false;
    const std::string converted =
        Convert(std::string(text, bytes), CodePageName(codePage), "UTF-16LE", std::string("\xFD\xFF", 2), replaced);
    const size_t units = converted.size() / 2;
    if (outSize == 0)
        return static_cast<int>(units);
    if (static_cast<size_t>(outSize) < units)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, converted.data(), units * 2);
    return static_cast<int>(units);
}

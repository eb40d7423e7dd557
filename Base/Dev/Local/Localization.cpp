#include "Base/Dev/Local/Localization.h"
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Platform/Win32/Utf.h"

#include "Platform/Win32/Library.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
LocaleInfo gLocale;
bool gTranslationsLoaded = false;
std::mutex gCodepageMutex;
std::map<uint32_t, std::array<char16_t, 256>> gCodepages;


bool IsBuiltInCodepage(const std::string& cp)
{
    return cp.empty() || cp == "65001" || cp == "1200" || cp == "20127" || cp == "28591";
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// "ll_CC.codeset@modifier" of the C library, or the item's "ll_CC.cp".
LocaleInfo ParseLocaleName(const std::string& name)
{
    LocaleInfo info;
    std::string rest = name.substr(0, name.find('@'));
    const size_t dot = rest.find('.');
    std::string codeset = dot == std::string::npos ? "" : rest.substr(dot + 1);
    rest = rest.substr(0, dot);
    const size_t underscore = rest.find('_');
    info.language = Lower(rest.substr(0, underscore));
    if (underscore != std::string::npos)
        info.country = Upper(rest.substr(underscore + 1));
    const std::string cs = Lower(codeset);
    if (cs == "utf-8" || cs == "utf8")
        info.codepage = "65001";
    else if (cs == "iso-8859-1" || cs == "iso88591")
        info.codepage = "28591";
    else if (cs.rfind("cp", 0) == 0)
        info.codepage = cs.substr(2);
    else if (!cs.empty() && cs.find_first_not_of("0123456789") == std::string::npos)
        info.codepage = cs;
    if (info.language == "c" || info.language == "posix")
        info = LocaleInfo();
    return info;
}

std::string TrimLeadingBlanks(const std::string& s)
{
    const size_t first = s.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first);
}

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\r' || c == '\n';
}

// Whether the line ends in a continuation backslash (one not itself escaped), ignoring trailing white
// space; the backslash and the white space are removed.
bool TakeContinuation(std::string& line)
{
    size_t end = line.size();
    while (end > 0 && IsWhite(line[end - 1]))
        --end;
    size_t backslashes = 0;
    while (backslashes < end && line[end - 1 - backslashes] == '\\')
        ++backslashes;
    if (backslashes % 2 == 0)
        return false;
    line.resize(end - 1);
    return true;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    out += Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(cp)));
}

// Splits a logical line into key and value with the escape rules; false for a line without key.
bool SplitKeyValue(const std::string& line, std::string& key, std::string& value)
{
    key.clear();
    value.clear();
    size_t i = 0;
    bool separator = false;
    for (; i < line.size(); ++i)
    {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size())
        {
            key += line[++i];
            continue;
        }
        if (c == '=' || c == ':')
        {
            separator = true;
            ++i;
            break;
        }
        key += c;
    }
    while (!key.empty() && IsWhite(key.back()))
        key.pop_back();
    if (!separator || key.empty())
        return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    for (; i < line.size(); ++i)
    {
        const char c = line[i];
        if (c != '\\' || i + 1 == line.size())
        {
            value += c;
            continue;
        }
        const char e = line[++i];
        switch (e)
        {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'f': value += '\f'; break;
        case 'u':
            if (i + 4 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(line[i + 2])) &&
                std::isxdigit(static_cast<unsigned char>(line[i + 3])) &&
                std::isxdigit(static_cast<unsigned char>(line[i + 4])))
            {
                AppendUtf8(value, static_cast<char32_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16)));
                i += 4;
            }
            else
                value += 'u';
            break;
        default: value += e; break;
        }
    }
    return true;
}

// The identifier of a key, preferring one in the facility of the file being read.
StringId IdOfKey(const std::string& key, uint32_t facility)
{
    StringId first = 0;
    for (int match = 0;; ++match)
    {
        const StringId id = StringRepository::GetIdFromText(key, match);
        if (id == 0)
            return first;
        if (first == 0)
            first = id;
        if (((id >> 16) & 0xFFF) == facility)
            return id;
    }
}

Result CouldNotLoad(const std::string& path)
{
    Result r;
    r.Init(__FILE__, __LINE__, "LoadStringsFile", LOCAL_ERROR_COULDNT_LOAD_STRINGS_IN_1, Argument(Utf8ToUtf16(path)));
    return r;
}
// The configured name against the locale pattern, in the library that holds the pattern check (opened
// once, kept for the process). A library that cannot be opened matches nothing.
bool NameMatchesPattern(const std::string& name)
{
    using Check = bool (*)(const char*);
    static const Check check = [] {
        HMODULE library = LoadLibraryW(u"LocaleCheck.dll");
        return library ? reinterpret_cast<Check>(GetProcAddress(library, "LocaleCheck_NameMatches")) : nullptr;
    }();
    return check != nullptr && check(name.c_str());
}

} // namespace

std::string LocaleInfo::Text() const
{
    std::string s = language;
    if (!country.empty())
        s += "_" + country;
    if (!codepage.empty())
        s += "." + codepage;
    return s;
}

Result LoadLocale(LocaleInfo& locale)
{
    locale = LocaleInfo();
    const std::string item = Config::Get("locale");
    if (!item.empty())
    {
        if (!NameMatchesPattern(item))
        {
            Result r;
            r.Init(__FILE__, __LINE__, "LoadLocale", (LOCAL_INFO_UNSUPPORTED_LOCALE_1 & 0x3FFFFFFF) | 0x80000000, // its warning twin
                   Argument(Utf8ToUtf16(item)));
            return r;
        }
        locale = ParseLocaleName(item);
        return Result();
    }
    const char* name = nullptr;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        const char* v = std::getenv(variable);
        if (v && *v)
        {
            name = v;
            break;
        }
    }
    if (name == nullptr)
        return Result();
    locale = ParseLocaleName(name);
    if (locale.language.empty())
        return Result();
    Result r;
    r.Init(__FILE__, __LINE__, "LoadLocale", LOCAL_INFO_USING_1_NATIVE, Argument(Utf8ToUtf16(locale.Text())));
    return r;
}

std::string FindResFile(const std::string& folder, const std::string& candidate, const std::string& fileName)
{
    const std::string path = folder + "/" + candidate + "/" + fileName;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}

Result LoadLocalizedStrings(const std::string& resourceFolder, const LocaleInfo& locale)
{
    Result all;
    if (locale.language.empty())
        return all;
    std::vector<std::string> candidates;
    auto add = [&candidates](const std::string& c) {
        if (std::find(candidates.begin(), candidates.end(), c) == candidates.end())
            candidates.push_back(c);
    };
    if (!locale.country.empty() && !locale.codepage.empty())
        add(locale.language + "_" + locale.country + "." + locale.codepage);
    if (!locale.country.empty())
        add(locale.language + "_" + locale.country);
    add(locale.language);

    std::string missing;
    for (const std::string& component : StringRepository::ComponentNames())
    {
        bool loaded = false;
        for (const std::string& candidate : candidates)
        {
            const std::string path = FindResFile(resourceFolder, candidate, component + ".properties");
            if (path.empty())
                continue;
            const Result r = LoadStringsFile(path, StringRepository::ComponentFacility(component));
            all += r;
            if (r.IsSuccess())
            {
                loaded = true;
                break;
            }
        }
        if (!loaded && locale.language != "en")
            missing += (missing.empty() ? "" : ", ") + component;
    }
    if (!missing.empty())
    {
        Result r;
        r.Init(__FILE__, __LINE__, "LoadLocalizedStrings", 0x60070009, Argument(Utf8ToUtf16(missing)));
        all += r;
    }
    return all;
}

Result LoadStringsFile(const std::string& path, uint32_t facility)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return CouldNotLoad(path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return CouldNotLoad(path);
    const std::string content = buffer.str();
    if (content.empty())
        return CouldNotLoad(path);
    LoadStringsText(content, facility);
    return Result();
}

void LoadStringsText(std::string content, uint32_t facility)
{
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
        content.erase(0, 3);

    // Physical lines end at CR LF, CR or LF.
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < content.size(); ++i)
    {
        const char c = content[i];
        if (c == '\r' || c == '\n')
        {
            lines.push_back(current);
            current.clear();
            if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n')
                ++i;
        }
        else
            current += c;
    }
    lines.push_back(current);

    StringRepository::SetCurrentFacility(facility);
    CompiledStringProvider& provider = CompiledStringProvider::Instance();
    for (size_t i = 0; i < lines.size(); ++i)
    {
        std::string line = TrimLeadingBlanks(lines[i]);
        if (line.empty() || line[0] == '#' || line[0] == '!')
            continue;
        while (TakeContinuation(line) && i + 1 < lines.size())
            line += TrimLeadingBlanks(lines[++i]);
        std::string key, value;
        if (!SplitKeyValue(line, key, value))
            continue;
        const StringId id = IdOfKey(key, facility);
        if (id != 0)
            provider.StoreLocalized(id, Utf8ToUtf16(value));
    }
    StringRepository::SetCurrentFacility(0);
}

Result LoadCodepages(const std::string& resourceFolder, const LocaleInfo& locale)
{
    if (IsBuiltInCodepage(locale.codepage))
        return Result();
    const uint32_t number = static_cast<uint32_t>(std::strtoul(locale.codepage.c_str(), nullptr, 10));
    std::ifstream in(resourceFolder + "/codepage/cp" + locale.codepage + ".tbl");
    std::array<char16_t, 256> table;
    table.fill(u'\uFFFD');
    bool any = false;
    std::string line;
    while (in && std::getline(in, line))
    {
        line = TrimLeadingBlanks(line);
        if (line.empty() || line[0] == '#')
            continue;
        unsigned byte = 0, unit = 0;
        if (std::sscanf(line.c_str(), "%x %x", &byte, &unit) == 2 && byte < 256 && unit <= 0xFFFF)
        {
            table[byte] = static_cast<char16_t>(unit);
            any = true;
        }
    }
    if (!any)
    {
        Result r;
        r.Init(__FILE__, __LINE__, "LoadCodepages", LOCAL_ERROR_UNSUPPORTED_CODEPAGE_1,
               Argument(Utf8ToUtf16(locale.codepage)));
        return r;
    }
    std::lock_guard<std::mutex> lock(gCodepageMutex);
    gCodepages[number] = table;
    return Result();
}

bool CodePageToUtf16(uint32_t codepage, std::string_view bytes, String& out)
{
    out.clear();
    switch (codepage)
    {
    case 65001: out = Utf8ToUtf16(bytes); return true;
    case 1200: // UTF-16 little-endian; a lone last byte is not a character
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        if (bytes.size() % 2)
            out += u'\uFFFD';
        return true;
    case 20127:
    case 28591:
        for (unsigned char c : bytes)
            out += (codepage == 20127 && c > 0x7F) ? u'\uFFFD' : static_cast<char16_t>(c);
        return true;
    default: break;
    }
    std::lock_guard<std::mutex> lock(gCodepageMutex);
    auto it = gCodepages.find(codepage);
    if (it == gCodepages.end())
        return false;
    for (unsigned char c : bytes)
        out += it->second[c];
    return true;
}

Result Localize(const std::string& resourceFolder, uint32_t /*flags*/)
{
    StringRepository::SetReplaceFlag(!Config::Get("replace_this_string").empty());
    if (gTranslationsLoaded)
        for (StringProvider* p : StringRepository::Providers())
            p->ClearLocalized();
    Result all;
    LocaleInfo locale;
    const Result selected = LoadLocale(locale);
    all += selected;
    if (selected.GetSeverity() >= 2)
        return all;
    gLocale = locale;
    all += LoadLocalizedStrings(resourceFolder, locale);
    gTranslationsLoaded = true;
    all += LoadCodepages(resourceFolder, locale);
    return all;
}

const LocaleInfo& CurrentLocale()
{
    return gLocale;
}

std::string ResolveResourceFolder(const std::string& pathTemplate)
{
    std::string result = pathTemplate;
    const size_t at = result.find("[app]");
    if (at != std::string::npos)
    {
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        std::string folder = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(".");
        folder = folder.substr(0, folder.find_last_of('/'));
        result.replace(at, 5, folder);
    }
    return result;
}

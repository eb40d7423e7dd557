#include "Base/Dev/Global/StringRepository.h"
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/BaseMessages.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>

const char16_t* const StringRepository::kDefaultText = u"REPLACE THIS STRING";

namespace
{
// The process's repository: providers, component names, the symbolic-name registry. Built once with
// the common library's own tables in it.
struct Repository
{
    std::vector<StringProvider*> providers;
    std::vector<std::string> componentNames;
    std::vector<std::pair<std::string, uint32_t>> components;
    std::map<StringId, const char*> names;
    std::map<StringId, std::string> runtimeNames;
    std::multimap<std::string, StringId> idsByName;
    bool replace = false;
    uint32_t currentFacility = 0;
    CompiledStringProvider* compiled = nullptr;

    void AddNames(const NameEntry* table, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            AddName(table[i].id, table[i].name);
    }

    // A name is listed once per identifier, however often its table is registered.
    void AddName(StringId id, const char* name)
    {
        names[id] = name;
        auto [first, last] = idsByName.equal_range(name);
        for (auto it = first; it != last; ++it)
            if (it->second == id)
                return;
        idsByName.emplace(name, id);
    }

    void AddComponentName(const std::string& name)
    {
        if (std::find(componentNames.begin(), componentNames.end(), name) == componentNames.end())
            componentNames.push_back(name);
    }
};

// The configuration items of the texts, defined when the library loads so that a command line can
// set them before anything else runs.
bool DefineConfigItems()
{
    Config::Define("replace_this_string", "",
                   "for debugging; identifies hard-coded strings or strings w/ no translation in .sd file");
    Config::Define("bytes base", "1024", "1000 or 1024", [](const std::string& v) { return v == "1000" || v == "1024"; });
    Config::Define("locale", "", "lang[_COUNTRY[.codepage]]; empty: the operating system's locale");
    return true;
}
const bool kConfigItemsDefined = DefineConfigItems();

// Set up once: the compiled provider is registered and the common library's tables entered. Never
// destroyed, so texts stay available to other objects' destructors.
Repository& Repo()
{
    static Repository* repository = [] {
        auto* r = new Repository();
        r->compiled = new CompiledStringProvider();
        r->providers.push_back(r->compiled);
        r->components.emplace_back("Base", kFacilityBase);
        for (const MessageTable& t : BaseMessageTables())
        {
            for (size_t i = 0; i < t.textCount; ++i)
                r->compiled->StoreEnglish(t.texts[i].id, t.texts[i].text);
            r->AddNames(t.names, t.nameCount);
        }
        r->AddComponentName("Base");
        return r;
    }();
    return *repository;
}

bool EndsInWhite(const String& text)
{
    return !text.empty() && std::iswspace(static_cast<wint_t>(text.back()));
}

String Hex8(uint32_t code)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08X", code);
    return String(buffer, buffer + 8);
}

String Narrow(const char* s)
{
    return String(s, s + std::strlen(s));
}

String ScaledBytes(uint64_t count, bool english)
{
    const uint64_t base = Config::Get("bytes base") == "1000" ? 1000 : 1024;
    int unit = 0;
    double value = static_cast<double>(count);
    while (unit < 6 && value >= static_cast<double>(base))
    {
        value /= static_cast<double>(base);
        ++unit;
    }
    char buffer[32];
    if (unit == 0)
        std::snprintf(buffer, sizeof buffer, "%llu ", static_cast<unsigned long long>(count));
    else
        std::snprintf(buffer, sizeof buffer, "%.4g ", value);
    const StringId id = BYTES_ABBREV + static_cast<StringId>(unit);
    return Narrow(buffer) + (english ? StringRepository::GetEnglishString(id) : StringRepository::GetString(id));
}

String DisplayTextAt(const Result& result, bool english, int level);
String DisplayTextAt(const Argument& a, bool english, int level);

String DisplayTextAt(const Argument& a, bool english, int level)
{
    char buffer[64];
    auto text = [english](StringId id) {
        return english ? StringRepository::GetEnglishString(id) : StringRepository::GetString(id);
    };
    switch (a.GetType())
    {
    case DATATYPE_BOOL: return text(a.BoolValue() ? TRUE_TEXT : FALSE_TEXT);
    case DATATYPE_INT8_T: case DATATYPE_INT16_T: case DATATYPE_INT32_T: case DATATYPE_INT64_T:
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(a.SignedValue()));
        return Narrow(buffer);
    case DATATYPE_UINT8_T: case DATATYPE_UINT16_T: case DATATYPE_UINT32_T: case DATATYPE_UINT64_T:
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(a.UnsignedValue()));
        return Narrow(buffer);
    case DATATYPE_FLOAT: case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE:
        std::snprintf(buffer, sizeof buffer, "%g", a.RealValue());
        return Narrow(buffer);
    case DATATYPE_STRING: return a.StringValue();
    case DATATYPE_BYTES: return ScaledBytes(a.UnsignedValue(), english);
    case DATATYPE_RESULT: return DisplayTextAt(a.GetResult(), english, level);
    case DATATYPE_ARGUMENT_CONTAINER:
    {
        String out;
        if (const ArgumentList* elements = a.Elements())
            for (const Argument& e : *elements)
                out += DisplayTextAt(e, english, level);
        return out;
    }
    case DATATYPE_STRINGID: return text(a.GetStringId());
    case DATATYPE_DATETIME:
    {
        // "YYYY-MM-DD HH:MM:SS" in UTC.
        String t = a.DateTimeValue().ToText();
        if (t.size() >= 19 && t[10] == u'T')
            return t.substr(0, 10) + u" " + t.substr(11, 8);
        return t.substr(0, 10);
    }
    default: return String();
    }
}

String FormatAt(const ParsedTemplate& parsed, const ArgumentList& args, bool english, int level,
                const String& separator)
{
    String out;
    out.reserve(256);
    for (const ParsedTemplate::Piece& p : parsed.pieces)
    {
        if (p.placeholder == 0)
            out += p.literal;
        else if (static_cast<size_t>(p.placeholder) <= args.size())
        {
            const Argument& a = args[p.placeholder - 1];
            if (a.GetType() == DATATYPE_STRING)
                out += a.StringValue(); // the common case, without a copy
            else
                out += DisplayTextAt(a, english, level);
        }
    }
    for (size_t i = parsed.placeholderCount; i < args.size(); ++i)
    {
        const Argument& a = args[i];
        if (a.GetType() == DATATYPE_RESULT)
        {
            const String causeSeparator = separator + String(level + 1, u'\t');
            if (!EndsInWhite(out) && !(causeSeparator.size() && (causeSeparator[0] == u'\n' || causeSeparator[0] == u'\r')))
                out += u'.';
            out += causeSeparator;
            out += DisplayTextAt(a.GetResult(), english, level + 1);
        }
        else if (a.GetType() == DATATYPE_STRINGID)
        {
            if (!EndsInWhite(out))
                out += u'.';
            out += u' ';
            out += english ? StringRepository::GetEnglishString(a.GetStringId())
                           : StringRepository::GetString(a.GetStringId());
        }
    }
    return out;
}

String DisplayTextAt(const Result& result, bool english, int level)
{
    if (result.IsSuccess())
        return english ? StringRepository::GetEnglishString(RESULTSTR_SUCCESS)
                       : StringRepository::GetString(RESULTSTR_SUCCESS);
    const uint32_t code = result.GetCode();
    const String base = IsAggregateCode(code) ? String() : GetMessageText(code, english);
    static const ArgumentList kNone;
    const ArgumentList* args = result.Arguments();
    const String message = FormatAt(ParseTemplate(base), args ? *args : kNone, english, level, u"\n");
    const uint32_t severity = result.GetSeverity();
    const StringId frame = severity == 3 ? ERROR_NUM_TEXT : severity == 2 ? WARNING_NUM_TEXT : INFO_NUM_TEXT;
    const ArgumentList parts = {Argument(Hex8(code)), Argument(message)};
    return english ? StringRepository::FormatEnglishString(frame, parts) : StringRepository::FormatString(frame, parts);
}
} // namespace

// ---- templates

ParsedTemplate ParseTemplate(const String& text)
{
    ParsedTemplate t;
    String literal;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char16_t c = text[i];
        if (c == u'%' && i + 1 < text.size())
        {
            const char16_t next = text[i + 1];
            if (next == u'%')
            {
                literal += u'%';
                ++i;
                continue;
            }
            if (next >= u'1' && next <= u'9')
            {
                if (!literal.empty())
                    t.pieces.push_back({literal, 0});
                literal.clear();
                const int n = next - u'0';
                t.pieces.push_back({String(), n});
                t.placeholderCount = std::max(t.placeholderCount, static_cast<size_t>(n));
                ++i;
                continue;
            }
        }
        literal += c;
    }
    if (!literal.empty())
        t.pieces.push_back({literal, 0});
    return t;
}

size_t CountPlaceholders(const String& text)
{
    return ParseTemplate(text).placeholderCount;
}

// ---- CompiledStringProvider

CompiledStringProvider& CompiledStringProvider::Instance()
{
    return *Repo().compiled;
}

void CompiledStringProvider::StoreEnglish(StringId id, const char16_t* text)
{
    mEnglish[id] = text;
    std::lock_guard<std::mutex> lock(mTemplateMutex);
    mTemplates.erase(id);
}

void CompiledStringProvider::AddTable(const TextEntry* table, size_t count, const char* componentName)
{
    CompiledStringProvider& self = Instance();
    for (size_t i = 0; i < count; ++i)
        self.StoreEnglish(table[i].id, table[i].text);
    Repo().AddComponentName(componentName);
}

bool CompiledStringProvider::GetLocalized(StringId id, String& text) const
{
    auto it = mLocalized.find(id);
    if (it == mLocalized.end())
        return false;
    text = it->second;
    return true;
}

bool CompiledStringProvider::GetEnglish(StringId id, String& text) const
{
    auto it = mEnglish.find(id);
    if (it == mEnglish.end())
        return false;
    text = it->second;
    return true;
}

bool CompiledStringProvider::HasEnglish(StringId id) const
{
    return mEnglish.count(id) != 0;
}

void CompiledStringProvider::StoreLocalized(StringId id, const String& text)
{
    mLocalized[id] = text;
    std::lock_guard<std::mutex> lock(mTemplateMutex);
    mTemplates.erase(id);
}

void CompiledStringProvider::ClearLocalized()
{
    mLocalized.clear();
    std::lock_guard<std::mutex> lock(mTemplateMutex);
    mTemplates.clear();
}

StringId CompiledStringProvider::IdOfText(const String& text, int& matchNumber) const
{
    for (const auto& [id, t] : mLocalized)
        if (t == text && matchNumber-- == 0)
            return id;
    for (const auto& [id, t] : mEnglish)
        if (text == t && matchNumber-- == 0)
            return id;
    return 0;
}

const ParsedTemplate* CompiledStringProvider::CachedTemplate(StringId id)
{
    std::lock_guard<std::mutex> lock(mTemplateMutex);
    auto it = mTemplates.find(id);
    if (it != mTemplates.end())
        return &it->second;
    String text;
    if (!GetLocalized(id, text) || text.empty())
        if (!GetEnglish(id, text))
            return nullptr;
    return &mTemplates.emplace(id, ParseTemplate(text)).first->second;
}

// ---- StringRepository

void StringRepository::RegisterProvider(StringProvider* provider)
{
    PRECONDITION_IN("StringRepository::RegisterProvider", provider);
    Repository& r = Repo();
    if (std::find(r.providers.begin(), r.providers.end(), provider) != r.providers.end())
        return;
    if (!provider->AcceptsLocalized())
    {
        r.providers.push_back(provider);
        return;
    }
    // Behind the last provider that also accepts localized texts.
    auto at = r.providers.begin();
    for (auto it = r.providers.begin(); it != r.providers.end(); ++it)
        if ((*it)->AcceptsLocalized())
            at = it + 1;
    r.providers.insert(at, provider);
}

void StringRepository::RegisterComponent(const std::string& componentName, uint32_t facility)
{
    Repository& r = Repo();
    for (auto& [name, f] : r.components)
        if (name == componentName)
        {
            f = facility;
            return;
        }
    r.components.emplace_back(componentName, facility);
}

uint32_t StringRepository::ComponentFacility(const std::string& name)
{
    for (const auto& [n, f] : Repo().components)
        if (n == name)
            return f;
    return 0;
}

void StringRepository::AddNames(const NameEntry* table, size_t count)
{
    Repo().AddNames(table, count);
}

void StringRepository::AddName(StringId id, const std::string& name)
{
    Repository& r = Repo();
    r.runtimeNames[id] = name;
    auto [first, last] = r.idsByName.equal_range(name);
    for (auto it = first; it != last; ++it)
        if (it->second == id)
            return;
    r.idsByName.emplace(name, id);
}

String StringRepository::GetString(StringId id)
{
    Repository& r = Repo();
    String text;
    for (StringProvider* p : r.providers)
        if (p->GetLocalized(id, text))
            break;
    if (!text.empty())
        return text;
    if (r.replace)
        return kDefaultText;
    return GetEnglishString(id);
}

String StringRepository::GetEnglishString(StringId id)
{
    String text;
    for (StringProvider* p : Repo().providers)
        if (p->GetEnglish(id, text))
            return text;
    return String();
}

String StringRepository::FormatString(StringId id, const ArgumentList& arguments)
{
    Repository& r = Repo();
    // With the compiled provider alone and no replace flag, its cached parsed text is the text.
    if (r.providers.size() == 1 && !r.replace)
    {
        const ParsedTemplate* parsed = r.compiled->CachedTemplate(id);
        return parsed ? FormatAt(*parsed, arguments, false, 0, u"\n") : String();
    }
    const String text = GetString(id);
    if (text.empty())
        return text;
    return FormatAt(ParseTemplate(text), arguments, false, 0, u"\n");
}

String StringRepository::FormatTexts(StringId id, std::initializer_list<std::u16string_view> texts)
{
    Repository& r = Repo();
    if (r.providers.size() == 1 && !r.replace)
    {
        const ParsedTemplate* parsed = r.compiled->CachedTemplate(id);
        if (parsed == nullptr)
            return String();
        size_t size = 0;
        for (const ParsedTemplate::Piece& p : parsed->pieces)
            size += p.placeholder == 0 ? p.literal.size()
                                       : static_cast<size_t>(p.placeholder) <= texts.size() ? texts.begin()[p.placeholder - 1].size() : 0;
        String out;
        out.reserve(size + 2); // room for a byte-order mark or a suffix without another allocation
        for (const ParsedTemplate::Piece& p : parsed->pieces)
            if (p.placeholder == 0)
                out += p.literal;
            else if (static_cast<size_t>(p.placeholder) <= texts.size())
                out += texts.begin()[p.placeholder - 1];
        return out;
    }
    ArgumentList arguments;
    for (std::u16string_view text : texts)
        arguments.emplace_back(String(text));
    return FormatString(id, arguments);
}

String StringRepository::FormatEnglishString(StringId id, const ArgumentList& arguments)
{
    const String text = GetEnglishString(id);
    if (text.empty())
        return text;
    return FormatAt(ParseTemplate(text), arguments, true, 0, u"\n");
}

std::string StringRepository::GetSymbolicName(StringId id)
{
    Repository& r = Repo();
    auto it = r.names.find(id);
    if (it != r.names.end())
        return it->second;
    auto rt = r.runtimeNames.find(id);
    return rt != r.runtimeNames.end() ? rt->second : std::string();
}

std::vector<std::pair<StringId, std::string>> StringRepository::SymbolicNames()
{
    Repository& r = Repo();
    std::map<StringId, std::string> all(r.runtimeNames.begin(), r.runtimeNames.end());
    for (const auto& [id, name] : r.names)
        all[id] = name;
    return {all.begin(), all.end()};
}

StringId StringRepository::GetIdFromText(const std::string& name, int matchNumber)
{
    auto [first, last] = Repo().idsByName.equal_range(name);
    for (auto it = first; it != last; ++it)
        if (matchNumber-- == 0)
            return it->second;
    return 0;
}

std::vector<std::string> StringRepository::ComponentNames()
{
    return Repo().componentNames;
}

void StringRepository::AddComponentName(const std::string& name)
{
    Repo().AddComponentName(name);
}

void StringRepository::SetReplaceFlag(bool set)
{
    Repo().replace = set;
}

bool StringRepository::ReplaceFlag()
{
    return Repo().replace;
}

void StringRepository::SetCurrentFacility(uint32_t facility)
{
    Repo().currentFacility = facility;
}

uint32_t StringRepository::CurrentFacility()
{
    return Repo().currentFacility;
}

std::vector<StringProvider*> StringRepository::Providers()
{
    return Repo().providers;
}

// ---- message texts and display texts

String GetMessageText(uint32_t code, bool english)
{
    auto text = [english](StringId id) {
        return english ? StringRepository::GetEnglishString(id) : StringRepository::GetString(id);
    };
    const uint32_t facility = (code >> 16) & 0xFFF;
    if ((code & kNativeFlag) && facility != kFacilityCRuntime)
    {
        String t = text(code);
        for (uint32_t severity = 4; t.empty() && severity-- > 0;)
            if (severity != (code >> 30))
                t = text((code & 0x3FFFFFFF) | (severity << 30));
        return t;
    }
    const uint32_t number = facility == kFacilityCRuntime ? (code & 0xFFFF) : code;
    if (number == 0)
        return text(RESULTSTR_SUCCESS);
    String message;
    if (facility == kFacilityCRuntime)
    {
        char buffer[256];
        const char* s = strerror_r(static_cast<int>(number), buffer, sizeof buffer);
        message = Utf8ToUtf16(s ? s : "");
    }
    else
    {
        const DWORD languages[2] = {english ? 1033u : 0u, 0u};
        for (int i = 0; i < (english ? 2 : 1) && message.empty(); ++i)
        {
            LPWSTR buffer = nullptr;
            const DWORD n = FormatMessageW(0x1300, nullptr, number, languages[i], reinterpret_cast<LPWSTR>(&buffer),
                                           0, nullptr);
            if (n > 0 && buffer)
                message.assign(buffer, n);
            LocalFree(buffer);
        }
    }
    while (!message.empty() && (message.back() == u' ' || (message.back() >= u'\t' && message.back() <= u'\r')))
        message.pop_back();
    if (message.empty())
    {
        const ArgumentList args = {Argument(number)};
        return english ? StringRepository::FormatEnglishString(RESULTSTR_OS_ERROR_1, args)
                       : StringRepository::FormatString(RESULTSTR_OS_ERROR_1, args);
    }
    return message;
}

String DisplayText(const Argument& argument, bool english)
{
    return DisplayTextAt(argument, english, 0);
}

String DisplayText(const Result& result, bool english)
{
    return DisplayTextAt(result, english, 0);
}

String FormatText(const String& text, const ArgumentList& arguments, bool english, int level, const String& separator)
{
    return FormatAt(ParseTemplate(text), arguments, english, level, separator);
}

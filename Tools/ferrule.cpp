// ferrule: sends notifications through the notification module, shows and changes handler settings,
// explains result codes and prints log files. It loads the module and the message translator
// in-process and drives them only through their COM interfaces.
#include "Base/Dev/Config/Config.h"
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"
#include "Platform/Xml/XmlDocument.h"
#include "Translator/MessageTranslator.h"

#include <algorithm>
#include <cerrno>
#include <strings.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const int kOk = 0;
const int kFailed = 1;
const int kUsage = 2;

const char* const kUsageText =
    "usage: ferrule [--config NAME=VALUE]... COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  notify [--app NAME] [--policy FILE] [--type T] [--priority P] [--code N] [--source TEXT]\n"
    "         [--time ISO-8601|now] DESCRIPTION     send one notification\n"
    "  notify --stdin [--app NAME] [--policy FILE]   one notification per input line\n"
    "  handlers [--app NAME] [--policy FILE]         list the loaded handlers and their settings\n"
    "  set [--app NAME] [--policy FILE] HANDLER NAME=VALUE...   change handler settings\n"
    "  explain CODE|SERIALIZED-RESULT                symbolic name and display text\n"
    "  log FILE [-f]                                 print a log file (follow it with -f)\n"
    "\n"
    "  --config NAME=VALUE sets a configuration item (locale, DX_<context>, direct_debug_file, ...).\n"
    "  ferrule COMMAND --help describes a command. Exit codes: 0 ok, 1 failed, 2 usage.\n";

const char* const kNotifyHelp =
    "usage: ferrule notify [--app NAME] [--policy FILE] [--type T] [--priority P] [--code N]\n"
    "                      [--source TEXT] [--time ISO-8601|now] DESCRIPTION\n"
    "       ferrule notify --stdin [--app NAME] [--policy FILE]\n"
    "\n"
    "Sends a notification through every handler of the policy. Defaults: --app ferrule, --policy\n"
    "<app>.notify.xml, --type info, --priority medium, --code 0, --source ferrule, --time now.\n"
    "  --type      error | warning | info | test | a number\n"
    "  --priority  high | medium | low | test | a number\n"
    "  --code      decimal or 0x hexadecimal; with bit 31 set the description becomes a result\n"
    "  --time      YYYY-MM-DDTHH:MM:SS (local time) or now\n"
    "With --stdin each input line is one notification of five fields separated by tabs:\n"
    "  TYPE <tab> PRIORITY <tab> CODE <tab> SOURCE <tab> DESCRIPTION\n"
    "Empty fields take the defaults; lines that are empty or start with # are skipped. A summary\n"
    "(sent, failed) ends the run.\n"
    "Prints nothing on success; on failure the HRESULT and the error description (exit 1).\n";

const char* const kHandlersHelp =
    "usage: ferrule handlers [--app NAME] [--policy FILE]\n"
    "\n"
    "Lists the loaded handlers in dispatch order: name, class id, type and priority filters, and\n"
    "every property that can be read (passwords are never shown).\n";

const char* const kSetHelp =
    "usage: ferrule set [--app NAME] [--policy FILE] HANDLER NAME=VALUE...\n"
    "\n"
    "Sets handler properties by name; the policy file is written when the manager is released.\n"
    "HANDLER is a handler name (LogFile), a class id or a ProgID (Quellon.Notify.NotifyLog).\n"
    "An unknown handler or property lists what exists, changes nothing and exits 2.\n";

const char* const kExplainHelp =
    "usage: ferrule explain CODE|SERIALIZED-RESULT\n"
    "\n"
    "Prints the symbolic name and the display text of a result code (0xECE3006A) or of a serialized\n"
    "result (Result (...)).\n";

const char* const kLogHelp =
    "usage: ferrule log FILE [-f]\n"
    "\n"
    "Prints a UTF-16 log file as UTF-8; with -f keeps printing what is appended, across rotations.\n";

struct Options
{
    std::string app = "ferrule";
    std::string policy;
    std::vector<std::string> rest;
    std::map<std::string, std::string> values;
    bool stdinMode = false;
    bool follow = false;
    bool help = false;
};

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

std::u16string W(const std::string& s)
{
    return Utf8ToUtf16(s);
}

std::string N(const std::u16string& s)
{
    return Utf16ToUtf8(s);
}

std::string N(BSTR b)
{
    return Utf16ToUtf8(std::u16string_view(b ? b : u"", SysStringLen(b)));
}

// An owned BSTR.
class Bstr
{
public:
    explicit Bstr(const std::u16string& s = u"") : mB(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit Bstr(const std::string& s) : Bstr(W(s)) {}
    ~Bstr() { SysFreeString(mB); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return mB; }
    BSTR* out()
    {
        SysFreeString(mB);
        mB = nullptr;
        return &mB;
    }
    std::string str() const { return N(mB); }

private:
    BSTR mB;
};

// A held interface reference.
template <class I>
class Ref
{
public:
    Ref() = default;
    explicit Ref(I* p) : mP(p) {}
    ~Ref()
    {
        if (mP)
            mP->Release();
    }
    Ref(Ref&& o) noexcept : mP(o.mP) { o.mP = nullptr; }
    Ref& operator=(Ref&& o) noexcept
    {
        std::swap(mP, o.mP);
        return *this;
    }
    I* operator->() const { return mP; }
    I* get() const { return mP; }
    I** out() { return &mP; }
    void** vout() { return reinterpret_cast<void**>(&mP); }
    explicit operator bool() const { return mP != nullptr; }

private:
    I* mP = nullptr;
};

// The thread's error description, made readable: a serialized result shows its display text.
std::string ReadableError(IMessageTranslator* translator)
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr)
        return std::string();
    Bstr description;
    info->GetDescription(description.out());
    info->Release();
    const std::u16string text(description.get() ? description.get() : u"", SysStringLen(description.get()));
    if (translator && text.compare(0, 8, u"Result (") == 0)
    {
        Bstr readable;
        if (SUCCEEDED(translator->Translate(description.get(), readable.out(), 0)))
            return readable.str();
    }
    // A plain accumulated description lists one failure per line; a serialized one may nest more.
    std::string out;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos)
            end = text.size();
        const std::u16string line = text.substr(start, end - start);
        if (!line.empty())
        {
            Bstr piece(line);
            Bstr readable;
            if (translator && line.compare(0, 8, u"Result (") == 0 &&
                SUCCEEDED(translator->Translate(piece.get(), readable.out(), 0)))
                out += (out.empty() ? "" : "\n") + readable.str();
            else
                out += (out.empty() ? "" : "\n") + N(line);
        }
        start = end + 2;
    }
    return out;
}

void PrintFailure(const char* what, HRESULT hr, IMessageTranslator* translator)
{
    std::fprintf(stderr, "ferrule: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    const std::string description = ReadableError(translator);
    if (!description.empty())
        std::fprintf(stderr, "%s\n", description.c_str());
}

// ---- loading the module

struct Module
{
    Ref<IMessageTranslator> translator;

    // The configuration items are set before the module loads, so its start-up sees them.
    bool Load()
    {
        if (LoadLibraryW(u"Ferrule.dll") == nullptr || LoadLibraryW(u"Translator.dll") == nullptr)
        {
            std::fprintf(stderr, "ferrule: cannot load libFerrule.so or libTranslator.so beside libPlatform.so\n");
            return false;
        }
        CoCreateInstance(CLSID_MessageTranslator, nullptr, CLSCTX_INPROC_SERVER, IID_IMessageTranslator,
                         translator.vout());
        return true;
    }
};

// A manager initialized for the options; null after a printed failure.
Ref<INotify> OpenManager(const Options& o, IMessageTranslator* translator)
{
    Ref<INotify> notify;
    HRESULT hr = CoCreateInstance(CLSID_Notify, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, notify.vout());
    if (FAILED(hr))
    {
        PrintFailure("creating the notification manager", hr, translator);
        return Ref<INotify>();
    }
    Bstr app(o.app), policy(o.policy);
    hr = notify->Initialize(app.get(), policy.get());
    if (FAILED(hr))
    {
        PrintFailure("Initialize", hr, translator);
        return Ref<INotify>();
    }
    return notify;
}

// ---- parsing

uint32_t ParseNumber(const std::string& text, const char* what)
{
    // Decimal, or hexadecimal after "0x" (a leading 0 is not octal).
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || *end != 0 || errno != 0 || v > 0xFFFFFFFFull || text[0] == '-')
        throw UsageError(std::string("not a valid ") + what + ": " + text);
    return static_cast<uint32_t>(v);
}

uint32_t ParseWord(const std::string& text, const std::map<std::string, uint32_t>& words, const char* what)
{
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto it = words.find(lower);
    return it != words.end() ? it->second : ParseNumber(text, what);
}

const std::map<std::string, uint32_t> kTypes = {{"error", 1}, {"warning", 2}, {"info", 4}, {"test", 8}};
const std::map<std::string, uint32_t> kPriorities = {{"high", 1}, {"medium", 2}, {"low", 4}, {"test", 8}};

DATE ParseTime(const std::string& text)
{
    std::tm tm{};
    if (text.empty() || text == "now")
    {
        const time_t now = time(nullptr);
        localtime_r(&now, &tm);
    }
    else
    {
        int y, mo, d, h = 0, mi = 0, s = 0;
        const int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s);
        if (n != 3 && n != 6)
            throw UsageError("not an ISO-8601 time (YYYY-MM-DDTHH:MM:SS): " + text);
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
    }
    SYSTEMTIME st{static_cast<WORD>(tm.tm_year + 1900), static_cast<WORD>(tm.tm_mon + 1), 0,
                  static_cast<WORD>(tm.tm_mday),        static_cast<WORD>(tm.tm_hour),
                  static_cast<WORD>(tm.tm_min),         static_cast<WORD>(tm.tm_sec), 0};
    DATE date = 0;
    if (!SystemTimeToVariantTime(&st, &date))
        throw UsageError("not a valid time: " + text);
    return date;
}

std::string Words(uint32_t mask, const std::map<std::string, uint32_t>& words)
{
    if (mask == 0)
        return "none";
    if (mask == 0xFFFFFFFF)
        return "all";
    std::string out;
    uint32_t known = 0;
    for (const char* w : {"error", "warning", "info", "test", "high", "medium", "low"})
    {
        auto it = words.find(w);
        if (it != words.end() && (mask & it->second))
        {
            out += (out.empty() ? "" : "|") + std::string(w);
            known |= it->second;
        }
    }
    if (mask & ~known)
    {
        char extra[16];
        std::snprintf(extra, sizeof extra, "0x%X", mask & ~known);
        out += (out.empty() ? "" : "|") + std::string(extra);
    }
    return out;
}

// ---- notify

HRESULT SendOne(INotify* notify, uint32_t type, uint32_t priority, uint32_t code, const std::string& source,
                const std::string& description, DATE when)
{
    Bstr d(description), s(source);
    return notify->Notify(static_cast<eZD_NOTIFY_TYPE>(type), static_cast<eZD_NOTIFY_PRIORITY>(priority), code,
                          d.get(), s.get(), when);
}

int CommandNotify(const Options& o, Module& module)
{
    if (!o.stdinMode && o.rest.size() != 1)
        throw UsageError("notify takes one DESCRIPTION (quote it), or --stdin");
    const uint32_t type = o.values.count("type") ? ParseWord(o.values.at("type"), kTypes, "type") : 4;
    const uint32_t priority =
        o.values.count("priority") ? ParseWord(o.values.at("priority"), kPriorities, "priority") : 2;
    const uint32_t code = o.values.count("code") ? ParseNumber(o.values.at("code"), "code") : 0;
    const std::string source = o.values.count("source") ? o.values.at("source") : "ferrule";
    const DATE when = ParseTime(o.values.count("time") ? o.values.at("time") : "now");

    Ref<INotify> notify = OpenManager(o, module.translator.get());
    if (!notify)
        return kFailed;
    if (!o.stdinMode)
    {
        const HRESULT hr = SendOne(notify.get(), type, priority, code, source, o.rest[0], when);
        if (FAILED(hr))
        {
            PrintFailure("Notify", hr, module.translator.get());
            return kFailed;
        }
        return kOk;
    }

    // One notification per line: TYPE, PRIORITY, CODE, SOURCE, DESCRIPTION separated by tabs.
    const bool terminal = isatty(STDERR_FILENO);
    auto started = std::chrono::steady_clock::now();
    auto lastProgress = started;
    unsigned long sent = 0, failed = 0, lineNumber = 0;
    std::string line;
    while (std::getline(std::cin, line))
    {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        size_t start = 0;
        for (int i = 0; i < 4; ++i)
        {
            const size_t tab = line.find('\t', start);
            if (tab == std::string::npos)
                break;
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        if (fields.size() != 4)
        {
            std::fprintf(stderr, "ferrule: line %lu: expected TYPE, PRIORITY, CODE, SOURCE and DESCRIPTION "
                                 "separated by tabs\n", lineNumber);
            ++failed;
            continue;
        }
        fields.push_back(line.substr(start));
        try
        {
            const uint32_t t = fields[0].empty() ? type : ParseWord(fields[0], kTypes, "type");
            const uint32_t p = fields[1].empty() ? priority : ParseWord(fields[1], kPriorities, "priority");
            const uint32_t c = fields[2].empty() ? code : ParseNumber(fields[2], "code");
            const HRESULT hr = SendOne(notify.get(), t, p, c, fields[3].empty() ? source : fields[3], fields[4],
                                       ParseTime("now"));
            if (FAILED(hr))
            {
                ++failed;
                std::fprintf(stderr, "ferrule: line %lu: ", lineNumber);
                PrintFailure("Notify", hr, module.translator.get());
            }
            else
                ++sent;
        }
        catch (const UsageError& e)
        {
            ++failed;
            std::fprintf(stderr, "ferrule: line %lu: %s\n", lineNumber, e.what());
        }
        const auto now = std::chrono::steady_clock::now();
        if (terminal && now - lastProgress > std::chrono::milliseconds(500))
        {
            lastProgress = now;
            std::fprintf(stderr, "\r%lu sent, %lu failed...", sent, failed);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (terminal)
        std::fprintf(stderr, "\r");
    std::printf("%lu sent, %lu failed in %.2f s (%.0f notifications/s)\n", sent, failed, seconds,
                seconds > 0 ? (sent + failed) / seconds : 0.0);
    return failed ? kFailed : kOk;
}

// ---- handlers and their properties

struct HandlerInfo
{
    std::u16string key;
    Ref<INotifyHandler> handler;
    std::string name;
};

const std::vector<std::pair<std::string, CLSID>>& BuiltInProgIds()
{
    static const std::vector<std::pair<std::string, CLSID>> ids = {
        {"Quellon.Notify.NotifyEmail", CLSID_NotifyEmail},       {"Quellon.Notify.NotifyLog", CLSID_NotifyLog},
        {"Quellon.Notify.NotifySysEvent", CLSID_NotifySysEvent}, {"Quellon.Notify.NotifyApp", CLSID_NotifyApp},
        {"Quellon.Notify.NotifySNMPTrap", CLSID_NotifySNMPTrap}, {"Quellon.Notify.NotifyConnPt", CLSID_NotifyConnPt},
    };
    return ids;
}

std::u16string KeyText(const CLSID& clsid)
{
    OLECHAR text[39];
    StringFromGUID2(clsid, text, 39);
    return text;
}

std::u16string Upper(std::u16string s)
{
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

// The handlers of the manager in dispatch order: the built-in classes and every class the policy
// file names, asked for through GetHandler.
std::vector<HandlerInfo> LoadedHandlers(INotify* notify, const Options& o)
{
    std::vector<std::u16string> keys;
    for (const auto& [progId, clsid] : BuiltInProgIds())
        keys.push_back(KeyText(clsid));
    XmlDocument document;
    bool loaded = false;
    document.Load(W(o.policy.empty() ? o.app + ".notify.xml" : o.policy), loaded);
    if (!loaded)
        document.Load(u"config.notify.xml", loaded);
    for (XmlNode& element : document.GetElementsByTagName(u"Handler"))
    {
        VARIANT clsid;
        if (element.GetAttribute(u"clsid", &clsid) == S_OK)
            keys.push_back(Upper(std::u16string(clsid.bstrVal, SysStringLen(clsid.bstrVal))));
        VariantClear(&clsid);
    }
    std::vector<HandlerInfo> handlers;
    for (const std::u16string& key : keys)
    {
        bool seen = false;
        for (const HandlerInfo& h : handlers)
            seen = seen || h.key == key;
        if (seen)
            continue;
        Bstr id(key);
        Ref<INotifyHandler> handler;
        if (FAILED(notify->GetHandler(id.get(), handler.out())) || !handler)
            continue;
        Bstr name;
        handler->get_Name(name.out());
        handlers.push_back(HandlerInfo{key, std::move(handler), name.str()});
    }
    std::sort(handlers.begin(), handlers.end(), [](const HandlerInfo& a, const HandlerInfo& b) {
        Bstr ka(a.key), kb(b.key);
        return VarBstrCmp(ka.get(), kb.get(), LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
    });
    return handlers;
}

struct Property
{
    std::string name;
    DISPID id;
    bool readable = false;
    bool writable = false;
};

// The properties a handler's type information describes, in member order.
std::vector<Property> Properties(INotifyHandler* handler)
{
    std::vector<Property> properties;
    Ref<ITypeInfo> info;
    if (FAILED(handler->GetTypeInfo(0, 0x409, info.out())))
        return properties;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr)))
        return properties;
    for (UINT i = 0; i < attr->cFuncs; ++i)
    {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc)))
            continue;
        const bool get = desc->invkind == INVOKE_PROPERTYGET && desc->cParams == 0;
        const bool put = desc->invkind == INVOKE_PROPERTYPUT && desc->cParams == 1;
        if (get || put)
        {
            BSTR name = nullptr;
            UINT count = 0;
            info->GetNames(desc->memid, &name, 1, &count);
            const std::string n = N(name);
            SysFreeString(name);
            auto it = std::find_if(properties.begin(), properties.end(), [&](const Property& p) { return p.name == n; });
            if (it == properties.end())
                it = properties.insert(properties.end(), Property{n, desc->memid});
            it->readable = it->readable || get;
            it->writable = it->writable || put;
        }
        info->ReleaseFuncDesc(desc);
    }
    info->ReleaseTypeAttr(attr);
    return properties;
}

bool IsSecret(const std::string& name)
{
    std::string lower = name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("password") != std::string::npos;
}

std::string ReadProperty(INotifyHandler* handler, DISPID id)
{
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value, text;
    VariantInit(&value);
    VariantInit(&text);
    const HRESULT hr = handler->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    std::string out = "(unreadable)";
    if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)))
        out = N(text.bstrVal);
    VariantClear(&value);
    VariantClear(&text);
    return out;
}

int CommandHandlers(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("handlers takes no arguments");
    Ref<INotify> notify = OpenManager(o, module.translator.get());
    if (!notify)
        return kFailed;
    for (const HandlerInfo& h : LoadedHandlers(notify.get(), o))
    {
        eZD_NOTIFY_TYPE type = NOTIFY_TYPE_UNKNOWN;
        eZD_NOTIFY_PRIORITY priority = NOTIFY_PRIORITY_UNKNOWN;
        h.handler->get_TypeFilter(&type);
        h.handler->get_PriorityFilter(&priority);
        std::printf("%s %s\n  types: %s\n  priorities: %s\n", h.name.c_str(), N(h.key).c_str(),
                    Words(static_cast<uint32_t>(type), kTypes).c_str(),
                    Words(static_cast<uint32_t>(priority), kPriorities).c_str());
        for (const Property& p : Properties(h.handler.get()))
        {
            if (!p.readable || IsSecret(p.name) || p.name == "Name" || p.name == "TypeFilter" ||
                p.name == "PriorityFilter")
                continue;
            std::printf("  %s = %s\n", p.name.c_str(), ReadProperty(h.handler.get(), p.id).c_str());
        }
    }
    return kOk;
}

// ---- set

// The policy file as it was, to put back when the command changes nothing.
struct FileSnapshot
{
    std::string path;
    bool existed = false;
    std::string content;

    explicit FileSnapshot(const std::string& p) : path(p)
    {
        std::ifstream in(p, std::ios::binary);
        existed = static_cast<bool>(in);
        if (existed)
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Restore() const
    {
        if (existed)
            std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        else
            unlink(path.c_str());
    }
};

int CommandSet(const Options& o, Module& module)
{
    if (o.rest.size() < 2)
        throw UsageError("set takes HANDLER and at least one NAME=VALUE");
    const std::string policyPath = o.policy.empty() ? o.app + ".notify.xml" : o.policy;
    const FileSnapshot snapshot(policyPath);
    int result = kOk;
    std::string message;
    {
        Ref<INotify> notify = OpenManager(o, module.translator.get());
        if (!notify)
            return kFailed;
        std::vector<HandlerInfo> handlers = LoadedHandlers(notify.get(), o);

        // The handler: by name, class id or ProgID.
        const std::string& wanted = o.rest[0];
        std::u16string key;
        CLSID clsid;
        if (SUCCEEDED(CLSIDFromString(W(wanted).c_str(), &clsid)))
            key = KeyText(clsid);
        for (const auto& [progId, id] : BuiltInProgIds())
            if (wanted == progId || wanted == progId + ".1")
                key = KeyText(id);
        HandlerInfo* target = nullptr;
        for (HandlerInfo& h : handlers)
            if (h.name == wanted || h.key == key || h.key == Upper(W(wanted)))
                target = &h;
        if (target == nullptr)
        {
            message = "ferrule: no handler " + wanted + "; the loaded handlers are:";
            for (const HandlerInfo& h : handlers)
                message += "\n  " + h.name + " " + N(h.key);
            result = kUsage;
        }
        else
        {
            // Every name is checked before anything is set.
            const std::vector<Property> properties = Properties(target->handler.get());
            std::vector<std::pair<const Property*, std::string>> changes;
            for (size_t i = 1; i < o.rest.size() && result == kOk; ++i)
            {
                const size_t eq = o.rest[i].find('=');
                const std::string name = o.rest[i].substr(0, eq);
                const Property* found = nullptr;
                for (const Property& p : properties)
                    if (strcasecmp(p.name.c_str(), name.c_str()) == 0 && p.writable)
                        found = &p;
                if (eq == std::string::npos || found == nullptr)
                {
                    message = "ferrule: " + target->name + " has no property " + o.rest[i] +
                              " (expected NAME=VALUE); its properties are:";
                    for (const Property& p : properties)
                        if (p.writable)
                            message += "\n  " + p.name;
                    result = kUsage;
                }
                else
                    changes.emplace_back(found, o.rest[i].substr(eq + 1));
            }
            for (const auto& [property, value] : changes)
            {
                if (result != kOk)
                    break;
                VARIANT v;
                VariantInit(&v);
                v.vt = VT_BSTR;
                v.bstrVal = SysAllocString(W(value).c_str());
                DISPID named = DISPID_PROPERTYPUT;
                DISPPARAMS params = {&v, &named, 1, 1};
                UINT argErr = 0;
                EXCEPINFO excep{};
                const HRESULT hr = target->handler->Invoke(property->id, IID_NULL, 0x409, DISPATCH_PROPERTYPUT,
                                                           &params, nullptr, &excep, &argErr);
                VariantClear(&v);
                if (FAILED(hr))
                {
                    // A failing setter comes back as DISP_E_EXCEPTION with its own code in EXCEPINFO.
                    const HRESULT code = hr == DISP_E_EXCEPTION ? excep.scode : hr;
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
                    std::string reason = N(excep.bstrDescription);
                    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
                        reason.pop_back();
                    message = "ferrule: " + target->name + "." + property->name + " = " + value + " was refused (" +
                              hex + (reason.empty() ? "" : ": " + reason) + ")";
                    result = kFailed;
                }
                SysFreeString(excep.bstrDescription);
                SysFreeString(excep.bstrSource);
                SysFreeString(excep.bstrHelpFile);
            }
        }
    } // the manager writes the policy file here
    if (result != kOk)
    {
        snapshot.Restore(); // nothing changes when the command fails
        std::fprintf(stderr, "%s\n", message.c_str());
    }
    return result;
}

// ---- explain

int CommandExplain(const Options& o, Module& module)
{
    if (o.rest.size() != 1)
        throw UsageError("explain takes one CODE or SERIALIZED-RESULT");
    if (!module.translator)
    {
        std::fprintf(stderr, "ferrule: the message translator is not available\n");
        return kFailed;
    }
    const std::string& what = o.rest[0];
    uint32_t code = 0;
    Bstr display;
    if (what.rfind("Result (", 0) == 0)
    {
        Bstr text(what);
        const HRESULT hr = module.translator->Translate(text.get(), display.out(), 0);
        if (FAILED(hr))
        {
            std::fprintf(stderr, "ferrule: not a serialized result\n");
            return kFailed;
        }
        code = static_cast<uint32_t>(std::strtoul(what.c_str() + 8, nullptr, 16));
    }
    else
    {
        code = ParseNumber(what, "code");
        module.translator->Explain(code, display.out());
    }
    Bstr name;
    module.translator->SymbolicName(code, name.out());
    std::printf("%s\n%s\n", name.str().empty() ? "(no symbolic name)" : name.str().c_str(), display.str().c_str());
    return kOk;
}

// ---- log

// Prints what the file holds from offset on; answers the new offset (0 after a rotation).
long PrintFrom(const std::string& path, long offset, bool& failed)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        failed = true;
        return offset;
    }
    in.seekg(0, std::ios::end);
    const long size = static_cast<long>(in.tellg());
    if (size < offset)
        offset = 0; // rotated: a new file
    in.seekg(offset);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    if (offset == 0 && bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE)
        start = 2;
    const size_t whole = start + (bytes.size() - start) / 2 * 2;
    std::u16string text;
    for (size_t i = start; i < whole; i += 2)
        text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
    std::string out = N(text);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return offset + static_cast<long>(whole);
}

int CommandLog(const Options& o)
{
    if (o.rest.size() != 1)
        throw UsageError("log takes one FILE");
    bool failed = false;
    long offset = PrintFrom(o.rest[0], 0, failed);
    if (failed)
    {
        std::fprintf(stderr, "ferrule: cannot read %s\n", o.rest[0].c_str());
        return kFailed;
    }
    while (o.follow)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        failed = false;
        offset = PrintFrom(o.rest[0], offset, failed);
    }
    return kOk;
}

// ---- the command line

Options Parse(const std::vector<std::string>& args, const std::string& command)
{
    Options o;
    static const std::vector<std::string> withValue = {"app", "policy", "type", "priority", "code", "source", "time"};
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--stdin" && command == "notify")
            o.stdinMode = true;
        else if (a == "-f" && command == "log")
            o.follow = true;
        else if (a.rfind("--", 0) == 0 && a.size() > 2)
        {
            std::string name = a.substr(2), value;
            const size_t eq = name.find('=');
            if (eq != std::string::npos)
            {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            else if (i + 1 < args.size())
                value = args[++i];
            else
                throw UsageError("--" + name + " needs a value");
            if (std::find(withValue.begin(), withValue.end(), name) == withValue.end() ||
                ((name == "app" || name == "policy") && command != "notify" && command != "handlers" && command != "set") ||
                (name != "app" && name != "policy" && command != "notify"))
                throw UsageError("unknown option --" + name + " for " + command);
            if (name == "app")
                o.app = value;
            else if (name == "policy")
                o.policy = value;
            else
                o.values[name] = value;
        }
        else
            o.rest.push_back(a);
    }
    if (o.app.empty())
        throw UsageError("--app needs a name");
    return o;
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // Global options come first: --config NAME=VALUE, repeatable.
    size_t i = 0;
    std::vector<std::string> config = {"ferrule"};
    while (i < args.size() && (args[i] == "--config" || args[i].rfind("--config=", 0) == 0))
    {
        std::string item;
        if (args[i] == "--config")
        {
            if (i + 1 >= args.size())
            {
                std::fprintf(stderr, "ferrule: --config needs NAME=VALUE\n%s", kUsageText);
                return kUsage;
            }
            item = args[++i];
        }
        else
            item = args[i].substr(9);
        config.push_back(item);
        ++i;
    }
    if (i >= args.size() || args[i] == "--help" || args[i] == "-h" || args[i] == "help")
    {
        std::fputs(kUsageText, i >= args.size() ? stderr : stdout);
        return i >= args.size() ? kUsage : kOk;
    }
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    const std::map<std::string, const char*> helps = {{"notify", kNotifyHelp},   {"handlers", kHandlersHelp},
                                                      {"set", kSetHelp},         {"explain", kExplainHelp},
                                                      {"log", kLogHelp}};
    if (!helps.count(command))
    {
        std::fprintf(stderr, "ferrule: unknown command %s\n%s", command.c_str(), kUsageText);
        return kUsage;
    }
    for (const std::string& rejected : Config::LoadCommandLine(config))
    {
        std::fprintf(stderr, "ferrule: --config %s: no such item or an unacceptable value\n", rejected.c_str());
        return kUsage;
    }
    try
    {
        const Options o = Parse(rest, command);
        if (o.help)
        {
            std::fputs(helps.at(command), stdout);
            return kOk;
        }
        if (command == "log")
            return CommandLog(o);
        Module module;
        if (!module.Load())
            return kFailed;
        if (command == "notify")
            return CommandNotify(o, module);
        if (command == "handlers")
            return CommandHandlers(o, module);
        if (command == "set")
            return CommandSet(o, module);
        return CommandExplain(o, module);
    }
    catch (const UsageError& e)
    {
        std::fprintf(stderr, "ferrule: %s\n%s", e.what(), helps.at(command));
        return kUsage;
    }
}

#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Config/Places.h"
#include "Base/Dev/Global/Result.h"
#include "Platform/Win32/Library.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/ManagerAccess.h"
#include "Messages/MessageTables.h"
#include "Ferrule/PolicyFile.h"
#include "Ferrule/Words.h"
#include "Platform/Xml/XmlDocument.h"
#include "Platform/Cdo/Http.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace tool
{
namespace
{
// A code without a message text reads as "Info 6C8F1C25: " and nothing more; its text arguments are
// the reason, so they are shown after it.
void AddReasonsOfTextlessCodes(const Result& r, std::string& readable)
{
    if (r.IsSuccess())
        return;
    std::string reason;
    if (const ArgumentList* arguments = r.Arguments())
        for (const Argument& a : *arguments)
        {
            if (a.GetType() == DATATYPE_STRING && !a.StringValue().empty())
                reason += (reason.empty() ? "" : "; ") + N(a.StringValue());
            else if (a.GetType() == DATATYPE_RESULT)
                AddReasonsOfTextlessCodes(a.GetResult(), readable);
        }
    char code[16];
    std::snprintf(code, sizeof code, "%08X: ", r.GetCode());
    const size_t at = readable.find(code);
    if (at == std::string::npos || reason.empty())
        return;
    const size_t end = at + std::strlen(code);
    if (end == readable.size() || readable[end] == '\n' || readable[end] == '\r')
        readable.insert(end, reason);
}
} // namespace

std::string ReadableError(IMessageTranslator* translator)
{
    return Readable(TakeErrorDescription(), translator);
}

std::string Readable(const std::u16string& text, IMessageTranslator* translator)
{
    if (text.empty())
        return std::string();
    const Bstr description(text);
    if (translator && text.compare(0, 8, u"Result (") == 0)
    {
        Bstr readable;
        if (SUCCEEDED(translator->Translate(description.Get(), readable.Out(), 0)))
        {
            std::string out = N(readable);
            Result parsed;
            if (TryDeserializeResult(text, parsed))
                AddReasonsOfTextlessCodes(parsed, out);
            return out;
        }
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
                SUCCEEDED(translator->Translate(piece.Get(), readable.Out(), 0)))
                out += (out.empty() ? "" : "\n") + N(readable);
            else
                out += (out.empty() ? "" : "\n") + N(line);
        }
        start = end + 2;
    }
    return out;
}

void PrintFailure(const char* what, HRESULT hr, IMessageTranslator* translator, const std::string& context)
{
    std::fprintf(stderr, "ferrule: %s%s failed: 0x%08X\n", context.empty() ? "" : (context + ": ").c_str(), what,
                 static_cast<unsigned>(hr));
    const std::u16string raw = TakeErrorDescription();
    const std::string description = Readable(raw, translator);
    if (!description.empty())
        std::fprintf(stderr, "%s\n", description.c_str());
    // The failures the description carries, each serialized result of it (one per line when plain).
    std::vector<Result> carried;
    for (size_t start = 0; start < raw.size();)
    {
        size_t end = raw.find(u"\r\n", start);
        if (end == std::u16string::npos)
            end = raw.size();
        Result r;
        if (TryDeserializeResult(raw.substr(start, end - start), r))
            carried.push_back(r);
        start = end + 2;
    }
    // What to do next, for the failures that have an answer: the first that fits, most particular first.
    static const std::pair<uint32_t, const char*> kHints[] = {
        {NOTIFY_ERROR_CURL_LOGIN_DENIED, "check E-mail User, and set the password with: ferrule set E-mail Password=-"},
        {NOTIFY_ERROR_EMAIL_NOT_RESOLVED, "check the name in E-mail SMTPServer, and this machine's name service"},
        {NOTIFY_ERROR_EMAIL_NOT_REACHED, "start the SMTP server, or correct E-mail SMTPServer and ServerPort"},
        {NOTIFY_ERROR_EMAIL_TIMED_OUT,
         "check that the SMTP server answers on E-mail ServerPort, and that no firewall drops the connection; "
         "FERRULE_SMTP_TIMEOUT sets the wait"},
        {NOTIFY_ERROR_EMAIL_CERTIFICATE, "FERRULE_SMTP_CA_FILE names the certificate of a private authority"},
        {NOTIFY_ERROR_EMAIL_TLS, "check the server's TLS setup and E-mail Encryption (and ServerPort: 465 is TLS from the start)"},
        {NOTIFY_ERROR_CURL_RESOLVE_HOST, "check E-mail SMTPServer and ServerPort, and that the server is reachable"},
        {NOTIFY_ERROR_EVENTLOG_WRITE_FAILED,
         "is a system log running? (the journal, /dev/log, or the sockets named by FERRULE_JOURNAL_SOCKET and "
         "FERRULE_SYSLOG_SOCKET; ferrule handlers shows which)"},
        {NOTIFY_ERROR_LOG_CREATE_FAILED, "check that the log folder (LogFile FilePath) exists and is writable for this user"},
        {NOTIFY_ERROR_EMAIL_SEND, "ferrule test shows which e-mail transport failed"},
    };
    for (const auto& [code, hint] : kHints)
        if (std::any_of(carried.begin(), carried.end(), [code = code](const Result& r) { return r.Contains(code); }))
        {
            std::fprintf(stderr, "ferrule: %s\n", hint);
            break;
        }
}

// ---- loading the module

bool Module::Load()
{
    if (LoadLibraryW(u"Ferrule.dll") == nullptr || LoadLibraryW(u"Translator.dll") == nullptr)
    {
        std::fprintf(stderr, "ferrule: cannot load libFerrule.so or libTranslator.so beside libPlatform.so\n");
        return false;
    }
    CoCreateInstance(CLSID_MessageTranslator, nullptr, CLSCTX_INPROC_SERVER, IID_IMessageTranslator,
                     translator.VoidOut());
    return true;
}

ComPtr<INotify> OpenManager(const Options& o, IMessageTranslator* translator, Access access)
{
    struct stat st;
    const bool creates = stat(o.policy.c_str(), &st) != 0;
    if (creates && o.defaultPolicy && access == Access::Change)
        Places::MakeFolders(ConfigFolder());
    ComPtr<INotify> notify;
    HRESULT hr = CoCreateInstance(CLSID_Notify, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, notify.VoidOut());
    if (FAILED(hr))
    {
        PrintFailure("creating the notification manager", hr, translator);
        return ComPtr<INotify>();
    }
    const Bstr app = B(o.app), policy = B(o.policy);
    // A manager that only shows writes nothing when it goes (the item is read by Initialize).
    Config::Set(policy::kReadOnlyItem, access == Access::Change ? "0" : "1");
    hr = notify->Initialize(app.Get(), policy.Get());
    Config::Reset(policy::kReadOnlyItem);
    if (FAILED(hr))
    {
        PrintFailure("Initialize", hr, translator);
        return ComPtr<INotify>();
    }
    // A policy the tool creates gets the log folder of the system's conventions; one that is only shown
    // shows that folder, which is made when something is sent.
    if (creates)
        GiveLogFolder(notify.Get(), access != Access::Show);
    return notify;
}

// ---- parsing

uint32_t ParseNumber(const std::string& text, const char* what)
{
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

namespace
{
template <size_t N>
std::map<std::string, uint32_t> WordMap(const Word (&words)[N])
{
    std::map<std::string, uint32_t> map;
    for (const Word& w : words)
        map.emplace(w.word, w.bit);
    return map;
}
} // namespace

const std::map<std::string, uint32_t> kTypes = WordMap(kTypeWords);
const std::map<std::string, uint32_t> kPriorities = WordMap(kPriorityWords);

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
    // In the order of their bits, the test bit's word ("test") among them.
    std::vector<std::pair<uint32_t, std::string>> byBit;
    for (const auto& [word, bit] : words)
        byBit.emplace_back(bit, word);
    std::sort(byBit.begin(), byBit.end());
    for (const auto& [bit, word] : byBit)
        if (mask & bit)
        {
            out += (out.empty() ? "" : "|") + word;
            known |= bit;
        }
    if (mask & ~known)
    {
        char extra[16];
        std::snprintf(extra, sizeof extra, "0x%X", mask & ~known);
        out += (out.empty() ? "" : "|") + std::string(extra);
    }
    return out;
}


// ---- handlers and their properties


const std::vector<std::pair<std::string, CLSID>>& BuiltInProgIds()
{
    // The handlers' version-independent ProgIDs, as registration writes them (the manager's is not a
    // handler's).
    static const std::vector<std::pair<std::string, CLSID>> ids = [] {
        std::vector<std::pair<std::string, CLSID>> out;
        for (const ClassRow& c : kClasses)
            if (*c.clsid != CLSID_Notify)
                out.emplace_back(N(std::u16string(c.versionIndependent)), *c.clsid);
        return out;
    }();
    return ids;
}


std::vector<HandlerInfo> LoadedHandlers(INotify* notify, const Options& o)
{
    std::vector<std::u16string> keys;
    for (const auto& [progId, clsid] : BuiltInProgIds())
        keys.push_back(GuidText(clsid));
    XmlDocument document;
    bool loaded = false;
    if (FAILED(document.Load(W(o.policy), loaded)) || !loaded)
        loaded = SUCCEEDED(document.Load(policy::kFallbackFile, loaded)) && loaded;
    for (XmlNode& element : document.GetElementsByTagName(policy::kHandlerElement))
    {
        Variant clsid;
        if (element.GetAttribute(policy::kClsidAttribute, clsid.Out()) == S_OK)
            keys.push_back(UpperKey(ToString(clsid->bstrVal)));
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
        ComPtr<INotifyHandler> handler;
        if (FAILED(notify->GetHandler(id.Get(), handler.Out())) || !handler)
            continue;
        Bstr name;
        handler->get_Name(name.Out());
        handlers.push_back(HandlerInfo{key, std::move(handler), N(name)});
    }
    std::sort(handlers.begin(), handlers.end(), [](const HandlerInfo& a, const HandlerInfo& b) {
        Bstr ka(a.key), kb(b.key);
        return VarBstrCmp(ka.Get(), kb.Get(), LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
    });
    return handlers;
}

std::vector<Property> Properties(INotifyHandler* handler, const CLSID& clsid)
{
    const ClassRow* row = ClassRowOf(clsid);
    std::vector<Property> properties;
    ComPtr<ITypeInfo> info;
    if (FAILED(handler->GetTypeInfo(0, 0x409, info.Out())))
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
            Bstr name;
            UINT count = 0;
            info->GetNames(desc->memid, name.Out(), 1, &count);
            const std::string n = N(name);
            auto it = std::find_if(properties.begin(), properties.end(), [&](const Property& p) { return p.name == n; });
            if (it == properties.end())
                it = properties.insert(properties.end(),
                                       Property{n, desc->memid, false, false, VT_EMPTY, row ? SettingOf(*row, W(n)) : nullptr});
            it->readable = it->readable || get;
            it->writable = it->writable || put;
            if (put)
                it->type = desc->lprgelemdescParam[0].tdesc.vt;
        }
        info->ReleaseFuncDesc(desc);
    }
    info->ReleaseTypeAttr(attr);
    return properties;
}

bool IsSecret(const Property& p)
{
    if (p.setting != nullptr)
        return (p.setting->flags & Setting::kSecret) != 0;
    std::string lower = p.name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("password") != std::string::npos || lower.find("token") != std::string::npos;
}

std::string ShownName(const Property& p)
{
    return p.setting != nullptr && p.setting->row != nullptr ? N(std::u16string(p.setting->row)) : p.name;
}

std::string ShownValue(const Property& p, const std::string& text)
{
    if (IsSecret(p))
        return "(hidden)";
    if (p.setting != nullptr && (p.setting->flags & Setting::kUrl))
    {
        const std::string shown = ShownUrl(text);
        return text.empty() ? "" : shown.empty() ? "(not an http or https URL)" : shown;
    }
    return text;
}

std::string ReadProperty(INotifyHandler* handler, DISPID id)
{
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    Variant value;
    const HRESULT hr = handler->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, value.Out(), nullptr, nullptr);
    bool converted = false;
    const std::u16string text = value.Text(&converted);
    return SUCCEEDED(hr) && converted ? N(text) : "(unreadable)";
}


// ---- the command line

namespace
{
enum OptionKey : int
{
    kOperand = 1, // getopt_long's code for an operand, in the order given
    kHelp = 'h',
    kFollow = 'f',
    kLines = 'n',
    kApp = 256,
    kPolicy,
    kValue, // --type, --priority, --code, --source, --time, --tray-clients: o.values[name]
    kStdin,
    kAll,
    kRaw,
    kRecursive,
    kSettings,
    kOnce,
    kCodes,
};

struct OptionRow
{
    const char* name;
    int hasArgument;
    OptionKey key;
    const char* commands; // the commands that take it, each followed by a blank; null: every command
};

// Every option of the commands after their name; -h, -f and -n are the short forms.
const OptionRow kOptions[] = {
    {"help", no_argument, kHelp, nullptr},
    {"app", required_argument, kApp, "notify handlers set test log "},
    {"policy", required_argument, kPolicy, "notify handlers set test log "},
    {"type", required_argument, kValue, "notify "},
    {"priority", required_argument, kValue, "notify "},
    {"code", required_argument, kValue, "notify "},
    {"source", required_argument, kValue, "notify "},
    {"time", required_argument, kValue, "notify "},
    {"tray-clients", required_argument, kValue, "notify "},
    {"stdin", no_argument, kStdin, "notify "},
    {"follow", no_argument, kFollow, "log "},
    {"all", no_argument, kAll, "log outbox "},
    {"raw", no_argument, kRaw, "log "},
    {"lines", required_argument, kLines, "log "},
    {"recursive", no_argument, kRecursive, "reg "},
    {"settings", no_argument, kSettings, "handlers "},
    {"once", no_argument, kOnce, "tray "},
    {"codes", no_argument, kCodes, "explain "},
};

bool Takes(const OptionRow& row, const std::string& command)
{
    return row.commands == nullptr || std::string(row.commands).find(command + " ") != std::string::npos;
}
} // namespace

// getopt_long over the command's own options. Options and operands may come in any order and are read in
// that order (no permutation of the arguments); "--" ends the options.
Options Parse(const std::vector<std::string>& args, const std::string& command)
{
    std::vector<option> longOptions;
    std::vector<const OptionRow*> rows;
    std::string shortOptions = "-:h"; // operands in order, a missing value reported as ':'
    for (const OptionRow& row : kOptions)
        if (Takes(row, command))
        {
            longOptions.push_back(option{row.name, row.hasArgument, nullptr, static_cast<int>(rows.size()) + 1000});
            rows.push_back(&row);
            if (row.key == kFollow || row.key == kLines)
                shortOptions += row.key == kLines ? "n:" : "f";
        }
    longOptions.push_back(option{nullptr, 0, nullptr, 0});

    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back("ferrule " + command);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Options o;
    opterr = 0;
    optind = 0; // a fresh scan, whatever an earlier one left
    int longIndex = -1;
    for (int c; (c = getopt_long(static_cast<int>(argv.size()) - 1, argv.data(), shortOptions.c_str(),
                                 longOptions.data(), &longIndex)) != -1;
         longIndex = -1)
    {
        const std::string given = argv[optind - 1] != nullptr ? argv[optind - 1] : "";
        if (c == '?' || c == ':')
        {
            const std::string name = optopt != 0 && optopt < 1000 ? std::string("-") + static_cast<char>(optopt)
                                     : optopt >= 1000 ? "--" + std::string(rows[optopt - 1000]->name)
                                                      : given.substr(0, given.find('='));
            throw UsageError(c == ':' ? name + " needs a value" : "unknown option " + name + " for " + command);
        }
        OptionKey key = c == kOperand ? kOperand : c >= 1000 ? rows[c - 1000]->key : static_cast<OptionKey>(c);
        const std::string value = optarg != nullptr ? optarg : "";
        switch (key)
        {
        case kOperand: o.rest.push_back(value); break;
        case kHelp: o.help = true; break;
        case kApp: o.app = value; break;
        case kPolicy: o.policy = value; break;
        case kValue: o.values[rows[c - 1000]->name] = value; break;
        case kStdin: o.stdinMode = true; break;
        case kFollow: o.follow = true; break;
        case kAll: o.all = true; break;
        case kRaw: o.raw = true; break;
        case kLines: o.values["lines"] = value; break;
        case kRecursive: o.recursive = true; break;
        case kSettings: o.settings = true; break;
        case kOnce: o.once = true; break;
        case kCodes: o.rest.push_back("--codes"); break;
        }
    }
    for (int i = optind; i < static_cast<int>(argv.size()) - 1; ++i)
        o.rest.push_back(argv[i]); // after "--"
    if (o.app.empty())
        throw UsageError("--app needs a name");
    // The application name becomes file names (APP.notify.xml, APP.log.txt).
    const std::string longest = o.app + ".notify.xml";
    if (o.app == "." || o.app == ".." || o.app.find('/') != std::string::npos ||
        std::any_of(o.app.begin(), o.app.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        throw UsageError("--app " + std::string(o.app.find_first_of("\n\r") == std::string::npos ? o.app : "(a name with a line break)") +
                         ": an application name becomes a file name, so it may not be . or .. or hold a / or a "
                         "control character");
    if (longest.size() > NAME_MAX)
        throw UsageError("--app: an application name becomes a file name (NAME.notify.xml), so it may be at most " +
                         std::to_string(NAME_MAX - (longest.size() - o.app.size())) + " bytes long");
    if (o.policy.empty())
    {
        o.policy = ConfigFolder() + "/" + o.app + ".notify.xml";
        o.defaultPolicy = true;
    }
    return o;
}
} // namespace tool

#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Ferrule/PolicyFile.h"
#include "Platform/Win32/FileLock.h"
#include "Platform/Win32/Files.h"
#include "Platform/Xml/XmlDocument.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tool
{
const char* const kSetHelp =
    "usage: ferrule set [--app NAME] [--policy FILE] HANDLER NAME=VALUE...\n"
    "\n"
    "Sets handler properties by name and writes the policy file. HANDLER is a handler name (LogFile),\n"
    "a class id or a ProgID (Quellon.Notify.NotifyLog). Values:\n"
    "  numbers     decimal or 0x hexadecimal; -1 for MaxSize (no maximum)\n"
    "  filters     TypeFilter=error,warning,info,test and PriorityFilter=high,medium,low,test (or a\n"
    "              number, all, none)\n"
    "  booleans    true, false, yes, no, 1, 0\n"
    "  Password=-  the e-mail password, typed without echo (or one line of standard input); never\n"
    "              from the command line; the same for the webhook's Token=-\n"
    "  URL=-       the webhook's URL (which often holds a secret) read the same way; only its scheme,\n"
    "              host and port are ever shown\n"
    "The Webhook handler is added to the policy (error notifications of every priority) by the first set\n"
    "that names it.\n"
    "set Outbox RetryMinutes=N sets how long a failed mail or post is kept and retried (default 1440;\n"
    "0 switches the outbox off: one attempt per notification).\n"
    "Every value is checked, and standard input read, before the policy is locked or written; a value\n"
    "holding a NUL, CR or LF is refused. Concurrent sets, and programs writing the policy back, wait for\n"
    "each other (a lock file NAME.lock beside it), so every change lands. After writing, the file is\n"
    "read back and every property compared; a value that did not land is reported (exit 1). An unknown\n"
    "handler or property, or a property that is never saved in the policy file, lists what exists,\n"
    "changes nothing and exits 2; a refused value leaves the file as it was and exits 1.\n";

namespace
{
// How long a set waits for another set on the same policy file.
const std::chrono::seconds kLockWait(30);

// A property bag that only collects what an object writes into it, as text, in order.
class CollectingBag : public IPropertyBag
{
public:
    std::vector<std::pair<std::u16string, std::u16string>> values;

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IPropertyBag)
        {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++mRefs; }
    STDMETHOD_(ULONG, Release)() override { return --mRefs; } // lives on the stack
    STDMETHOD(Read)(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_NOTIMPL; }
    STDMETHOD(Write)(LPCOLESTR name, VARIANT* value) override
    {
        bool converted = false;
        const std::u16string text = Variant(*value).Text(&converted);
        values.emplace_back(name, converted ? text : u"(not text)");
        return S_OK;
    }

private:
    std::atomic<ULONG> mRefs{1};
};

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* TypeName(VARTYPE vt)
{
    switch (vt)
    {
    case VT_BSTR: return "a text";
    case VT_BOOL: return "a boolean (true or false)";
    case VT_I4:
    case VT_INT: return "a signed 32-bit number (-2147483648 to 2147483647)";
    case VT_UI2: return "an unsigned 16-bit number (0 to 65535)";
    default: return "an unsigned 32-bit number (0 to 4294967295)";
    }
}

// A password typed at the terminal without echo, or one line of standard input when that is not a
// terminal.
bool ReadPassword(std::string& password, const char* prompt = "Password")
{
    const bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal)
    {
        std::fprintf(stderr, "%s: ", prompt);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    password.clear();
    int c;
    bool any = false;
    while ((c = std::getchar()) != EOF && c != '\n')
    {
        any = true;
        password += static_cast<char>(c);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (terminal)
    {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    return any || c == '\n';
}

bool Flag(const Property& p, unsigned flag)
{
    return p.setting != nullptr && (p.setting->flags & flag) != 0;
}

// Whether a value is read from standard input: "-" for a setting that takes it so. A secret is taken
// from there only (never from the command line, where every user sees it in the process list).
bool FromInput(const Property& p, const std::string& text)
{
    return text == "-" && Flag(p, Setting::kFromInput);
}

// The value text as the property's type; "" and the variant, or the reason it is refused. A value read
// from standard input comes with fromInput.
std::string Convert(const Property& p, const std::string& text, bool fromInput, VARIANT& out)
{
    VariantInit(&out);
    const std::string lower = Lower(text);
    if (Flag(p, Setting::kFromInput) && IsSecret(p) && !fromInput)
        return "a " + Lower(p.name) + " is never taken from the command line: give " + p.name +
               "=- and type it, or send it on standard input";
    if (p.type == VT_BSTR)
    {
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocString(W(text).c_str());
        return "";
    }
    if (p.type == VT_BOOL)
    {
        const bool yes = lower == "true" || lower == "yes" || lower == "1" || lower == "-1" || lower == "on";
        const bool no = lower == "false" || lower == "no" || lower == "0" || lower == "off";
        if (!yes && !no)
            return std::string("not a boolean; ") + p.name + " is " + TypeName(p.type);
        out.vt = VT_BOOL;
        out.boolVal = yes ? VARIANT_TRUE : VARIANT_FALSE;
        return "";
    }
    // Filters: words separated by "," or "|", or a number.
    const bool types = p.id == DISPID_TypeFilter;
    const bool priorities = p.id == DISPID_PriorityFilter;
    if ((types || priorities) && !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])))
    {
        uint32_t mask = 0;
        size_t start = 0;
        while (start <= lower.size())
        {
            size_t end = lower.find_first_of(",|", start);
            if (end == std::string::npos)
                end = lower.size();
            const std::string word = lower.substr(start, end - start);
            const auto& words = types ? kTypes : kPriorities;
            if (word == "all")
                mask = 0xFFFFFFFF;
            else if (word != "none")
            {
                auto it = words.find(word);
                if (it == words.end())
                    return "not a " + std::string(types ? "type" : "priority") + ": " + word + " (" +
                           (types ? "error, warning, info, test" : "high, medium, low, test") + ", all or none)";
                mask |= it->second;
            }
            start = end + 1;
        }
        out.vt = VT_UI4;
        out.ulVal = mask;
        return "";
    }
    // Numbers: decimal or 0x hexadecimal; -1 where the property documents it as "no maximum".
    const bool hex = lower.size() > 2 && lower[0] == '0' && lower[1] == 'x';
    const bool negative = !lower.empty() && lower[0] == '-';
    const std::string digits = hex ? lower.substr(2) : negative ? lower.substr(1) : lower;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdef" : "0123456789") != std::string::npos)
        return "not a number; " + p.name + " is " + TypeName(p.type);
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    const bool overflow = errno == ERANGE;
    const bool isSigned = p.type == VT_I4 || p.type == VT_INT;
    const unsigned long long limit = p.type == VT_UI2 ? 0xFFFF : isSigned ? 0x7FFFFFFF : 0xFFFFFFFF;
    if (negative && !isSigned)
    {
        if (magnitude == 1 && Flag(p, Setting::kMinusOneMax))
        {
            out.vt = VT_UI4;
            out.ulVal = 0xFFFFFFFF;
            return "";
        }
        return "negative; " + p.name + " is " + TypeName(p.type);
    }
    if (overflow || magnitude > limit + (negative ? 1 : 0))
        return "too large; " + p.name + " is " + TypeName(p.type);
    if (isSigned)
    {
        out.vt = VT_I4;
        out.lVal = static_cast<LONG>(negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude));
    }
    else if (p.type == VT_UI2)
    {
        out.vt = VT_UI2;
        out.uiVal = static_cast<USHORT>(magnitude);
    }
    else
    {
        out.vt = VT_UI4;
        out.ulVal = static_cast<ULONG>(magnitude);
    }
    return "";
}

HRESULT Put(INotifyHandler* handler, DISPID id, VARIANT& value, std::string& reason)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value, &named, 1, 1};
    UINT argErr = 0;
    EXCEPINFO excep{};
    HRESULT hr = handler->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYPUT, &params, nullptr, &excep, &argErr);
    // The exception's texts are the caller's to free.
    const Bstr description = Bstr::Adopt(excep.bstrDescription), source = Bstr::Adopt(excep.bstrSource),
               helpFile = Bstr::Adopt(excep.bstrHelpFile);
    if (FAILED(hr))
    {
        // A failing setter comes back as DISP_E_EXCEPTION with its own code in EXCEPINFO.
        if (hr == DISP_E_EXCEPTION)
            hr = excep.scode;
        reason = N(description);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
    }
    return hr;
}

// The handler's saved properties, as text, for a fresh instance of its class with property p set to
// value (or left as it is without one).
bool SavedValues(const CLSID& clsid, const Property* p, VARIANT* value,
                 std::vector<std::pair<std::u16string, std::u16string>>& out)
{
    ComPtr<INotifyHandler> fresh;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler, fresh.VoidOut())))
        return false;
    std::string ignored;
    if (p != nullptr && FAILED(Put(fresh.Get(), p->id, *value, ignored)))
        return false;
    ComPtr<IPersistPropertyBag> persist;
    if (FAILED(fresh->QueryInterface(IID_IPersistPropertyBag, persist.VoidOut())))
        return false;
    CollectingBag bag;
    persist->Save(&bag, FALSE, TRUE);
    out = bag.values;
    return true;
}

// Why a written value may not have landed.
std::string WriteProblem(const std::string& policy)
{
    const size_t slash = policy.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : policy.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "its folder " + folder + " does not exist";
    if (access(folder.c_str(), W_OK) != 0)
        return "its folder " + folder + " is not writable";
    if (stat(policy.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return policy + " is not a regular file";
    return "the policy file could not be written (the handler could not save its settings, or the disk is "
           "full; the log file holds the manager's warning)";
}

// Where reading a policy file stopped, or "" when it was read whole: text that does not parse, or the
// first Handler element whose class the manager did not load.
std::string ReadingStop(const std::string& policy, const std::vector<HandlerInfo>& handlers)
{
    XmlDocument document;
    bool loaded = false;
    if (FAILED(document.Load(W(policy), loaded)))
        return "the file, which could not be read";
    if (!document.FileExists())
        return "";
    if (!loaded)
        return document.Problem();
    int position = 0;
    for (XmlNode& element : document.GetElementsByTagName(policy::kHandlerElement))
    {
        ++position;
        Variant clsid;
        if (element.GetAttribute(policy::kClsidAttribute, clsid.Out()) != S_OK)
            continue;
        const std::u16string key = UpperKey(ToString(clsid->bstrVal));
        bool found = false;
        for (const HandlerInfo& h : handlers)
            found = found || h.key == key;
        if (!found)
            return N(policy::ElementPosition(position, policy::kHandlerElement, key));
    }
    return "";
}

// The readable property through which a put-only one is persisted (the password's and the token's
// stored forms), or null.
const Property* PersistedForm(const std::vector<Property>& properties, const Property& p)
{
    if (p.setting == nullptr || p.setting->storedForm == nullptr)
        return nullptr;
    for (const Property& q : properties)
        if (W(q.name) == p.setting->storedForm && q.readable)
            return &q;
    return nullptr;
}

// The class key a set names by class id or ProgID, or "" (a handler name).
std::u16string KeyOfWanted(const std::string& wanted)
{
    std::u16string key;
    CLSID clsid;
    if (SUCCEEDED(CLSIDFromString(W(wanted).c_str(), &clsid)))
        key = GuidText(clsid);
    for (const auto& [progId, id] : BuiltInProgIds())
        if (wanted == progId || wanted == progId + ".1")
            key = GuidText(id);
    return key;
}

// A class of the module that the policy does not hold yet gets its element (the policy file made first
// when missing); false when the file holds it already or cannot be read.
bool AddHandlerElement(const Options& o, Module& module, const std::u16string& key, const std::string& name)
{
    struct stat st;
    if (stat(o.policy.c_str(), &st) != 0)
        OpenManager(o, module.translator.Get(), Access::Change).Reset(); // the manager writes the default policy as it goes
    XmlDocument document;
    bool loaded = false;
    if (FAILED(document.Load(W(o.policy), loaded)))
        return false;
    std::vector<XmlNode> lists = document.GetElementsByTagName(policy::kHandlersElement);
    if (!loaded || lists.empty())
        return false;
    for (XmlNode& element : document.GetElementsByTagName(policy::kHandlerElement))
    {
        Variant clsid;
        if (element.GetAttribute(policy::kClsidAttribute, clsid.Out()) == S_OK && UpperKey(ToString(clsid->bstrVal)) == key)
            return false;
    }
    XmlNode element = document.CreateElement(policy::kHandlerElement);
    element.SetAttribute(policy::kNameAttribute, Variant(W(name)).Get());
    element.SetAttribute(policy::kClsidAttribute, Variant(key).Get());
    lists.front().AppendChild(element);
    return SUCCEEDED(XmlDocument::SaveFile(W(o.policy), document.SaveText(), 0));
}

// Reads the property's value as text.
std::u16string Readback(INotifyHandler* handler, DISPID id)
{
    return W(ReadProperty(handler, id));
}
struct Change
{
    const Property* property;
    std::string text; // as given, or as read from standard input
    bool fromInput = false;
    Variant value;
    Variant before;          // the value it had, to put back when a later change is refused
    std::u16string expected; // what its getter answers once set
};

// The handler a set names (by name, class id or ProgID), its class and its properties.
struct Target
{
    std::string name;
    std::u16string key;
    CLSID clsid{};
    const ClassRow* row = nullptr; // its row in the class table (null for a class from outside the module)
    bool added = false;            // a class the policy does not hold yet: the set adds it
    std::vector<Property> properties;
};

// Step 1: the handler, found through a manager that only shows the policy, or among the module's
// classes that a policy holds only once a set adds them. Nothing is written.
int FindTarget(const Options& o, Module& module, Target& target)
{
    const std::string& wanted = o.rest[0];
    const std::u16string key = KeyOfWanted(wanted);
    ComPtr<INotify> shown = OpenManager(o, module.translator.Get(), Access::Show);
    if (!shown)
        return kFailed;
    const std::vector<HandlerInfo> handlers = LoadedHandlers(shown.Get(), o);
    auto matches = [&](const std::string& name, const std::u16string& k) {
        return name == wanted || k == key || k == UpperKey(W(wanted));
    };
    ComPtr<INotifyHandler> found;
    for (const HandlerInfo& h : handlers)
        if (matches(h.name, h.key))
        {
            target.name = h.name;
            target.key = h.key;
            found = h.handler;
        }
    for (const auto& [progId, clsid] : BuiltInProgIds())
    {
        if (found)
            break;
        ComPtr<INotifyHandler> fresh;
        Bstr name;
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler, fresh.VoidOut())) ||
            FAILED(fresh->get_Name(name.Out())) || !matches(N(name), GuidText(clsid)))
            continue;
        target.name = N(name);
        target.key = GuidText(clsid);
        target.added = true;
        found = fresh;
    }
    if (!found)
    {
        std::string message = "ferrule: no handler " + wanted + "; the loaded handlers are:";
        for (const HandlerInfo& h : handlers)
            message += "\n  " + h.name + " " + N(h.key);
        std::fprintf(stderr, "%s\n", message.c_str());
        return kUsage;
    }
    CLSIDFromString(target.key.c_str(), &target.clsid);
    target.row = ClassRowOf(target.clsid);
    target.properties = Properties(found.Get(), target.clsid);
    return kOk;
}

// A value as a refusal shows it: never what standard input gave.
std::string Shown(const Change& c)
{
    return c.fromInput ? "(from standard input)" : ShownValue(*c.property, c.text);
}

// A value the handler refused, with its reason.
int PrintRefused(const Target& target, const Change& c, HRESULT hr, const std::string& reason)
{
    std::fprintf(stderr, "ferrule: %s.%s = %s was refused (%s%s)\n", target.name.c_str(), c.property->name.c_str(),
                 Shown(c).c_str(), HexCode(static_cast<uint32_t>(hr)).c_str(), reason.empty() ? "" : (": " + reason).c_str());
    return kFailed;
}

// Step 2: every NAME=VALUE checked before anything is locked or written: the name, the value (the
// secrets and "-" read from standard input here, so no lock is held while a person types), and the
// value put on a fresh handler of the class, so a refused value changes no file.
int CheckChanges(const Options& o, const Target& target, std::vector<Change>& changes)
{
    std::vector<std::pair<std::u16string, std::u16string>> defaults;
    const bool canProbe = SavedValues(target.clsid, nullptr, nullptr, defaults);
    ComPtr<INotifyHandler> probe;
    if (FAILED(CoCreateInstance(target.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler, probe.VoidOut())))
    {
        std::fprintf(stderr, "ferrule: the class of %s cannot be created\n", target.name.c_str());
        return kFailed;
    }
    for (size_t i = 1; i < o.rest.size(); ++i)
    {
        const size_t eq = o.rest[i].find('=');
        const std::string name = o.rest[i].substr(0, eq);
        const Property* found = nullptr;
        for (const Property& p : target.properties)
            if ((strcasecmp(p.name.c_str(), name.c_str()) == 0 || strcasecmp(ShownName(p).c_str(), name.c_str()) == 0) &&
                p.writable)
                found = &p;
        if (eq == std::string::npos || found == nullptr)
        {
            std::string message = "ferrule: " + target.name + " has no property " + o.rest[i] +
                                  " (expected NAME=VALUE); its properties are:";
            for (const Property& p : target.properties)
                if (p.writable)
                    message += "\n  " + ShownName(p);
            std::fprintf(stderr, "%s\n", message.c_str());
            return kUsage;
        }
        Change c{found, o.rest[i].substr(eq + 1), false, {}, {}, {}};
        auto refused = [&](const std::string& why) {
            std::fprintf(stderr, "ferrule: %s.%s = %s was refused: %s\n", target.name.c_str(), found->name.c_str(),
                         Shown(c).c_str(), why.c_str());
            return kFailed;
        };
        if (FromInput(*found, c.text))
        {
            c.fromInput = true;
            if (!ReadPassword(c.text, found->name.c_str()))
                return refused("no value was given on standard input");
            if (c.text.find('\0') != std::string::npos)
                return refused("it holds a NUL character");
        }
        // An address or server name with a line break would become a command of its own on the way
        // to the server.
        if (Flag(*found, Setting::kOneLine) && HoldsControlCharacter(c.text))
        {
            std::fprintf(stderr, "ferrule: %s.%s was refused: an address or server name may hold no line break "
                                 "or other control character\n",
                         target.name.c_str(), found->name.c_str());
            return kUsage;
        }
        if (const std::string reason = Convert(*found, c.text, c.fromInput, c.value.Get()); !reason.empty())
            return refused(reason);
        std::string why;
        if (const HRESULT hr = Put(probe.Get(), found->id, c.value.Get(), why); FAILED(hr))
            return PrintRefused(target, c, hr, why);
        // A property the handler never saves cannot be set in the policy file.
        std::vector<std::pair<std::u16string, std::u16string>> saved;
        if (canProbe && SavedValues(target.clsid, found, &c.value.Get(), saved) && saved == defaults)
        {
            ComPtr<INotifyHandler> fresh;
            std::u16string freshValue;
            if (SUCCEEDED(CoCreateInstance(target.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler,
                                           fresh.VoidOut())) &&
                found->readable)
                freshValue = Readback(fresh.Get(), found->id);
            bool converted = false;
            const std::u16string asText = c.value.Text(&converted);
            if (!(found->readable && converted && freshValue == asText))
            {
                std::fprintf(stderr, "ferrule: %s.%s is not saved in the policy file; set it through the module "
                                     "at run time instead\n",
                             target.name.c_str(), found->name.c_str());
                return kUsage;
            }
        }
        changes.push_back(std::move(c));
    }
    return kOk;
}

// The policy file's bytes as they were, put back when a set is refused after it changed the file.
class PolicyRestorer
{
public:
    explicit PolicyRestorer(const std::string& path) : mPath(path)
    {
        mExisted = SUCCEEDED(ReadWholeFile(W(path), mBytes));
    }
    // False when the file could not be put back.
    [[nodiscard]] bool Restore() const
    {
        if (mExisted)
            return SUCCEEDED(XmlDocument::SaveFile(W(mPath), mBytes, 0));
        return unlink(mPath.c_str()) == 0 || errno == ENOENT;
    }

private:
    std::string mPath;
    std::string mBytes;
    bool mExisted = false;
};

// Step 3, under the lock: the target's element added when the policy does not hold it, the changes
// put in order on the policy's handler (a refused one puts back those before it), and the manager
// released, which writes the file. kOk, or the exit code after a printed refusal.
int ApplyChanges(const Options& o, Module& module, const Target& target, std::vector<Change>& changes,
                 std::string& stop)
{
    const bool added = target.added && AddHandlerElement(o, module, target.key, target.name);
    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Change);
    if (!notify)
        return kFailed;
    const std::vector<HandlerInfo> handlers = LoadedHandlers(notify.Get(), o);
    stop = ReadingStop(o.policy, handlers);
    ComPtr<INotifyHandler> handler;
    for (const HandlerInfo& h : handlers)
        if (h.key == target.key)
            handler = h.handler;
    if (!handler)
    {
        std::fprintf(stderr, "ferrule: %s could not be loaded from %s\n", target.name.c_str(), o.policy.c_str());
        return kFailed;
    }
    if (added && target.row != nullptr)
    {
        // A handler a set adds starts with the filters of its class.
        handler->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(target.row->typeFilter));
        handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(target.row->priorityFilter));
    }
    for (size_t i = 0; i < changes.size(); ++i)
    {
        Change& c = changes[i];
        if (c.property->readable)
        {
            DISPPARAMS none = {nullptr, nullptr, 0, 0};
            handler->Invoke(c.property->id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, c.before.Out(), nullptr,
                            nullptr);
        }
        std::string reason;
        const HRESULT hr = Put(handler.Get(), c.property->id, c.value.Get(), reason);
        if (FAILED(hr))
        {
            for (size_t j = i; j-- > 0;)
                if (changes[j].before->vt != VT_EMPTY)
                {
                    std::string ignored;
                    Put(handler.Get(), changes[j].property->id, changes[j].before.Get(), ignored);
                }
            return PrintRefused(target, c, hr, reason);
        }
        if (c.property->readable)
            c.expected = Readback(handler.Get(), c.property->id);
        else if (const Property* form = PersistedForm(target.properties, *c.property))
            c.expected = Readback(handler.Get(), form->id);
    }
    handler.Reset();
    notify.Reset(); // the manager writes the policy file as it goes
    return kOk;
}

// What the class says after a set (the e-mail handler: when every mail goes out twice).
void NoteAfterSet(const Target& target, INotifyHandler* handler)
{
    if (handler == nullptr || target.row == nullptr || target.row->texts.afterSet == nullptr)
        return;
    if (const std::string note = target.row->texts.afterSet(handler); !note.empty())
        std::fprintf(stderr, "ferrule: note: %s\n", note.c_str());
}

// Step 4: the written file, loaded into fresh handlers, holds every value set.
int ReadBack(const Options& o, Module& module, const Target& target, const std::vector<Change>& changes)
{
    ComPtr<INotify> check = OpenManager(o, module.translator.Get(), Access::Show);
    if (!check)
        return kFailed;
    Bstr key(target.key);
    ComPtr<INotifyHandler> reread;
    check->GetHandler(key.Get(), reread.Out());
    int result = kOk;
    bool highNoted = false;
    for (size_t i = 0; i < changes.size(); ++i)
    {
        const Change& c = changes[i];
        // The same property named again: the last one is what the file holds.
        bool superseded = false;
        for (size_t j = i + 1; j < changes.size(); ++j)
            superseded = superseded || changes[j].property == c.property;
        if (superseded)
            continue;
        // A put-only value (the password) is compared through the form that is persisted, never shown.
        const Property* compared = c.property->readable ? c.property : PersistedForm(target.properties, *c.property);
        if (compared == nullptr)
            continue;
        const std::u16string now = reread ? Readback(reread.Get(), compared->id) : u"(no handler)";
        // The manager adds the high-priority bit to every handler it loads: the file holds the value set.
        if (now != c.expected && strcasecmp(c.property->name.c_str(), "PriorityFilter") == 0 &&
            now == W(std::to_string(std::strtoul(N(c.expected).c_str(), nullptr, 10) | NOTIFY_PRIORITY_HIGH)))
        {
            if (!highNoted)
                std::fprintf(stderr, "ferrule: note: high-priority notifications are always delivered, so "
                                     "%s.PriorityFilter reads back as %s\n",
                             target.name.c_str(), N(now).c_str());
            highNoted = true;
            continue;
        }
        if (now != c.expected)
        {
            const bool secret = IsSecret(*c.property) || c.fromInput;
            std::fprintf(stderr, "ferrule: %s.%s = %s did not land in %s (it reads back as %s): %s\n",
                         target.name.c_str(), c.property->name.c_str(), Shown(c).c_str(), o.policy.c_str(),
                         secret ? "another value" : ShownValue(*c.property, N(now)).c_str(),
                         WriteProblem(o.policy).c_str());
            result = kFailed;
        }
    }
    NoteAfterSet(target, reread.Get());
    return result;
}
} // namespace

int CommandSet(const Options& o, Module& module)
{
    if (o.rest.size() < 2)
        throw UsageError("set takes HANDLER and at least one NAME=VALUE");
    Target target;
    std::vector<Change> changes;
    if (const int found = FindTarget(o, module, target); found != kOk)
        return found;
    if (const int checked = CheckChanges(o, target, changes); checked != kOk)
        return checked;

    // Concurrent sets, and managers writing back, wait for each other.
    const FileLock lock(o.policy + ".lock", kLockWait);
    if (!lock.Held())
    {
        std::fprintf(stderr, "ferrule: %s is being changed by another writer (%s.lock was held for %lld s)\n",
                     o.policy.c_str(), o.policy.c_str(), static_cast<long long>(kLockWait.count()));
        return kFailed;
    }
    struct stat keptBefore;
    const bool hadKept = stat((o.policy + ".unreadable").c_str(), &keptBefore) == 0;
    const PolicyRestorer original(o.policy);
    std::string stop;
    if (const int applied = ApplyChanges(o, module, target, changes, stop); applied != kOk)
    {
        // A refused set leaves the file as it was, byte for byte.
        if (!original.Restore())
            std::fprintf(stderr, "ferrule: warning: %s could not be put back as it was\n", o.policy.c_str());
        return applied;
    }
    struct stat keptAfter;
    if (!stop.empty() && stat((o.policy + ".unreadable").c_str(), &keptAfter) == 0 &&
        (!hadKept || keptAfter.st_ino != keptBefore.st_ino || keptAfter.st_mtim.tv_nsec != keptBefore.st_mtim.tv_nsec ||
         keptAfter.st_mtime != keptBefore.st_mtime))
        std::fprintf(stderr, "ferrule: warning: %s\n",
                     N(StringRepository::FormatString(IDS_POLICY_REPLACED_UNREADABLE,
                                                      {Argument(W(o.policy)), Argument(W(stop)),
                                                       Argument(W(o.policy + ".unreadable"))}))
                         .c_str());
    return ReadBack(o, module, target, changes);
}
} // namespace tool

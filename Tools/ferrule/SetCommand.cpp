#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Ferrule/PolicyFile.h"
#include "Platform/Cdo/Http.h"
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
    "Concurrent sets on one policy file wait for each other (a lock file NAME.lock beside it), so every\n"
    "change lands. After writing, the file is read back and every property compared; a value that did\n"
    "not land is reported (exit 1). An unknown handler or property, or a property that is never saved\n"
    "in the policy file, lists what exists, changes nothing and exits 2; a refused value changes\n"
    "nothing and exits 1.\n";

namespace
{
// How long a set waits for another set on the same policy file.
const std::chrono::seconds kLockWait(30);

// An exclusive lock on NAME.lock beside the policy file, held from before the policy is read until
// after it is written. The lock file is never removed (removing it would let two writers lock two files).
class PolicyLock
{
public:
    explicit PolicyLock(const std::string& policy)
    {
        mFd = open((policy + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (mFd < 0)
            return; // the write will fail too, and the read-back says why
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (flock(mFd, LOCK_EX | LOCK_NB) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~PolicyLock()
    {
        if (mFd >= 0)
            close(mFd);
    }
    PolicyLock(const PolicyLock&) = delete;
    PolicyLock& operator=(const PolicyLock&) = delete;

private:
    int mFd = -1;
};

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

std::string Hex(HRESULT hr)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
    return hex;
}

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

// The value text as the property's type; "" and the variant, or the reason it is refused.
std::string Convert(const Property& p, const std::string& text, VARIANT& out)
{
    VariantInit(&out);
    const std::string lower = Lower(text);
    const bool token = strcasecmp(p.name.c_str(), "Token") == 0;
    if (p.type == VT_BSTR && (strcasecmp(p.name.c_str(), "Password") == 0 || token))
    {
        // Never from the command line, where every user sees it in the process list.
        if (text != "-")
            return token ? "a token is never taken from the command line: give Token=- and type it, or send it on "
                           "standard input"
                         : "a password is never taken from the command line: give Password=- and type it, or send it "
                           "on standard input";
        std::string password;
        if (!ReadPassword(password, token ? "Token" : "Password"))
            return token ? "no token was given" : "no password was given";
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocString(W(password).c_str());
        return "";
    }
    if (p.type == VT_BSTR && strcasecmp(p.name.c_str(), "URL") == 0 && text == "-")
    {
        std::string url;
        if (!ReadPassword(url, "URL"))
            return "no URL was given";
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocString(W(url).c_str());
        return "";
    }
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
    const bool types = strcasecmp(p.name.c_str(), "TypeFilter") == 0;
    const bool priorities = strcasecmp(p.name.c_str(), "PriorityFilter") == 0;
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
        if (magnitude == 1 && strcasecmp(p.name.c_str(), "MaxSize") == 0)
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
    document.Load(W(policy), loaded);
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
        const std::u16string key = Upper(ToString(clsid->bstrVal));
        bool found = false;
        for (const HandlerInfo& h : handlers)
            found = found || h.key == key;
        if (!found)
            return N(policy::ElementPosition(position, policy::kHandlerElement, key));
    }
    return "";
}

struct Change
{
    const Property* property;
    std::string text;
    Variant value;
    Variant before; // the value it had, to put back when a later change is refused
    std::u16string expected; // what its getter answers once set
};

// The readable property through which a put-only one is persisted (Password: HexEncryptedPassword,
// Token: StoredToken).
const Property* PersistedForm(const std::vector<Property>& properties, const Property& p)
{
    const char* form = strcasecmp(p.name.c_str(), "Password") == 0 ? "HexEncryptedPassword"
                       : strcasecmp(p.name.c_str(), "Token") == 0  ? "StoredToken"
                                                                   : nullptr;
    if (form == nullptr)
        return nullptr;
    for (const Property& q : properties)
        if (q.name == form && q.readable)
            return &q;
    return nullptr;
}

// A value as messages may show it: a secret hidden, a URL by its scheme, host and port.
std::string ShownValue(const Property& p, const std::string& text)
{
    if (IsSecret(p.name))
        return "(hidden)";
    if (strcasecmp(p.name.c_str(), "URL") == 0)
    {
        const std::string shown = ShownUrl(text);
        return shown.empty() ? "(not an http or https URL)" : shown;
    }
    return text;
}

// Whether a set names the Webhook handler (by name, ProgID or class id).
// The class key a set names by class id or ProgID, or "" (a handler name).
std::u16string KeyOfWanted(const std::string& wanted)
{
    std::u16string key;
    CLSID clsid;
    if (SUCCEEDED(CLSIDFromString(W(wanted).c_str(), &clsid)))
        key = KeyText(clsid);
    for (const auto& [progId, id] : BuiltInProgIds())
        if (wanted == progId || wanted == progId + ".1")
            key = KeyText(id);
    return key;
}

bool NamesWebhook(const std::string& wanted)
{
    return strcasecmp(wanted.c_str(), "Webhook") == 0 || KeyOfWanted(wanted) == KeyText(CLSID_NotifyWebhook);
}

// The Webhook handler is not a built-in: the first set that names it adds its element to the policy
// file (made first when missing), under the set's lock. True when it was added.
bool AddWebhookElement(const Options& o, Module& module)
{
    struct stat st;
    if (stat(o.policy.c_str(), &st) != 0)
        OpenManager(o, module.translator.Get()).Reset(); // the manager writes the default policy on release
    XmlDocument document;
    bool loaded = false;
    document.Load(W(o.policy), loaded);
    std::vector<XmlNode> lists = document.GetElementsByTagName(policy::kHandlersElement);
    if (!loaded || lists.empty())
        return false;
    const std::u16string key = KeyText(CLSID_NotifyWebhook);
    for (XmlNode& element : document.GetElementsByTagName(policy::kHandlerElement))
    {
        Variant clsid;
        if (element.GetAttribute(policy::kClsidAttribute, clsid.Out()) == S_OK && Upper(ToString(clsid->bstrVal)) == key)
            return false;
    }
    XmlNode element = document.CreateElement(policy::kHandlerElement);
    Variant name, clsid;
    name->vt = VT_BSTR;
    name->bstrVal = SysAllocString(u"Webhook");
    clsid->vt = VT_BSTR;
    clsid->bstrVal = SysAllocString(key.c_str());
    element.SetAttribute(policy::kNameAttribute, name.Get());
    element.SetAttribute(policy::kClsidAttribute, clsid.Get());
    lists.front().AppendChild(element);
    return SUCCEEDED(XmlDocument::SaveFile(W(o.policy), document.SaveText(), 0));
}
std::u16string Readback(INotifyHandler* handler, DISPID id)
{
    return W(ReadProperty(handler, id));
}
} // namespace

int CommandSet(const Options& o, Module& module)
{
    if (o.rest.size() < 2)
        throw UsageError("set takes HANDLER and at least one NAME=VALUE");
    const std::string policyPath = o.policy;
    const PolicyLock lock(policyPath);
    struct stat keptBefore;
    const bool hadKept = stat((policyPath + ".unreadable").c_str(), &keptBefore) == 0;

    // A refused set leaves no trace: a policy file that did not exist before is removed again (the
    // manager writes a missing file on release), one that existed is not written (nothing changed).
    struct stat policyBefore;
    const bool existed = stat(policyPath.c_str(), &policyBefore) == 0;
    struct NewFileRemover
    {
        const std::string& path;
        bool armed;
        ~NewFileRemover()
        {
            if (armed)
                unlink(path.c_str());
        }
    } remover{policyPath, !existed};

    std::vector<Property> properties; // the changes point into it
    std::vector<Change> changes;
    std::string targetName;
    std::u16string targetKey;
    std::string stop;
    const bool webhookAdded = NamesWebhook(o.rest[0]) && AddWebhookElement(o, module);
    {
        ComPtr<INotify> notify = OpenManager(o, module.translator.Get());
        if (!notify)
            return kFailed;
        std::vector<HandlerInfo> handlers = LoadedHandlers(notify.Get(), o);
        stop = ReadingStop(policyPath, handlers);

        // The handler: by name, class id or ProgID.
        const std::string& wanted = o.rest[0];
        const std::u16string key = KeyOfWanted(wanted);
        auto find = [&]() -> HandlerInfo* {
            HandlerInfo* found = nullptr;
            for (HandlerInfo& h : handlers)
                if (h.name == wanted || h.key == key || h.key == Upper(W(wanted)))
                    found = &h;
            return found;
        };
        HandlerInfo* target = find();
        if (target != nullptr && webhookAdded)
        {
            // A new Webhook handler: error notifications of every priority.
            target->handler->put_TypeFilter(NOTIFY_TYPE_ERROR);
            target->handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(
                NOTIFY_PRIORITY_HIGH | NOTIFY_PRIORITY_MEDIUM | NOTIFY_PRIORITY_LOW));
        }
        if (target == nullptr)
        {
            std::string message = "ferrule: no handler " + wanted + "; the loaded handlers are:";
            for (const HandlerInfo& h : handlers)
                message += "\n  " + h.name + " " + N(h.key);
            std::fprintf(stderr, "%s\n", message.c_str());
            return kUsage;
        }
        targetName = target->name;
        targetKey = target->key;
        CLSID targetClass;
        CLSIDFromString(target->key.c_str(), &targetClass);

        // Every name and value is checked before anything is set.
        properties = Properties(target->handler.Get());
        std::vector<std::pair<std::u16string, std::u16string>> defaults;
        const bool canProbe = SavedValues(targetClass, nullptr, nullptr, defaults);
        for (size_t i = 1; i < o.rest.size(); ++i)
        {
            const size_t eq = o.rest[i].find('=');
            const std::string name = o.rest[i].substr(0, eq);
            const Property* found = nullptr;
            for (const Property& p : properties)
                if (strcasecmp(p.name.c_str(), name.c_str()) == 0 && p.writable)
                    found = &p;
            if (eq == std::string::npos || found == nullptr)
            {
                std::string message = "ferrule: " + target->name + " has no property " + o.rest[i] +
                                      " (expected NAME=VALUE); its properties are:";
                for (const Property& p : properties)
                    if (p.writable)
                        message += "\n  " + p.name;
                std::fprintf(stderr, "%s\n", message.c_str());
                return kUsage;
            }
            Change c{found, o.rest[i].substr(eq + 1), {}, {}, {}};
            // An address or server name with a line break would become a command of its own on the way
            // to the server.
            const bool address = strcasecmp(found->name.c_str(), "Address") == 0 ||
                                 strcasecmp(found->name.c_str(), "AddressFrom") == 0 ||
                                 strcasecmp(found->name.c_str(), "SMTPServer") == 0;
            if (address && std::any_of(c.text.begin(), c.text.end(), [](char ch) {
                    return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
                }))
            {
                std::fprintf(stderr, "ferrule: %s.%s was refused: an address or server name may hold no line break "
                                     "or other control character\n",
                             target->name.c_str(), found->name.c_str());
                return kUsage;
            }
            const std::string reason = Convert(*found, c.text, c.value.Get());
            if (!reason.empty())
            {
                std::fprintf(stderr, "ferrule: %s.%s = %s was refused: %s\n", target->name.c_str(),
                             found->name.c_str(), ShownValue(*found, c.text).c_str(), reason.c_str());
                return kFailed;
            }
            // A property the handler never saves cannot be set in the policy file.
            std::vector<std::pair<std::u16string, std::u16string>> saved;
            if (canProbe && SavedValues(targetClass, found, &c.value.Get(), saved) && saved == defaults)
            {
                ComPtr<INotifyHandler> fresh;
                std::u16string freshValue;
                if (SUCCEEDED(CoCreateInstance(targetClass, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler,
                                               fresh.VoidOut())) && found->readable)
                    freshValue = Readback(fresh.Get(), found->id);
                bool converted = false;
                const std::u16string asText = c.value.Text(&converted);
                const bool same = found->readable && converted && freshValue == asText;
                if (!same)
                {
                    std::fprintf(stderr, "ferrule: %s.%s is not saved in the policy file; set it through the module "
                                         "at run time instead\n",
                                 target->name.c_str(), found->name.c_str());
                    return kUsage;
                }
            }
            changes.push_back(std::move(c));
        }

        // Set in order; a refused value puts back what was set before it, so nothing is written.
        for (size_t i = 0; i < changes.size(); ++i)
        {
            Change& c = changes[i];
            if (c.property->readable)
            {
                DISPPARAMS none = {nullptr, nullptr, 0, 0};
                target->handler->Invoke(c.property->id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, c.before.Out(),
                                        nullptr, nullptr);
            }
            std::string reason;
            const HRESULT hr = Put(target->handler.Get(), c.property->id, c.value.Get(), reason);
            if (FAILED(hr))
            {
                for (size_t j = i; j-- > 0;)
                    if (changes[j].before->vt != VT_EMPTY)
                    {
                        std::string ignored;
                        Put(target->handler.Get(), changes[j].property->id, changes[j].before.Get(), ignored);
                    }
                std::fprintf(stderr, "ferrule: %s.%s = %s was refused (%s%s)\n", target->name.c_str(),
                             c.property->name.c_str(), ShownValue(*c.property, c.text).c_str(), Hex(hr).c_str(),
                             reason.empty() ? "" : (": " + reason).c_str());
                return kFailed;
            }
            if (c.property->readable)
                c.expected = Readback(target->handler.Get(), c.property->id);
            else if (const Property* form = PersistedForm(properties, *c.property))
                c.expected = Readback(target->handler.Get(), form->id);
        }
        remover.armed = false;
    } // the manager writes the policy file here

    struct stat keptAfter;
    if (!stop.empty() && stat((policyPath + ".unreadable").c_str(), &keptAfter) == 0 &&
        (!hadKept || keptAfter.st_ino != keptBefore.st_ino || keptAfter.st_mtim.tv_nsec != keptBefore.st_mtim.tv_nsec ||
         keptAfter.st_mtime != keptBefore.st_mtime))
        std::fprintf(stderr, "ferrule: warning: %s\n",
                     N(StringRepository::FormatString(IDS_POLICY_REPLACED_UNREADABLE,
                                                      {Argument(W(policyPath)), Argument(W(stop)),
                                                       Argument(W(policyPath + ".unreadable"))}))
                         .c_str());

    // Read back: the written file, loaded into fresh handlers, holds every value set.
    ComPtr<INotify> check = OpenManager(o, module.translator.Get());
    if (!check)
        return kFailed;
    Bstr key(targetKey);
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
        const Property* compared = c.property->readable ? c.property : PersistedForm(properties, *c.property);
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
                             targetName.c_str(), N(now).c_str());
            highNoted = true;
            continue;
        }
        if (now != c.expected)
        {
            const bool secret = IsSecret(c.property->name);
            std::fprintf(stderr, "ferrule: %s.%s = %s did not land in %s (it reads back as %s): %s\n",
                         targetName.c_str(), c.property->name.c_str(), ShownValue(*c.property, c.text).c_str(),
                         policyPath.c_str(), secret ? "another value" : ShownValue(*c.property, N(now)).c_str(),
                         WriteProblem(policyPath).c_str());
            result = kFailed;
        }
    }
    return result;
}
} // namespace tool

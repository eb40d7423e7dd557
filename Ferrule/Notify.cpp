#include "Ferrule/Notify.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifyLog.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Ferrule/XmlPropBag.h"

#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const char16_t* const kSource = u"Quellon.Notify.1";

// Names of the policy file's elements and attributes.
const char16_t* const kRootElement = u"NotifyPolicy";
const char16_t* const kHandlersElement = u"Handlers";
const char16_t* const kHandlerElement = u"Handler";
const char16_t* const kNameAttribute = u"name";
const char16_t* const kClsidAttribute = u"clsid";
const char16_t* const kPlainPassword = u"PlainPassword";

// A built-in handler class with its default filters.
struct BuiltIn
{
    const CLSID* clsid;
    ComCreatorFunction create;
    uint32_t typeFilter;
    uint32_t priorityFilter;
};

// In the order Initialize creates them.
const BuiltIn kBuiltIns[] = {
    {&CLSID_NotifyEmail, &ComCreator<CNotifyEmail>::CreateInstance, 0, 1},
    {&CLSID_NotifyConnPt, &ComCreator<CNotifyConnPt>::CreateInstance, 7, 7},
    {&CLSID_NotifySysEvent, &ComCreator<CNotifySysEvent>::CreateInstance, 7, 3},
    {&CLSID_NotifyLog, &ComCreator<CNotifyLog>::CreateInstance, 7, 7},
    {&CLSID_NotifyApp, &ComCreator<CNotifyApp>::CreateInstance, 1, 7},
    {&CLSID_NotifySNMPTrap, &ComCreator<CNotifySNMPTrap>::CreateInstance, 0, 1},
};

BSTR Alloc(const String& s)
{
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

String AsString(BSTR b)
{
    return String(b ? b : u"", SysStringLen(b));
}

// The description of the thread's error information, or "" (the information is consumed).
String TakeErrorDescription()
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr)
        return String();
    BSTR d = nullptr;
    String text;
    if (SUCCEEDED(info->GetDescription(&d)))
        text = AsString(d);
    SysFreeString(d);
    info->Release();
    return text;
}

template <class I>
I* Ask(IUnknown* object, HRESULT* hr = nullptr)
{
    I* p = nullptr;
    const HRESULT r = object->QueryInterface(IidOf<I>(), reinterpret_cast<void**>(&p));
    if (hr)
        *hr = r;
    return SUCCEEDED(r) ? p : nullptr;
}
} // namespace

String KeyOf(REFCLSID clsid)
{
    OLECHAR text[39];
    StringFromGUID2(clsid, text, 39);
    return String(text);
}

String UpperKey(const String& text)
{
    String upper = text;
    for (char16_t& c : upper)
        c = static_cast<char16_t>(std::towupper(c));
    return upper;
}

CNotify::CNotify()
    : mApplication(SysAllocString(u"")), mConfigFile(SysAllocString(u"")), mLogKey(Alloc(KeyOf(CLSID_NotifyLog)))
{
}

CNotify::~CNotify()
{
    ClearTable();
    SysFreeString(mApplication);
    SysFreeString(mConfigFile);
    SysFreeString(mLogKey);
    if (mTranslator)
        mTranslator->Release();
}

void CNotify::FinalRelease()
{
    SavePolicy();
}

const IID* const* CNotify::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotify, nullptr};
    return iids;
}

void CNotify::Release(Entry& e)
{
    SysFreeString(e.key);
    e.handler->Release();
    if (e.serialized)
        e.serialized->Release();
    if (e.trap)
        e.trap->Release();
}

void CNotify::ClearTable()
{
    for (Entry& e : mHandlers)
        Release(e);
    mHandlers.clear();
}

CNotify::Entry* CNotify::Find(BSTR key)
{
    for (Entry& e : mHandlers)
        if (VarBstrCmp(e.key, key, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ)
            return &e;
    return nullptr;
}

bool CNotify::Insert(BSTR key, INotifyHandler* handler)
{
    auto at = mHandlers.begin();
    for (; at != mHandlers.end(); ++at)
    {
        const HRESULT c = VarBstrCmp(key, at->key, LOCALE_USER_DEFAULT, 0);
        if (c == VARCMP_EQ)
            return false;
        if (c == VARCMP_LT)
            break;
    }
    mHandlers.insert(at, Entry{key, handler, Ask<INotifySerialized>(handler), Ask<INotifySNMPTrap>(handler)});
    return true;
}

std::vector<String> CNotify::Keys() const
{
    std::vector<String> keys;
    for (const Entry& e : mHandlers)
        keys.push_back(AsString(e.key));
    return keys;
}

HRESULT CNotify::Fail(HRESULT hr, const String& description)
{
    SetErrorDescription(description, IID_INotify, kSource);
    return hr;
}

STDMETHODIMP CNotify::Initialize(BSTR application, BSTR configFile)
{
    return Boundary("CNotify::Initialize", [&]() -> HRESULT {
        BSTR name = Alloc(AsString(application));
        if (name == nullptr)
            return E_OUTOFMEMORY;
        SysFreeString(mApplication);
        mApplication = name;
        if (SysStringLen(mApplication) == 0)
            return Fail(E_INVALIDARG, StringRepository::GetString(IDS_ERROR_APPLICATION_NAME));

        String file = AsString(configFile);
        if (file.empty())
            file = AsString(mApplication) + u".notify.xml";
        SysFreeString(mConfigFile);
        mConfigFile = Alloc(file);

        LoadPolicy(); // problems in the policy file are not reported to the caller

        for (const BuiltIn& b : kBuiltIns)
        {
            INotifyHandler* handler = nullptr;
            const HRESULT hr = b.create(nullptr, IID_INotifyHandler, reinterpret_cast<void**>(&handler));
            if (FAILED(hr))
            {
                if (*b.clsid == CLSID_NotifySNMPTrap)
                    return hr;
                continue;
            }
            BSTR key = Alloc(KeyOf(*b.clsid));
            const bool unloaded = std::any_of(mUnloaded.begin(), mUnloaded.end(),
                                              [&](const Unloaded& u) { return u.key == AsString(key); });
            if (Find(key) != nullptr || unloaded)
            {
                SysFreeString(key);
                handler->Release();
                continue;
            }
            handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(b.priorityFilter));
            handler->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(b.typeFilter));
            Insert(key, handler);
        }
        // What the table would write now: on release the file is written only when this changed.
        mSnapshotValid = SUCCEEDED(PolicyText(false, mSnapshot));
        // Told once the log file is configured.
        for (const String& warning : mLoadWarnings)
            Warn(warning);
        for (const Unloaded& u : mUnloaded)
            Warn(StringRepository::FormatString(IDS_HANDLER_NOT_LOADED,
                                                {Argument(u.element), Argument(AsString(mConfigFile)), Argument(u.reason)}));
        return S_OK;
    });
}

STDMETHODIMP CNotify::get_Application(BSTR* application)
{
    return CopyOut(mApplication, application);
}

STDMETHODIMP CNotify::GetHandler(BSTR handlerId, INotifyHandler** handler)
{
    return get_Handler(handlerId, handler);
}

STDMETHODIMP CNotify::get_Handler(BSTR handlerId, INotifyHandler** handler)
{
    if (handler == nullptr)
        return E_POINTER;
    *handler = nullptr;
    return Boundary("CNotify::get_Handler", [&]() -> HRESULT {
        BSTR key = Alloc(UpperKey(AsString(handlerId)));
        Entry* e = Find(key);
        SysFreeString(key);
        if (e == nullptr)
            return S_OK;
        // The handler's IUnknown, which for every handler is its INotifyHandler-derived interface.
        return e->handler->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(handler));
    });
}

STDMETHODIMP CNotify::put_Handler(BSTR handlerId, INotifyHandler* handler)
{
    return Boundary("CNotify::put_Handler", [&]() -> HRESULT {
        BSTR key = Alloc(UpperKey(AsString(handlerId)));
        Entry* e = Find(key);
        SysFreeString(key);
        if (e == nullptr)
            return S_OK;
        INotifyHandler* replacement = handler ? Ask<INotifyHandler>(handler) : nullptr;
        if (replacement == nullptr)
            return E_INVALIDARG;
        BSTR key2 = e->key;
        e->key = nullptr;
        Release(*e);
        *e = Entry{key2, replacement, Ask<INotifySerialized>(replacement), Ask<INotifySNMPTrap>(replacement)};
        SavePolicy();
        return S_OK;
    });
}

BSTR CNotify::Translate(BSTR text, bool forTrap)
{
    if (mTranslator == nullptr &&
        FAILED(CoCreateInstance(CLSID_MessageTranslator, nullptr, CLSCTX_INPROC_SERVER, IID_IMessageTranslator,
                                reinterpret_cast<void**>(&mTranslator))))
    {
        mTranslator = nullptr; // tried again next time
        return Alloc(AsString(text));
    }
    BSTR out = nullptr;
    const HRESULT hr = forTrap ? mTranslator->TranslateForTrap(text, &out, 6) : mTranslator->Translate(text, &out, 0);
    if (SUCCEEDED(hr) && out != nullptr)
        return out;
    SysFreeString(out);
    return Alloc(AsString(text));
}

STDMETHODIMP CNotify::Notify(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR description,
                             BSTR source, DATE timeStamp)
{
    return Boundary("CNotify::Notify", [&]() -> HRESULT {
        String text = AsString(description);
        if (SysStringLen(mApplication) == 0)
            return Fail(E_UNEXPECTED, RESULT_AT("CNotify::Notify", NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED).Serialize());

        String failures;
        HRESULT lastFailure = S_OK;
        HRESULT lastResult = S_OK;

        if (static_cast<int32_t>(code) < 0)
        {
            Result r;
            ParseSerializedResult(text, r);
            if (!r.Contains(code))
            {
                r += RESULT_AT("CNotify::Notify", code);
                text = r.Serialize();
            }
        }
        BSTR textB = Alloc(text);
        BSTR displayB = Translate(textB, false);
        // The table does not change during dispatch: handlers have no way back to the manager.
        for (Entry& e : mHandlers)
        {
            HRESULT hr;
            if (e.serialized)
                hr = e.serialized->NotifySerialized(mApplication, type, priority, code, textB, source, timeStamp);
            else if (e.trap)
            {
                BSTR trapText = Translate(textB, true);
                hr = e.trap->Notify(mApplication, type, priority, code, trapText, source, timeStamp);
                SysFreeString(trapText);
            }
            else
                hr = e.handler->Notify(mApplication, type, priority, code, displayB, source, timeStamp);
            lastResult = hr;
            if (SUCCEEDED(hr))
                continue;

            lastFailure = hr;
            const String errText = TakeErrorDescription();
            if (Entry* log = Find(mLogKey))
            {
                BSTR errB = Alloc(errText);
                log->handler->Notify(mApplication, NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_HIGH, static_cast<ULONG>(hr),
                                     errB, source, timeStamp);
                SysFreeString(errB);
                SetErrorInfo(0, nullptr); // whatever the log-file handler reported is not this failure
            }
            Result newest;
            if (ParseSerializedResult(errText, newest))
            {
                Result earlier;
                if (failures.empty())
                    failures = errText;
                else if (ParseSerializedResult(failures, earlier))
                {
                    newest.GetArguments().push_back(Argument(earlier));
                    failures = newest.Serialize();
                }
                else
                    failures += errText + u"\r\n";
            }
            else
                failures += errText + u"\r\n";
        }
        SysFreeString(textB);
        SysFreeString(displayB);

        // A handler of the policy that could not be loaded delivered nothing: never a silent success.
        for (const Unloaded& u : mUnloaded)
        {
            Result r;
            r.Init(__FILE__, __LINE__, "CNotify::Notify", NOTIFY_ERROR_HANDLER_NOT_LOADED, Argument(u.element),
                   Argument(AsString(mConfigFile)), Argument(u.reason));
            Result earlier;
            if (!failures.empty() && ParseSerializedResult(failures, earlier))
                r.GetArguments().push_back(Argument(earlier));
            else if (!failures.empty())
                r.GetArguments().push_back(Argument(failures));
            failures = r.Serialize();
            lastFailure = FAILED(u.hr) ? u.hr : E_FAIL;
        }

        if (FAILED(lastFailure))
            return Fail(lastFailure, failures);
        return lastResult;
    });
}

HRESULT CNotify::LoadPolicy()
{
    ClearTable();
    mPolicyExisted = false;
    mPolicyWhole = true;
    mPolicyStop.clear();
    mUnloaded.clear();
    mReadDocument.reset();
    mLoadWarnings.clear();
    auto stopped = [this](const String& where) {
        mPolicyWhole = false;
        if (mPolicyStop.empty())
            mPolicyStop = where;
    };
    auto document = std::make_shared<XmlDocument>();
    bool loaded = false;
    HRESULT hr = document->Load(AsString(mConfigFile), loaded);
    if (FAILED(hr))
        return hr;
    mPolicyExisted = document->FileExists();
    if (!loaded)
    {
        if (mPolicyExisted)
            stopped(Utf8ToUtf16(document->Problem()));
        hr = document->Load(u"config.notify.xml", loaded);
        if (FAILED(hr))
            return hr;
        if (!loaded)
            return S_FALSE;
    }
    const XmlNode root = document->Root().FirstChild();
    if (!root.IsElement())
    {
        stopped(u"the document's first node, which is not an element");
        return S_OK;
    }
    XmlNode handlers;
    if (root.SelectSingleNode(kHandlersElement, handlers) != S_OK)
    {
        stopped(u"the root element, which has no Handlers element");
        return S_FALSE;
    }

    CXMLPropBag bags;
    hr = S_OK;
    int position = 0;
    for (const XmlNode& child : handlers.ChildNodes())
    {
        ++position;
        const String where = u"child " + Utf8ToUtf16(std::to_string(position)) + u" of Handlers";
        if (!child.IsElement())
        {
            stopped(where + u" (not an element)");
            return E_UNEXPECTED;
        }
        VARIANT clsid;
        child.GetAttribute(kClsidAttribute, &clsid);
        const String key = clsid.vt == VT_BSTR ? UpperKey(AsString(clsid.bstrVal)) : String();
        VariantClear(&clsid);
        const String element = where + u" (" + child.Name() + (key.empty() ? u"" : u" " + key) + u")";
        // An element that cannot be loaded stays aside as it was read; the ones after it still load.
        auto unloaded = [&](HRESULT failure) {
            stopped(element);
            String reason = TakeErrorDescription();
            if (reason.empty())
            {
                char hex[16];
                std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(failure));
                reason = Utf8ToUtf16(hex);
                WCHAR text[512] = {0};
                if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(failure), 0, text, 512, nullptr) != 0)
                    reason += u" " + String(text);
            }
            while (!reason.empty() && (reason.back() == u'\n' || reason.back() == u'\r'))
                reason.pop_back();
            mUnloaded.push_back(Unloaded{key, element, failure, reason, child});
            mReadDocument = document;
        };
        SetErrorInfo(0, nullptr);
        IPersistPropertyBag* object = nullptr;
        hr = bags.LoadObject(document, child, nullptr, &object);
        if (FAILED(hr))
        {
            unloaded(hr);
            continue;
        }
        if (object == nullptr)
            continue; // no class named: nothing to load for this element
        const String loadedWith = TakeErrorDescription();

        INotifyHandler* handler = Ask<INotifyHandler>(object, &hr);
        object->Release();
        if (handler == nullptr)
        {
            unloaded(hr);
            continue;
        }
        eZD_NOTIFY_PRIORITY filter;
        if (SUCCEEDED(handler->get_PriorityFilter(&filter)) && !(filter & NOTIFY_PRIORITY_HIGH))
            handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(filter | NOTIFY_PRIORITY_HIGH));

        HRESULT maintainHr;
        if (INotifyHandlerMaintain* maintain = Ask<INotifyHandlerMaintain>(handler, &maintainHr))
        {
            hr = maintain->Initialize();
            maintain->Release();
            if (FAILED(hr))
            {
                handler->Release();
                unloaded(hr);
                continue;
            }
        }
        else if (maintainHr != E_NOINTERFACE)
        {
            handler->Release();
            unloaded(maintainHr);
            continue;
        }
        BSTR keyB = Alloc(key);
        if (!Insert(keyB, handler))
        {
            SysFreeString(keyB);
            handler->Release(); // the first handler under a key stays
        }
        else if (!loadedWith.empty())
            mLoadWarnings.push_back(loadedWith);
    }
    return mUnloaded.empty() ? S_OK : mUnloaded.back().hr;
}

HRESULT CNotify::PolicyText(bool terminate, std::string& text, bool* holdsPassword)
{
    auto document = std::make_shared<XmlDocument>();
    XmlNode top = document->Root();
    XmlNode root = document->CreateElement(kRootElement);
    HRESULT hr = top.AppendChild(root);
    XmlNode handlers = document->CreateElement(kHandlersElement);
    if (SUCCEEDED(hr))
        hr = root.AppendChild(handlers);
    CXMLPropBag bags;
    // Elements that could not be loaded go back as they were read, in key order among the others.
    size_t nextUnloaded = 0;
    std::vector<const Unloaded*> unloaded;
    for (const Unloaded& u : mUnloaded)
        unloaded.push_back(&u);
    std::stable_sort(unloaded.begin(), unloaded.end(), [](const Unloaded* a, const Unloaded* b) { return a->key < b->key; });
    auto copyUnloadedBefore = [&](const String* key) {
        while (SUCCEEDED(hr) && nextUnloaded < unloaded.size() && (key == nullptr || unloaded[nextUnloaded]->key < *key))
            hr = handlers.AppendCopy(unloaded[nextUnloaded++]->node);
    };
    for (Entry& e : mHandlers)
    {
        const String entryKey = AsString(e.key);
        copyUnloadedBefore(&entryKey);
        if (FAILED(hr))
            break;
        XmlNode element = document->CreateElement(kHandlerElement);
        hr = handlers.AppendChild(element);
        if (FAILED(hr))
            break;
        BSTR name = nullptr;
        hr = e.handler->get_Name(&name);
        if (SUCCEEDED(hr))
        {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_BSTR;
            v.bstrVal = name;
            hr = element.SetAttribute(kNameAttribute, v);
            VariantClear(&v);
        }
        if (IPersistPropertyBag* persist = Ask<IPersistPropertyBag>(e.handler))
        {
            if (SUCCEEDED(hr))
                hr = bags.SaveObject(document, element, persist, FALSE, TRUE);
            persist->Release();
        }
        if (!terminate)
            continue;
        if (INotifyHandlerMaintain* maintain = Ask<INotifyHandlerMaintain>(e.handler))
        {
            // A failed save is not hidden by a Terminate that succeeds: the file would lose the
            // handler's settings.
            const HRESULT terminated = maintain->Terminate();
            if (SUCCEEDED(hr))
                hr = terminated;
            maintain->Release();
        }
    }
    copyUnloadedBefore(nullptr);
    if (FAILED(hr))
        return hr;
    for (XmlNode& plain : document->GetElementsByTagName(kPlainPassword))
        plain.ParentNode().RemoveChild(plain);
    if (holdsPassword)
    {
        // A password form makes the file private.
        *holdsPassword = false;
        for (const char16_t* name : {u"EncryptedPW", u"EncryptedPW2", u"EncryptedPW3", u"AESPassword", u"AES256Password",
                                     u"AESAdvancedPwd256", u"AESAdvancedPwd256IC", u"AESAdvancedPwd256ICFIPS"})
            for (const XmlNode& form : document->GetElementsByTagName(name))
                *holdsPassword = *holdsPassword || !form.Text().empty();
    }
    text = document->SaveText();
    return S_OK;
}

void CNotify::Warn(const String& text)
{
    Entry* log = Find(mLogKey);
    if (log == nullptr)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE when = 0;
    SystemTimeToVariantTime(&now, &when);
    BSTR textB = Alloc(text), sourceB = SysAllocString(kSource);
    log->handler->Notify(mApplication, NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_HIGH, 0, textB, sourceB, when);
    SysFreeString(textB);
    SysFreeString(sourceB);
    SetErrorInfo(0, nullptr);
}

HRESULT CNotify::SavePolicy()
{
    std::string text;
    bool holdsPassword = false;
    HRESULT hr = PolicyText(true, text, &holdsPassword);
    const String file = AsString(mConfigFile);
    auto warnFailure = [&](HRESULT failure) {
        WCHAR reason[512] = {0};
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(failure), 0, reason, 512, nullptr) == 0)
        {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(failure));
            std::copy_n(Utf8ToUtf16(hex).c_str(), 11, reason);
        }
        String why = reason;
        while (!why.empty() && (why.back() == u'\n' || why.back() == u'\r'))
            why.pop_back();
        Warn(StringRepository::FormatString(IDS_POLICY_WRITE_FAILED, {Argument(file), Argument(why)}));
    };
    if (FAILED(hr))
    {
        if (!file.empty())
            warnFailure(hr);
        return hr;
    }
    if (file.empty())
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND); // never initialized: nothing to write to

    // Written when the file does not exist, or when the settings changed since they were read.
    bool loaded = false;
    XmlDocument current;
    current.Load(file, loaded);
    const bool exists = current.FileExists();
    if (exists && mSnapshotValid && text == mSnapshot)
    {
        if (!mPolicyWhole)
            Warn(StringRepository::FormatString(IDS_POLICY_NOT_READ_WHOLE, {Argument(file), Argument(mPolicyStop)}));
        return S_FALSE;
    }
    if (exists && !mPolicyWhole)
    {
        // What could not be read is kept once before it is replaced.
        const String copy = file + u".unreadable";
        std::string bytes;
        const int fd = open(Utf16ToUtf8(file).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0)
        {
            char buffer[65536];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0)
                bytes.append(buffer, static_cast<size_t>(n));
            close(fd);
        }
        hr = fd >= 0 ? XmlDocument::SaveFile(copy, bytes, 0600) : HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        if (FAILED(hr))
        {
            warnFailure(hr);
            return hr;
        }
        Warn(StringRepository::FormatString(IDS_POLICY_REPLACED_UNREADABLE,
                                            {Argument(file), Argument(mPolicyStop), Argument(copy)}));
    }
    hr = XmlDocument::SaveFile(file, text, 0, holdsPassword);
    if (FAILED(hr))
    {
        warnFailure(hr);
        return hr;
    }
    mSnapshot = text;
    mSnapshotValid = true;
    mPolicyWhole = true;
    mPolicyStop.clear();
    return S_OK;
}

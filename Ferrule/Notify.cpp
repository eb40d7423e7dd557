#include "Ferrule/Notify.h"
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/PolicyFile.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <filesystem>
#include <cwctype>

namespace
{
const char16_t* const kSource = u"Quellon.Notify.1";
} // namespace


CNotify::CNotify() : mLogKey(GuidText(CLSID_NotifyLog))
{
}

CNotify::~CNotify() = default;

FERRULE_CLASS_FACTORY(Notify, CNotify)

void CNotify::FinalRelease()
{
    // A release reports to nobody: a failed write is warned in the log file by SavePolicy itself.
    static_cast<void>(SavePolicy());
}

const IID* const* CNotify::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotify, nullptr};
    return iids;
}

CNotify::Entry* CNotify::Find(BSTR key)
{
    for (Entry& e : mHandlers)
        if (VarBstrCmp(e.key.Get(), key, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ)
            return &e;
    return nullptr;
}

bool CNotify::Insert(const String& key, ComPtr<INotifyHandler> handler)
{
    Bstr keyB(key);
    auto at = mHandlers.begin();
    for (; at != mHandlers.end(); ++at)
    {
        const HRESULT c = VarBstrCmp(keyB.Get(), at->key.Get(), LOCALE_USER_DEFAULT, 0);
        if (c == VARCMP_EQ)
            return false;
        if (c == VARCMP_LT)
            break;
    }
    ComPtr<INotifySerialized> serialized = handler.As<INotifySerialized>();
    ComPtr<INotifySNMPTrap> trap = handler.As<INotifySNMPTrap>();
    mHandlers.insert(at, Entry{std::move(keyB), std::move(handler), std::move(serialized), std::move(trap)});
    return true;
}

std::vector<String> CNotify::Keys() const
{
    std::vector<String> keys;
    for (const Entry& e : mHandlers)
        keys.push_back(e.key.Str());
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
        mApplication = Bstr(ToString(application));
        if (mApplication.Empty())
            return Fail(E_INVALIDARG, StringRepository::GetString(IDS_ERROR_APPLICATION_NAME));

        String file = ToString(configFile);
        if (file.empty())
            file = mApplication.Str() + policy::kExtension;
        mConfigFile = Bstr(file);
        mReadOnly = Config::Get(policy::kReadOnlyItem) == "1";
        mOutboxOff = Config::Get(policy::kNoOutboxItem) == "1";

        // Problems in the policy file are not reported to the caller (they are warned in the log file).
        static_cast<void>(LoadPolicy());

        for (const ClassRow& b : kClasses)
        {
            if (b.presence != ClassRow::Presence::BuiltIn)
                continue;
            ComPtr<INotifyHandler> handler;
            const HRESULT hr = b.create(nullptr, IID_INotifyHandler, handler.VoidOut());
            if (FAILED(hr))
            {
                if (*b.clsid == CLSID_NotifySNMPTrap)
                    return hr;
                continue;
            }
            const String key = GuidText(*b.clsid);
            const bool unloaded = std::any_of(mUnloaded.begin(), mUnloaded.end(),
                                              [&](const Unloaded& u) { return u.key == key; });
            if (unloaded || Find(Bstr(key).Get()) != nullptr)
                continue;
            handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(b.priorityFilter));
            handler->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(b.typeFilter));
            Insert(key, std::move(handler));
        }
        for (Entry& e : mHandlers)
            TellOutbox(e.handler.Get());
        // What the table would write now: on release the file is written only when this changed.
        mSnapshotValid = SUCCEEDED(PolicyText(false, mSnapshot));
        // Told once the log file is configured.
        for (const String& warning : mLoadWarnings)
            Warn(warning);
        for (const Unloaded& u : mUnloaded)
            Warn(StringRepository::FormatString(IDS_HANDLER_NOT_LOADED,
                                                {Argument(u.element), Argument(mConfigFile.Str()), Argument(u.reason)}));
        return S_OK;
    });
}

STDMETHODIMP CNotify::get_Application(BSTR* application)
{
    return CopyOut(mApplication.Get(), application);
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
        Entry* e = Find(Bstr(UpperKey(ToString(handlerId))).Get());
        if (e == nullptr)
            return S_OK;
        // The handler's IUnknown, which for every handler is its INotifyHandler-derived interface.
        return e->handler->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(handler));
    });
}

STDMETHODIMP CNotify::put_Handler(BSTR handlerId, INotifyHandler* handler)
{
    return Boundary("CNotify::put_Handler", [&]() -> HRESULT {
        Entry* e = Find(Bstr(UpperKey(ToString(handlerId))).Get());
        if (e == nullptr)
            return S_OK;
        ComPtr<INotifyHandler> replacement = ComPtr<INotifyHandler>(handler).As<INotifyHandler>();
        if (!replacement)
            return E_INVALIDARG;
        TellOutbox(replacement.Get());
        e->serialized = replacement.As<INotifySerialized>();
        e->trap = replacement.As<INotifySNMPTrap>();
        e->handler = std::move(replacement);
        // The put succeeds whether or not the file could be written; a failed write is warned in the log.
        static_cast<void>(SavePolicy());
        return S_OK;
    });
}

Bstr CNotify::Translate(BSTR text, bool forTrap)
{
    if (!mTranslator && FAILED(CoCreateInstance(CLSID_MessageTranslator, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IMessageTranslator, mTranslator.VoidOut())))
    {
        mTranslator.Reset(); // tried again next time
        return Bstr();
    }
    Bstr out;
    const HRESULT hr = forTrap ? mTranslator->TranslateForTrap(text, out.Out(), 6) : mTranslator->Translate(text, out.Out(), 0);
    if (SUCCEEDED(hr) && out.Get() != nullptr)
        return out;
    return Bstr();
}

STDMETHODIMP CNotify::Notify(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR description,
                             BSTR source, DATE timeStamp)
{
    return Boundary("CNotify::Notify", [&]() -> HRESULT {
        String text = ToString(description);
        if (mApplication.Empty())
            return Fail(E_UNEXPECTED, RESULT_AT("CNotify::Notify", NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED).Serialize());

        FailureList failures;
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
        const Bstr textB(text);
        // A text the translator does not take (no serialized result) is shown as it is.
        const Bstr translated = Translate(textB.Get(), false);
        BSTR display = translated.Get() ? translated.Get() : textB.Get();
        // The table does not change during dispatch: handlers have no way back to the manager.
        for (Entry& e : mHandlers)
        {
            HRESULT hr;
            if (e.serialized)
                hr = e.serialized->NotifySerialized(mApplication.Get(), type, priority, code, textB.Get(), source,
                                                    timeStamp);
            else if (e.trap)
            {
                // A trap handler that is not enabled sends nothing and reads no text: it is spared the
                // translation for traps.
                VARIANT_BOOL enabled = VARIANT_TRUE;
                e.trap->get_SNMPTrapEnabled(&enabled);
                const Bstr forTrap = enabled == VARIANT_FALSE ? Bstr() : Translate(textB.Get(), true);
                hr = e.trap->Notify(mApplication.Get(), type, priority, code, forTrap.Get() ? forTrap.Get() : textB.Get(),
                                    source, timeStamp);
            }
            else
                hr = e.handler->Notify(mApplication.Get(), type, priority, code, display, source, timeStamp);
            lastResult = hr;
            if (SUCCEEDED(hr))
                continue;

            lastFailure = hr;
            const TakenFailure failure = TakeHandlerFailure();
            if (Entry* log = Find(mLogKey.Get()))
            {
                log->handler->Notify(mApplication.Get(), NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_HIGH,
                                     static_cast<ULONG>(hr), Bstr(failure.text).Get(), source, timeStamp);
                SetErrorInfo(0, nullptr); // whatever the log-file handler reported is not this failure
            }
            failures.Add(failure);
        }

        // A handler of the policy that could not be loaded delivered nothing: never a silent success.
        for (const Unloaded& u : mUnloaded)
        {
            Result r;
            r.Init(__FILE__, __LINE__, "CNotify::Notify", NOTIFY_ERROR_HANDLER_NOT_LOADED, Argument(u.element),
                   Argument(mConfigFile.Str()), Argument(u.reason));
            failures.Add(r);
            lastFailure = FAILED(u.hr) ? u.hr : E_FAIL;
        }

        if (FAILED(lastFailure))
            return Fail(lastFailure, failures.Text());
        return lastResult;
    });
}

void CNotify::TellOutbox(INotifyHandler* handler)
{
    const ComPtr<IOutboxHandler> keeper = ComPtr<INotifyHandler>(handler).As<IOutboxHandler>();
    if (!keeper)
        return;
    std::error_code failed;
    std::string name = Utf16ToUtf8(mConfigFile.Str());
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::filesystem::path file = std::filesystem::absolute(name, failed);
    keeper->SetOutbox(Bstr(Utf8ToUtf16(file.lexically_normal().string())).Get(), mApplication.Get(), mOutboxOff ? 0 : mRetryMinutes);
}

void CNotify::Warn(const String& text)
{
    Entry* log = Find(mLogKey.Get());
    if (log == nullptr || mReadOnly)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE when = 0;
    SystemTimeToVariantTime(&now, &when);
    log->handler->Notify(mApplication.Get(), NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_HIGH, 0, Bstr(text).Get(),
                         Bstr(kSource).Get(), when);
    SetErrorInfo(0, nullptr);
}

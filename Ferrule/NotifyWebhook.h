// The webhook handler: posts each accepted notification to an endpoint over HTTPS (or HTTP without a
// token) as a JSON document, a chat message ({"text": ...}) or plain text with a title, priority and
// tags in headers. Settings: URL, Format, Token (put-only; kept in the policy in its stored form),
// TimeoutSeconds and the two filters. Not a built-in default: a policy has it when it names its class.
#pragma once

#include "Ferrule/HandlerBase.h"
#include "Ferrule/Outbox.h"
#include "Platform/Cdo/Http.h"

class CNotifyWebhook : public INotifyHandlerImpl<INotifyWebhook>,
                       public IPersistPropertyBagImpl<CNotifyWebhook>,
                       public IDispatchImpl<INotifySerialized>,
                       public ISupportErrorInfoImpl<CNotifyWebhook>,
                       public IOutboxHandler,
                       public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifyWebhook)
    COM_INTERFACE_ENTRY(INotifyWebhook)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifyWebhook)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyWebhook)
    COM_INTERFACE_ENTRY(INotifySerialized)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    COM_INTERFACE_ENTRY(IOutboxHandler)
    END_COM_MAP()

    CNotifyWebhook();

    static const CLSID& ClassId() { return CLSID_NotifyWebhook; }
    static const IID* const* ErrorInfoInterfaces();

    HRESULT Deliver(const Notification& n) override;
    const char* NotifyFunction() const override { return "CNotifyWebhook::Notify"; }

    // The manager hands a coded notification's serialized result here: the JSON document carries it
    // beside its display text.
    STDMETHOD(NotifySerialized)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR serializedResult, BSTR source, DATE timeStamp) override;
    STDMETHOD(get_URL)(BSTR* value) override;
    STDMETHOD(put_URL)(BSTR value) override;
    STDMETHOD(get_Format)(BSTR* value) override;
    STDMETHOD(put_Format)(BSTR value) override;
    STDMETHOD(put_Token)(BSTR value) override;
    STDMETHOD(get_StoredToken)(BSTR* value) override;
    STDMETHOD(put_StoredToken)(BSTR value) override;
    STDMETHOD(get_TimeoutSeconds)(ULONG* value) override;
    STDMETHOD(put_TimeoutSeconds)(ULONG value) override;
    // IOutboxHandler: a post that failed for a cause that may pass is kept in the policy's outbox;
    // Redeliver posts a kept one again, with its original body, to the current URL.
    STDMETHOD(SetOutbox)(BSTR policy, BSTR application, ULONG retryMinutes) override;
    STDMETHOD(Redeliver)(BSTR entry, OutboxOutcome* outcome, BSTR* failure) override;

private:
    // Posts, trying a 429 or 5xx once more within the timeout.
    HttpOutcome Post(HttpPost& post) const;
    // What a post that did not succeed says: its reason, and the HRESULT it fails with.
    std::string Why(const HttpOutcome& outcome, HRESULT& hr) const;
    static bool MayPass(const HttpOutcome& outcome);
    // The post as it goes to the current URL: the token's header added.
    void Address(HttpPost& post, const std::string& format) const;
    outbox::Keeper mKeeper;
    String mUrl;
    String mFormat = u"json";
    String mToken; // clear text, in memory only
    ULONG mTimeoutSeconds = 10;
};

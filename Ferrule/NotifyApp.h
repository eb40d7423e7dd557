// The tray-application handler: offers each accepted notification to Clients tray applications on the
// pipe "\\.\PIPE\TRAYICON_NOTIFIER" as one 2048-byte block each: one instance after the other, each
// until a client has read its block (about 5 s at most). Clients is not persisted.
#pragma once

#include "Ferrule/HandlerBase.h"

class CNotifyApp : public INotifyHandlerImpl<INotifyApp>,
                   public IPersistPropertyBagImpl<CNotifyApp>,
                   public IDispatchImpl<INotifySerialized>,
                   public ISupportErrorInfoImpl<CNotifyApp>,
                   public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifyApp)
    COM_INTERFACE_ENTRY(INotifyApp)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifyApp)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyApp)
    COM_INTERFACE_ENTRY(INotifySerialized)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifyApp();

    static const CLSID& ClassId() { return CLSID_NotifyApp; }
    static const IID* const* ErrorInfoInterfaces();

    STDMETHOD(get_Clients)(UINT* value) override;
    STDMETHOD(put_Clients)(UINT value) override;
    HRESULT Deliver(const Notification& n) override;
    const char* NotifyFunction() const override { return "CNotifyApp::Notify"; }
    // Notify with the serialized result in the place of the description.
    STDMETHOD(NotifySerialized)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR serializedResult, BSTR source, DATE timeStamp) override;

private:
    UINT mClients = 0;
};

// The event-log handler: one entry in the system's application event log per accepted notification
// (event 100, category from the priority); settings: the two filters only.
#pragma once

#include "Ferrule/HandlerBase.h"

class CNotifySysEvent : public INotifyHandlerImpl<INotifySysEvent>,
                        public IPersistPropertyBagImpl<CNotifySysEvent>,
                        public ISupportErrorInfoImpl<CNotifySysEvent>,
                        public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifySysEvent)
    COM_INTERFACE_ENTRY(INotifySysEvent)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifySysEvent)
    COM_INTERFACE_ENTRY2(IDispatch, INotifySysEvent)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifySysEvent();

    static const CLSID& ClassId() { return CLSID_NotifySysEvent; }
    static const IID* const* ErrorInfoInterfaces();

    HRESULT Deliver(const Notification& n) override;
    const char* NotifyFunction() const override { return "CNotifySysEvent::Notify"; }
};

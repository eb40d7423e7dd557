// The connection-point handler: settings. Both filters start with every bit set.
#pragma once

#include "Ferrule/HandlerBase.h"

class CNotifyConnPt : public INotifyHandlerImpl<INotifyConnPt>,
                      public IDispatchImpl<INotifySerialized>,
                      public IPersistPropertyBagImpl<CNotifyConnPt>,
                      public ISupportErrorInfoImpl<CNotifyConnPt>,
                      public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifyConnPt)
    COM_INTERFACE_ENTRY(INotifyConnPt)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifyConnPt)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyConnPt)
    COM_INTERFACE_ENTRY(INotifySerialized)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifyConnPt();

    static const CLSID& ClassId() { return CLSID_NotifyConnPt; }
    static PersistTable PersistRows();
    static const IID* const* ErrorInfoInterfaces();

    // The filter test; sinks are reached only through this operation.
    STDMETHOD(NotifySerialized)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR serializedResult, BSTR source, DATE timeStamp) override;
};

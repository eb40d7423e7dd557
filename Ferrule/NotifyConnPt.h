// The connection-point handler: fires every accepted notification as the event NotifyEvent of
// _INotifyConnPtEvents to every connected sink. Both filters start with every bit set.
#pragma once

#include "Ferrule/HandlerBase.h"
#include "Platform/Com/ConnectionPoint.h"

// Fires _INotifyConnPtEvents::NotifyEvent to the sinks of a connection point.
template <class T>
class CProxy_INotifyConnPtEvents
{
public:
    // Each sink in slot order through IDispatch::Invoke (dispatch id 1, the seven arguments last
    // first); the result is the last sink's, or 0 when none is connected.
    HRESULT Fire_NotifyEvent(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                             BSTR description, BSTR source, DATE timeStamp)
    {
        ConnectionPoint& point = static_cast<T*>(this)->EventsConnectionPoint();
        HRESULT result = S_OK;
        const size_t slots = point.SlotCount();
        for (size_t i = 0; i < slots; ++i)
        {
            IUnknown* slot = point.Slot(i);
            if (slot == nullptr)
                continue;
            // The sink's _INotifyConnPtEvents, a dispatch interface; held while it is called.
            const ComPtr<IDispatch> sink(static_cast<IDispatch*>(slot));
            VARIANT args[7];
            for (VARIANT& a : args)
                VariantInit(&a);
            args[0].vt = VT_DATE;
            args[0].date = timeStamp;
            args[1].vt = VT_BSTR;
            args[1].bstrVal = source;
            args[2].vt = VT_BSTR;
            args[2].bstrVal = description;
            args[3].vt = VT_UI4;
            args[3].ulVal = code;
            args[4].vt = VT_I4;
            args[4].lVal = priority;
            args[5].vt = VT_I4;
            args[5].lVal = type;
            args[6].vt = VT_BSTR;
            args[6].bstrVal = application;
            DISPPARAMS params = {args, nullptr, 7, 0};
            Variant ignored;
            result = sink->Invoke(DISPID_NotifyEvent, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  ignored.Out(), nullptr, nullptr);
        }
        return result;
    }
};

class CNotifyConnPt : public INotifyHandlerImpl<INotifyConnPt>,
                      public IDispatchImpl<INotifySerialized>,
                      public IConnectionPointContainer,
                      public CProxy_INotifyConnPtEvents<CNotifyConnPt>,
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
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifyConnPt();

    static const CLSID& ClassId() { return CLSID_NotifyConnPt; }
    static const IID* const* ErrorInfoInterfaces();

    // The filter test, then NotifyEvent to every sink; sinks are reached only through this operation.
    STDMETHOD(NotifySerialized)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR serializedResult, BSTR source, DATE timeStamp) override;

    // The one connection point, for _INotifyConnPtEvents.
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** points) override;
    STDMETHOD(FindConnectionPoint)(REFIID iid, IConnectionPoint** point) override;
    ConnectionPoint& EventsConnectionPoint() { return mEvents; }

private:
    ConnectionPoint mEvents;
};

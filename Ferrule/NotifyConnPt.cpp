#include "Ferrule/NotifyConnPt.h"

CNotifyConnPt::CNotifyConnPt() : mEvents(this, IID__INotifyConnPtEvents)
{
    SetName(u"NotifyConnPt");
    SetFilters(0xFFFFFFFF, 0xFFFFFFFF);
}

FERRULE_CLASS_FACTORY(NotifyConnPt, CNotifyConnPt)

const IID* const* CNotifyConnPt::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyConnPt, nullptr};
    return iids;
}

STDMETHODIMP CNotifyConnPt::NotifySerialized(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority,
                                             ULONG code, BSTR serializedResult, BSTR source, DATE timeStamp)
{
    return Frame(Notification{application, type, priority, code, serializedResult, source, timeStamp},
                 [this](const Notification& n) {
                     return Fire_NotifyEvent(n.application, n.type, n.priority, n.code, n.description, n.source,
                                             n.timeStamp);
                 });
}

STDMETHODIMP CNotifyConnPt::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    return CreateConnectionPointEnumerator({&mEvents}, points);
}

STDMETHODIMP CNotifyConnPt::FindConnectionPoint(REFIID iid, IConnectionPoint** point)
{
    if (point == nullptr)
        return E_POINTER;
    *point = nullptr;
    if (iid != IID__INotifyConnPtEvents)
        return CONNECT_E_NOCONNECTION;
    *point = &mEvents;
    mEvents.AddRef();
    return S_OK;
}

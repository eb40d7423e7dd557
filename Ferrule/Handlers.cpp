// The rows of handlers that persist their filters only, and the tray-application handler's settings.
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"
#include "Ferrule/NotifyApp.h"

PersistTable FilterPersistTable()
{
    static const PersistRow rows[] = {{u"TypeFilter", 0x102, VT_UI4}, {u"PriorityFilter", 0x103, VT_UI4}};
    return {rows, 2};
}

// ---- tray application

CNotifyApp::CNotifyApp()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_APP));
}

PersistTable CNotifyApp::PersistRows()
{
    return FilterPersistTable();
}

const IID* const* CNotifyApp::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyApp, nullptr};
    return iids;
}

STDMETHODIMP CNotifyApp::get_Clients(UINT* value)
{
    return ValueOut(mClients, value);
}

STDMETHODIMP CNotifyApp::put_Clients(UINT value)
{
    mClients = value;
    return S_OK;
}

STDMETHODIMP CNotifyApp::NotifySerialized(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority,
                                          ULONG code, BSTR serializedResult, BSTR source, DATE timeStamp)
{
    return Notify(application, type, priority, code, serializedResult, source, timeStamp);
}

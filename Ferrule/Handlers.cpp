// Construction and settings of the event-log, tray-application, SNMP trap, connection-point and
// e-mail handlers.
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Platform/Win32/EventLog.h"

namespace
{
const PersistRow kFilterRows[] = {{u"TypeFilter", 0x102, VT_UI4}, {u"PriorityFilter", 0x103, VT_UI4}};
const PersistTable kFilterTable = {kFilterRows, 2};

HRESULT GetValue(VARIANT_BOOL field, VARIANT_BOOL* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = field;
    return S_OK;
}

template <class T>
HRESULT GetNumber(T field, T* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = field;
    return S_OK;
}
} // namespace

// ---- event log

CNotifySysEvent::CNotifySysEvent()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_SYSLOG));
}

PersistTable CNotifySysEvent::PersistRows()
{
    return kFilterTable;
}

const IID* const* CNotifySysEvent::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifySysEvent, nullptr};
    return iids;
}

STDMETHODIMP CNotifySysEvent::Notify(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG,
                                     BSTR description, BSTR source, DATE)
{
    if (!FilterTest(type, priority))
        return S_FALSE;
    return Boundary("CNotifySysEvent::Notify", [&]() -> HRESULT {
        auto failure = [](uint32_t resultCode) {
            Result r;
            r.Init("NotifySysEvent", __LINE__, "CNotifySysEvent::Notify", resultCode);
            return r;
        };
        // The source: the application name with its first "&" as "and".
        String sourceName(application ? application : u"", SysStringLen(application));
        const size_t amp = sourceName.find(u'&');
        if (amp != String::npos)
            sourceName.replace(amp, 1, u"and");
        HANDLE eventLog = RegisterEventSourceW(nullptr, sourceName.c_str());
        if (eventLog == nullptr)
        {
            const HRESULT hr = LastErrorHresult();
            return ReportHandlerFailure(hr, failure(NOTIFY_ERROR_EVENTLOG_OPEN_FAILED));
        }
        const String text(description ? description : u"", SysStringLen(description));
        const String entry = StringRepository::FormatString(
            IDS_SYSLOG_ENTRY_FORMAT, {Argument(type == NOTIFY_TYPE_ERROR ? text + UmiSuffix(text) : text),
                                      Argument(String()), Argument(String(source ? source : u"", SysStringLen(source)))});
        const WORD category = priority == NOTIFY_PRIORITY_HIGH ? 1 : priority == NOTIFY_PRIORITY_MEDIUM ? 2 : 3;
        LPCWSTR strings[] = {entry.c_str()};
        if (!ReportEventW(eventLog, static_cast<WORD>(type), category, 100, nullptr, 1, 0, strings, nullptr))
        {
            const HRESULT hr = LastErrorHresult();
            DeregisterEventSource(eventLog);
            return ReportHandlerFailure(hr, failure(NOTIFY_ERROR_EVENTLOG_WRITE_FAILED));
        }
        DeregisterEventSource(eventLog);
        return S_OK;
    });
}

// ---- tray application

CNotifyApp::CNotifyApp()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_APP));
}

PersistTable CNotifyApp::PersistRows()
{
    return kFilterTable;
}

const IID* const* CNotifyApp::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyApp, nullptr};
    return iids;
}

STDMETHODIMP CNotifyApp::get_Clients(UINT* value)
{
    return GetNumber(mClients, value);
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

// ---- SNMP trap

CNotifySNMPTrap::CNotifySNMPTrap()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_SNMP_TRAP));
}

CNotifySNMPTrap::~CNotifySNMPTrap()
{
    SysFreeString(mDestination);
    SysFreeString(mCommunityString);
}

PersistTable CNotifySNMPTrap::PersistRows()
{
    static const PersistRow rows[] = {
        {u"TypeFilter", 0x102, VT_UI4},     {u"PriorityFilter", 0x103, VT_UI4}, {u"Destination", 0x700, VT_BSTR},
        {u"TrapPort", 0x701, VT_UINT},       {u"SNMPVersionV2", 0x702, VT_BOOL}, {u"CommunityString", 0x703, VT_BSTR},
        {u"SNMPTrapEnabled", 0x704, VT_BOOL},
    };
    return {rows, sizeof rows / sizeof rows[0]};
}

const IID* const* CNotifySNMPTrap::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifySNMPTrap, nullptr};
    return iids;
}

STDMETHODIMP CNotifySNMPTrap::get_Destination(BSTR* value)
{
    return CopyOut(mDestination, value);
}

STDMETHODIMP CNotifySNMPTrap::put_Destination(BSTR value)
{
    return CopyIn(value, mDestination);
}

STDMETHODIMP CNotifySNMPTrap::get_TrapPort(UINT* value)
{
    return GetNumber(mTrapPort, value);
}

STDMETHODIMP CNotifySNMPTrap::put_TrapPort(UINT value)
{
    mTrapPort = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_SNMPVersionV2(VARIANT_BOOL* value)
{
    return GetValue(mVersion2, value);
}

STDMETHODIMP CNotifySNMPTrap::put_SNMPVersionV2(VARIANT_BOOL value)
{
    mVersion2 = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_CommunityString(BSTR* value)
{
    return CopyOut(mCommunityString, value);
}

STDMETHODIMP CNotifySNMPTrap::put_CommunityString(BSTR value)
{
    return CopyIn(value, mCommunityString);
}

STDMETHODIMP CNotifySNMPTrap::put_SNMPTrapEnabled(VARIANT_BOOL value)
{
    mEnabled = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_SNMPTrapEnabled(VARIANT_BOOL* value)
{
    return GetValue(mEnabled, value);
}

// ---- connection point

CNotifyConnPt::CNotifyConnPt()
{
    SetName(u"NotifyConnPt");
    SetFilters(0xFFFFFFFF, 0xFFFFFFFF);
}

PersistTable CNotifyConnPt::PersistRows()
{
    return kFilterTable;
}

const IID* const* CNotifyConnPt::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyConnPt, nullptr};
    return iids;
}

STDMETHODIMP CNotifyConnPt::NotifySerialized(BSTR, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG, BSTR,
                                             BSTR, DATE)
{
    return FilterTest(type, priority) ? S_OK : S_FALSE;
}

// ---- e-mail

CNotifyEmail::CNotifyEmail()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_EMAIL));
}

CNotifyEmail::~CNotifyEmail()
{
    for (BSTR s : {mKeyAccountName, mAddress, mSMTPServer, mAddressFrom, mUser})
        SysFreeString(s);
}

PersistTable CNotifyEmail::PersistRows()
{
    static const PersistRow rows[] = {
        {u"TypeFilter", 0x102, VT_UI4},      {u"PriorityFilter", 0x103, VT_UI4}, {u"EmailAddress", 0x200, VT_BSTR},
        {u"SMTPServer", 0x201, VT_BSTR},      {u"ServerPort", 0x202, VT_UINT},    {u"From", 0x203, VT_BSTR},
        {u"Authentication", 0x600, VT_UI4},  {u"User", 0x601, VT_BSTR},          {u"Encryption", 0x900, VT_BSTR},
    };
    return {rows, sizeof rows / sizeof rows[0]};
}

const IID* const* CNotifyEmail::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifyEmail, &IID_INotifyEmail2,
                                      &IID_INotifyEmail3,  &IID_INotifyEmail4, nullptr};
    return iids;
}

STDMETHODIMP CNotifyEmail::get_Address(BSTR* value)
{
    return CopyOut(mAddress, value);
}

STDMETHODIMP CNotifyEmail::put_Address(BSTR value)
{
    return CopyIn(value, mAddress);
}

STDMETHODIMP CNotifyEmail::get_SMTPServer(BSTR* value)
{
    return CopyOut(mSMTPServer, value);
}

STDMETHODIMP CNotifyEmail::put_SMTPServer(BSTR value)
{
    return CopyIn(value, mSMTPServer);
}

STDMETHODIMP CNotifyEmail::get_ServerPort(UINT* value)
{
    return GetNumber(mServerPort, value);
}

STDMETHODIMP CNotifyEmail::put_ServerPort(UINT value)
{
    mServerPort = (value >= 1 && value <= 65535) ? value : 25;
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_AddressFrom(BSTR* value)
{
    return CopyOut(mAddressFrom, value);
}

STDMETHODIMP CNotifyEmail::put_AddressFrom(BSTR value)
{
    return CopyIn(value, mAddressFrom);
}

STDMETHODIMP CNotifyEmail::get_Anonymous(VARIANT_BOOL* value)
{
    return GetValue(mAuthentication == SMTP_AUTH_ANONYMOUS ? VARIANT_TRUE : VARIANT_FALSE, value);
}

STDMETHODIMP CNotifyEmail::put_Anonymous(VARIANT_BOOL)
{
    mAuthentication = SMTP_AUTH_ANONYMOUS; // whatever value is passed
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_Authentication(eZD_NOTIFY_SMTP_AUTHENTICATION* value)
{
    return GetNumber(mAuthentication, value);
}

STDMETHODIMP CNotifyEmail::put_Authentication(eZD_NOTIFY_SMTP_AUTHENTICATION value)
{
    mAuthentication = value;
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_User(BSTR* value)
{
    return CopyOut(mUser, value);
}

STDMETHODIMP CNotifyEmail::put_User(BSTR value)
{
    HRESULT hr = CopyIn(value, mUser);
    if (SUCCEEDED(hr))
        hr = CopyIn(value, mKeyAccountName);
    return hr;
}

STDMETHODIMP CNotifyEmail::put_Password(BSTR)
{
    return E_NOTIMPL;
}

STDMETHODIMP CNotifyEmail::get_EncryptedPassword(BSTR* value)
{
    return value ? E_NOTIMPL : E_POINTER;
}

STDMETHODIMP CNotifyEmail::put_EncryptedPassword(BSTR)
{
    return E_NOTIMPL;
}

STDMETHODIMP CNotifyEmail::get_HexEncryptedPassword(BSTR* value)
{
    return value ? E_NOTIMPL : E_POINTER;
}

STDMETHODIMP CNotifyEmail::put_HexEncryptedPassword(BSTR)
{
    return E_NOTIMPL;
}

STDMETHODIMP CNotifyEmail::get_Encryption(eZD_NOTIFY_ENCRYPTION_TYPE* value)
{
    return GetNumber(mEncryption, value);
}

STDMETHODIMP CNotifyEmail::put_Encryption(eZD_NOTIFY_ENCRYPTION_TYPE value)
{
    mEncryption = value;
    return S_OK;
}

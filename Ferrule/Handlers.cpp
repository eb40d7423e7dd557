// Construction and settings of the event-log, tray-application, SNMP trap, connection-point and
// e-mail handlers.
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyEmail.h"

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
    return ValueOut(mServerPort, value);
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
    return ValueOut(mAuthentication == SMTP_AUTH_ANONYMOUS ? VARIANT_TRUE : VARIANT_FALSE, value);
}

STDMETHODIMP CNotifyEmail::put_Anonymous(VARIANT_BOOL)
{
    mAuthentication = SMTP_AUTH_ANONYMOUS; // whatever value is passed
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_Authentication(eZD_NOTIFY_SMTP_AUTHENTICATION* value)
{
    return ValueOut(mAuthentication, value);
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
    return ValueOut(mEncryption, value);
}

STDMETHODIMP CNotifyEmail::put_Encryption(eZD_NOTIFY_ENCRYPTION_TYPE value)
{
    mEncryption = value;
    return S_OK;
}

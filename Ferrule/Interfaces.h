// The notification model: enumerations, interfaces in slot order, class and library identifiers.
// Together with their dispatch tables (TypeLibrary.cpp) they are the type library
// NOTIFICATIONHANDLERLib 1.0, locale 0x409.
#pragma once

#include "Platform/Com/Dispatch.h"
#include "Platform/Com/PropertyBag.h"

// Possible types of notifications.
enum eZD_NOTIFY_TYPE : int32_t
{
    NOTIFY_TYPE_UNKNOWN = 0,
    NOTIFY_TYPE_ERROR = 1,
    NOTIFY_TYPE_WARNING = 2,
    NOTIFY_TYPE_INFO = 4,
    NOTIFY_TYPE_TEST = 8,
};

// Possible priority levels of notifications.
enum eZD_NOTIFY_PRIORITY : int32_t
{
    NOTIFY_PRIORITY_UNKNOWN = 0,
    NOTIFY_PRIORITY_HIGH = 1,
    NOTIFY_PRIORITY_MEDIUM = 2,
    NOTIFY_PRIORITY_LOW = 4,
    NOTIFY_PRIORITY_TEST = 8,
};

// Possible encryption types for security of Emails.
enum eZD_NOTIFY_ENCRYPTION_TYPE : int32_t
{
    ENCRYPTION_TYPE_NONE = 0,
    ENCRYPTION_TYPE_TLS = 1,
    ENCRYPTION_TYPE_SSL = 2,
    ENCRYPTION_TYPE_DISABLED = 9999,
};

enum eZD_NOTIFY_SMTP_AUTHENTICATION : int32_t
{
    SMTP_AUTH_ANONYMOUS = 0,
    SMTP_AUTH_BASIC = 1,
    SMTP_AUTH_NTLM = 2,
    SMTP_AUTH_DISABLED = 9999,
};

// ---- Identifiers. The six handler class ids sort, as upper-case text, into the dispatch order:
// connection point, tray application, SNMP trap, e-mail, event log, log file.

inline constexpr GUID LIBID_NOTIFICATIONHANDLERLib = {
    0x7E0A1C00, 0x3B5D, 0x4E2F, {0x9C, 0x41, 0x6D, 0x2A, 0x8F, 0x10, 0x00, 0x01}};

inline constexpr CLSID CLSID_NotifyConnPt = {0x1C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x06}};
inline constexpr CLSID CLSID_NotifyApp = {0x2C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x05}};
inline constexpr CLSID CLSID_NotifySNMPTrap = {
    0x3C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x09}};
inline constexpr CLSID CLSID_NotifyEmail = {0x4C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x02}};
inline constexpr CLSID CLSID_NotifySysEvent = {
    0x5C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x04}};
inline constexpr CLSID CLSID_NotifyLog = {0x6C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x03}};
// Sorts after the log-file handler's: the other handlers have delivered before an endpoint is contacted.
inline constexpr CLSID CLSID_NotifyWebhook = {0x7C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x0A}};
inline constexpr CLSID CLSID_Notify = {0x8C7A3E01, 0x5D2B, 0x4C8E, {0x9F, 0x31, 0x7B, 0x2E, 0x4D, 0x6A, 0x00, 0x01}};

#define FERRULE_IID(name, d1)                                                                                \
    inline constexpr IID IID_##name = {d1, 0x6A1F, 0x4B3C, {0x8E, 0x52, 0x1D, 0x7C, 0x3A, 0x9B, 0x00, 0x10}};
FERRULE_IID(INotify, 0xA1E40001)
FERRULE_IID(INotifyHandler, 0xA1E40002)
FERRULE_IID(INotifyHandlerMaintain, 0xA1E40003)
FERRULE_IID(INotifySerialized, 0xA1E40004)
FERRULE_IID(INotifyEmail, 0xA1E40005)
FERRULE_IID(INotifyEmail2, 0xA1E40006)
FERRULE_IID(INotifyEmail3, 0xA1E40007)
FERRULE_IID(INotifyEmail4, 0xA1E40008)
FERRULE_IID(INotifyLog, 0xA1E40009)
FERRULE_IID(INotifySysEvent, 0xA1E4000A)
FERRULE_IID(INotifyApp, 0xA1E4000B)
FERRULE_IID(INotifySNMPTrap, 0xA1E4000C)
FERRULE_IID(INotifyConnPt, 0xA1E4000D)
FERRULE_IID(_INotifyConnPtEvents, 0xA1E4000E)
FERRULE_IID(INotifyWebhook, 0xA1E4000F)
FERRULE_IID(IOutboxHandler, 0xA1E40010) // internal to the module and its tool (Ferrule/Outbox.h)
#undef FERRULE_IID

// ---- Interfaces; the C++ declaration order is the slot order after IDispatch's.

struct INotifyHandler;

// Loads and manages notifications and notification handlers.
struct INotify : public IDispatch
{
    STDMETHOD(Initialize)(BSTR application, BSTR configFile) = 0;
    STDMETHOD(get_Application)(BSTR* application) = 0;
    STDMETHOD(GetHandler)(BSTR handlerId, INotifyHandler** handler) = 0;
    STDMETHOD(Notify)(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR description, BSTR source,
                      DATE timeStamp) = 0;
    STDMETHOD(get_Handler)(BSTR handlerId, INotifyHandler** handler) = 0;
    STDMETHOD(put_Handler)(BSTR handlerId, INotifyHandler* handler) = 0;
};

// Notification handlers must implement this interface and have an entry in the notify policy config
// file.
struct INotifyHandler : public IDispatch
{
    STDMETHOD(Notify)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                      BSTR description, BSTR source, DATE timeStamp) = 0;
    STDMETHOD(get_Name)(BSTR* name) = 0;
    STDMETHOD(get_TypeFilter)(eZD_NOTIFY_TYPE* filter) = 0;
    STDMETHOD(put_TypeFilter)(eZD_NOTIFY_TYPE filter) = 0;
    STDMETHOD(get_PriorityFilter)(eZD_NOTIFY_PRIORITY* filter) = 0;
    STDMETHOD(put_PriorityFilter)(eZD_NOTIFY_PRIORITY filter) = 0;
};

struct INotifyHandlerMaintain : public IDispatch
{
    STDMETHOD(Initialize)() = 0;
    STDMETHOD(Terminate)() = 0;
};

struct INotifySerialized : public IDispatch
{
    STDMETHOD(NotifySerialized)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR serializedResult, BSTR source, DATE timeStamp) = 0;
};

// Handles notifications by sending an email through SMTP.
struct INotifyEmail : public INotifyHandler
{
    STDMETHOD(get_Address)(BSTR* value) = 0;
    STDMETHOD(put_Address)(BSTR value) = 0;
    STDMETHOD(get_SMTPServer)(BSTR* value) = 0;
    STDMETHOD(put_SMTPServer)(BSTR value) = 0;
    STDMETHOD(get_ServerPort)(UINT* value) = 0;
    STDMETHOD(put_ServerPort)(UINT value) = 0;
    STDMETHOD(get_AddressFrom)(BSTR* value) = 0;
    STDMETHOD(put_AddressFrom)(BSTR value) = 0;
    STDMETHOD(get_Anonymous)(VARIANT_BOOL* value) = 0;
    STDMETHOD(put_Anonymous)(VARIANT_BOOL value) = 0;
};

// Handles notifications by sending an email through SMTP with Authentication.
struct INotifyEmail2 : public INotifyEmail
{
    STDMETHOD(get_Authentication)(eZD_NOTIFY_SMTP_AUTHENTICATION* value) = 0;
    STDMETHOD(put_Authentication)(eZD_NOTIFY_SMTP_AUTHENTICATION value) = 0;
    STDMETHOD(get_User)(BSTR* value) = 0;
    STDMETHOD(put_User)(BSTR value) = 0;
    STDMETHOD(put_Password)(BSTR value) = 0;
    STDMETHOD(get_EncryptedPassword)(BSTR* value) = 0;
    STDMETHOD(put_EncryptedPassword)(BSTR value) = 0;
};

struct INotifyEmail3 : public INotifyEmail2
{
    STDMETHOD(get_HexEncryptedPassword)(BSTR* value) = 0;
    STDMETHOD(put_HexEncryptedPassword)(BSTR value) = 0;
};

// Encypts the data being sent in the mail through selected encryption type.
struct INotifyEmail4 : public INotifyEmail3
{
    STDMETHOD(get_Encryption)(eZD_NOTIFY_ENCRYPTION_TYPE* value) = 0;
    STDMETHOD(put_Encryption)(eZD_NOTIFY_ENCRYPTION_TYPE value) = 0;
};

// Handles notifications by appending an entry to a log file.
struct INotifyLog : public INotifyHandler
{
    STDMETHOD(get_MaxSize)(ULONG* value) = 0;
    STDMETHOD(put_MaxSize)(ULONG value) = 0;
    STDMETHOD(get_FileName)(BSTR* value) = 0;
    STDMETHOD(put_FileName)(BSTR value) = 0;
    STDMETHOD(get_FilePath)(BSTR* value) = 0;
    STDMETHOD(put_FilePath)(BSTR value) = 0;
};

// Handles notifications by posting them to a webhook (JSON or text over HTTPS). Token is put-only;
// StoredToken is its stored form, for the policy file.
struct INotifyWebhook : public INotifyHandler
{
    STDMETHOD(get_URL)(BSTR* value) = 0;
    STDMETHOD(put_URL)(BSTR value) = 0;
    STDMETHOD(get_Format)(BSTR* value) = 0;
    STDMETHOD(put_Format)(BSTR value) = 0;
    STDMETHOD(put_Token)(BSTR value) = 0;
    STDMETHOD(get_StoredToken)(BSTR* value) = 0;
    STDMETHOD(put_StoredToken)(BSTR value) = 0;
    STDMETHOD(get_TimeoutSeconds)(ULONG* value) = 0;
    STDMETHOD(put_TimeoutSeconds)(ULONG value) = 0;
};

// Handles notifications by adding an entry in the system's application event log.
struct INotifySysEvent : public INotifyHandler
{
};

struct INotifyApp : public INotifyHandler
{
    STDMETHOD(get_Clients)(UINT* value) = 0;
    STDMETHOD(put_Clients)(UINT value) = 0;
};

// Handles SNMP Traps to be sent on notificaations. The SNMPTrapEnabled setter precedes its getter.
struct INotifySNMPTrap : public INotifyHandler
{
    STDMETHOD(get_Destination)(BSTR* value) = 0;
    STDMETHOD(put_Destination)(BSTR value) = 0;
    STDMETHOD(get_TrapPort)(UINT* value) = 0;
    STDMETHOD(put_TrapPort)(UINT value) = 0;
    STDMETHOD(get_SNMPVersionV2)(VARIANT_BOOL* value) = 0;
    STDMETHOD(put_SNMPVersionV2)(VARIANT_BOOL value) = 0;
    STDMETHOD(get_CommunityString)(BSTR* value) = 0;
    STDMETHOD(put_CommunityString)(BSTR value) = 0;
    STDMETHOD(put_SNMPTrapEnabled)(VARIANT_BOOL value) = 0;
    STDMETHOD(get_SNMPTrapEnabled)(VARIANT_BOOL* value) = 0;
};

struct INotifyConnPt : public INotifyHandler
{
};

// _INotifyConnPtEvents is a pure dispatch interface: sinks answer Invoke for NotifyEvent.
constexpr DISPID DISPID_NotifyEvent = 0x1;
// The members of INotifyHandler that the type library, the persisted rows and the tool name.
constexpr DISPID DISPID_HandlerNotify = 0x100;
constexpr DISPID DISPID_HandlerName = 0x101;
constexpr DISPID DISPID_TypeFilter = 0x102;
constexpr DISPID DISPID_PriorityFilter = 0x103;

DECLARE_INTERFACE_IID(INotify, IID_INotify)
DECLARE_INTERFACE_IID(INotifyHandler, IID_INotifyHandler)
DECLARE_INTERFACE_IID(INotifyHandlerMaintain, IID_INotifyHandlerMaintain)
DECLARE_INTERFACE_IID(INotifySerialized, IID_INotifySerialized)
DECLARE_INTERFACE_IID(INotifyEmail, IID_INotifyEmail)
DECLARE_INTERFACE_IID(INotifyEmail2, IID_INotifyEmail2)
DECLARE_INTERFACE_IID(INotifyEmail3, IID_INotifyEmail3)
DECLARE_INTERFACE_IID(INotifyEmail4, IID_INotifyEmail4)
DECLARE_INTERFACE_IID(INotifyLog, IID_INotifyLog)
DECLARE_INTERFACE_IID(INotifySysEvent, IID_INotifySysEvent)
DECLARE_INTERFACE_IID(INotifyWebhook, IID_INotifyWebhook)
DECLARE_INTERFACE_IID(INotifyApp, IID_INotifyApp)
DECLARE_INTERFACE_IID(INotifySNMPTrap, IID_INotifySNMPTrap)
DECLARE_INTERFACE_IID(INotifyConnPt, IID_INotifyConnPt)

// Dispatch tables (TypeLibrary.cpp). Filters travel as VT_UI4: they are masks, all 32 bits used.
template <> const DispatchTable& DispatchTableOf<INotify>();
template <> const DispatchTable& DispatchTableOf<INotifyHandler>();
template <> const DispatchTable& DispatchTableOf<INotifyHandlerMaintain>();
template <> const DispatchTable& DispatchTableOf<INotifySerialized>();
template <> const DispatchTable& DispatchTableOf<INotifyEmail>();
template <> const DispatchTable& DispatchTableOf<INotifyEmail2>();
template <> const DispatchTable& DispatchTableOf<INotifyEmail3>();
template <> const DispatchTable& DispatchTableOf<INotifyEmail4>();
template <> const DispatchTable& DispatchTableOf<INotifyLog>();
template <> const DispatchTable& DispatchTableOf<INotifySysEvent>();
template <> const DispatchTable& DispatchTableOf<INotifyWebhook>();
template <> const DispatchTable& DispatchTableOf<INotifyApp>();
template <> const DispatchTable& DispatchTableOf<INotifySNMPTrap>();
template <> const DispatchTable& DispatchTableOf<INotifyConnPt>();

// The type library: every interface's table.
const std::vector<const DispatchTable*>& NotificationHandlerLib();
// The type library NOTIFICATIONHANDLERLib 1.0: the tables above, _INotifyConnPtEvents, the four
// enumerations and the seven classes. Made when the module loads, so every interface's type
// information knows its library.
struct ITypeLib;
ITypeLib* NotificationHandlerTypeLib();
const DispatchTable& NotifyConnPtEventsTable();

// The dispatch tables of the notification interfaces: dispatch identifiers, names, kinds and types.
#include "Ferrule/Interfaces.h"
#include "Platform/Com/TypeLib.h"

namespace
{
// Functions, not globals: the tables may be built while the module's globals are still being
// initialized (a derived interface's table copies its base's members when it is first asked for).
const std::vector<VARTYPE>& NotifyParams()
{
    static const std::vector<VARTYPE> params = {VT_BSTR, VT_UI4, VT_UI4, VT_UI4, VT_BSTR, VT_BSTR, VT_DATE};
    return params;
}

const std::vector<const char16_t*>& NotifyParamNames()
{
    static const std::vector<const char16_t*> names = {u"Application", u"Type",   u"Priority", u"Code",
                                                       u"Description", u"Source", u"TimeStamp"};
    return names;
}
} // namespace

template <>
const DispatchTable& DispatchTableOf<INotify>()
{
    static const DispatchTable table(
        IID_INotify, u"INotify", u"Loads and manages notifications and notification handlers.",
        {
            Named(DispMethod<&INotify::Initialize>(0x1, u"Initialize", {VT_BSTR, VT_BSTR}, VT_EMPTY,
                                                   u"Loads notification handlers and policies from the config file. "
                                                   u"Must call this first or notifications will not be processed."),
                  {u"Application", u"ConfigFile"}),
            DispPropGet<&INotify::get_Application>(0x2, u"Application", VT_BSTR, {},
                                                   u"Name of the application using the component."),
            Named(DispMethod<&INotify::GetHandler>(0x3, u"GetHandler", {VT_BSTR}, VT_DISPATCH,
                                                   u"Retrieves a currently loaded handler to access its custom "
                                                   u"properties."),
                  {u"HandlerID"}),
            Named(DispMethod<&INotify::Notify>(0x4, u"Notify", {VT_UI4, VT_UI4, VT_UI4, VT_BSTR, VT_BSTR, VT_DATE},
                                               VT_EMPTY, u"Notifications sent through here are distributed to handlers."),
                  {u"Type", u"Priority", u"Code", u"Description", u"Source", u"TimeStamp"}),
            DispPropGet<&INotify::get_Handler>(0x5, u"Handler", VT_DISPATCH, {VT_BSTR}, u"Retrieves a handler."),
            DispPropPut<&INotify::put_Handler>(0x5, u"Handler", VT_DISPATCH, {VT_BSTR},
                                               u"Overwrites a handler with new properties."),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyHandler>()
{
    static const DispatchTable table(
        IID_INotifyHandler, u"INotifyHandler",
        u"Notification handlers must implement this interface and have an entry in the notify policy config file.",
        {
            Named(DispMethod<&INotifyHandler::Notify>(DISPID_HandlerNotify, u"Notify", NotifyParams()), NotifyParamNames()),
            DispPropGet<&INotifyHandler::get_Name>(DISPID_HandlerName, u"Name", VT_BSTR),
            DispPropGet<&INotifyHandler::get_TypeFilter>(DISPID_TypeFilter, u"TypeFilter", VT_UI4),
            DispPropPut<&INotifyHandler::put_TypeFilter>(DISPID_TypeFilter, u"TypeFilter", VT_UI4),
            DispPropGet<&INotifyHandler::get_PriorityFilter>(DISPID_PriorityFilter, u"PriorityFilter", VT_UI4),
            DispPropPut<&INotifyHandler::put_PriorityFilter>(DISPID_PriorityFilter, u"PriorityFilter", VT_UI4),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyHandlerMaintain>()
{
    static const DispatchTable table(
        IID_INotifyHandlerMaintain, u"INotifyHandlerMaintain",
        u"Notification handlers may implement this interface to initialize themselves after all associated "
        u"properties are loaded, and clean up before being unloaded.",
        {
            DispMethod<&INotifyHandlerMaintain::Initialize>(
                0x1, u"Initialize", {}, VT_EMPTY, u"Called after the properties associated with the handler are loaded."),
            DispMethod<&INotifyHandlerMaintain::Terminate>(
                0x2, u"Terminate", {}, VT_EMPTY, u"Called to let the handler clean up before it is unloaded."),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifySerialized>()
{
    static const DispatchTable table(
        IID_INotifySerialized, u"INotifySerialized",
        u"Notification handlers may implement this interface to receive notifications with untranslated, serialized "
        u"results instead of translated messages.",
        {Named(DispMethod<&INotifySerialized::NotifySerialized>(0x1, u"NotifySerialized", NotifyParams()),
               {u"Application", u"Type", u"Priority", u"Code", u"SerializedResult", u"Source", u"TimeStamp"})});
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyEmail>()
{
    static const DispatchTable table(
        IID_INotifyEmail, u"INotifyEmail", u"Handles notifications by sending an email through SMTP.",
        DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifyEmail::get_Address>(0x200, u"Address", VT_BSTR, {},
                                                    u"The e-mail address to send notifications to."),
            DispPropPut<&INotifyEmail::put_Address>(0x200, u"Address", VT_BSTR),
            DispPropGet<&INotifyEmail::get_SMTPServer>(0x201, u"SMTPServer", VT_BSTR),
            DispPropPut<&INotifyEmail::put_SMTPServer>(0x201, u"SMTPServer", VT_BSTR),
            DispPropGet<&INotifyEmail::get_ServerPort>(0x202, u"ServerPort", VT_UINT, {}, u"Default is 25."),
            DispPropPut<&INotifyEmail::put_ServerPort>(0x202, u"ServerPort", VT_UINT),
            DispPropGet<&INotifyEmail::get_AddressFrom>(0x203, u"AddressFrom", VT_BSTR, {},
                                                        u"The e-mail address to send notifications from."),
            DispPropPut<&INotifyEmail::put_AddressFrom>(0x203, u"AddressFrom", VT_BSTR),
            DispPropGet<&INotifyEmail::get_Anonymous>(0x204, u"Anonymous", VT_BOOL, {},
                                                      u"Whether to connect to the SMTP server anonymously."),
            DispPropPut<&INotifyEmail::put_Anonymous>(0x204, u"Anonymous", VT_BOOL),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyEmail2>()
{
    static const DispatchTable table(
        IID_INotifyEmail2, u"INotifyEmail2", u"Handles notifications by sending an email through SMTP with Authentication",
        DispatchTableOf<INotifyEmail>(),
        {
            DispPropGet<&INotifyEmail2::get_Authentication>(0x600, u"Authentication", VT_I4, {},
                                                            u"Authentication mechanism used by the SMTP server."),
            DispPropPut<&INotifyEmail2::put_Authentication>(0x600, u"Authentication", VT_I4),
            DispPropGet<&INotifyEmail2::get_User>(0x601, u"User", VT_BSTR, {},
                                                  u"The user used for authentication to the SMTP server."),
            DispPropPut<&INotifyEmail2::put_User>(0x601, u"User", VT_BSTR),
            DispPropPut<&INotifyEmail2::put_Password>(0x602, u"Password", VT_BSTR, {},
                                                      u"The password used for authentication to the SMTP server."),
            DispPropGet<&INotifyEmail2::get_EncryptedPassword>(0x603, u"EncryptedPassword", VT_BSTR),
            DispPropPut<&INotifyEmail2::put_EncryptedPassword>(0x603, u"EncryptedPassword", VT_BSTR),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyEmail3>()
{
    static const DispatchTable table(
        IID_INotifyEmail3, u"INotifyEmail3", u"", DispatchTableOf<INotifyEmail2>(),
        {
            DispPropGet<&INotifyEmail3::get_HexEncryptedPassword>(
                0x800, u"HexEncryptedPassword", VT_BSTR, {}, u"A hex string representation of the encrypted password."),
            DispPropPut<&INotifyEmail3::put_HexEncryptedPassword>(0x800, u"HexEncryptedPassword", VT_BSTR),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyEmail4>()
{
    static const DispatchTable table(
        IID_INotifyEmail4, u"INotifyEmail4", u"Encypts the data being sent in the mail through selected encryption type",
        DispatchTableOf<INotifyEmail3>(),
        {
            DispPropGet<&INotifyEmail4::get_Encryption>(0x900, u"Encryption", VT_I4, {},
                                                        u"Encryption mechanism used by the SMTP server."),
            DispPropPut<&INotifyEmail4::put_Encryption>(0x900, u"Encryption", VT_I4),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyLog>()
{
    static const DispatchTable table(
        IID_INotifyLog, u"INotifyLog", u"Handles notifications by appending an entry to a log file.",
        DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifyLog::get_MaxSize>(0x300, u"MaxSize", VT_UI4, {},
                                                  u"Kilobytes; the maximum file size to allow before removing old log "
                                                  u"entries; -1 for no maximum."),
            DispPropPut<&INotifyLog::put_MaxSize>(0x300, u"MaxSize", VT_UI4),
            DispPropGet<&INotifyLog::get_FileName>(0x301, u"FileName", VT_BSTR, {},
                                                   u"The name of the log file to append to."),
            DispPropPut<&INotifyLog::put_FileName>(0x301, u"FileName", VT_BSTR),
            DispPropGet<&INotifyLog::get_FilePath>(0x302, u"FilePath", VT_BSTR, {},
                                                   u"The folder to create the log file in."),
            DispPropPut<&INotifyLog::put_FilePath>(0x302, u"FilePath", VT_BSTR),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifySysEvent>()
{
    static const DispatchTable table(
        IID_INotifySysEvent, u"INotifySysEvent",
        u"Handles notifications by adding an entry in the system's application event log (Event Viewer)",
        DispatchTableOf<INotifyHandler>(), {});
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyWebhook>()
{
    static const DispatchTable table(
        IID_INotifyWebhook, u"INotifyWebhook", u"Handles notifications by posting them to a webhook.",
        DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifyWebhook::get_URL>(0xA00, u"URL", VT_BSTR, {},
                                                  u"The endpoint: https, or http without a token."),
            DispPropPut<&INotifyWebhook::put_URL>(0xA00, u"URL", VT_BSTR),
            DispPropGet<&INotifyWebhook::get_Format>(0xA01, u"Format", VT_BSTR, {}, u"json, chat or text."),
            DispPropPut<&INotifyWebhook::put_Format>(0xA01, u"Format", VT_BSTR),
            DispPropPut<&INotifyWebhook::put_Token>(0xA02, u"Token", VT_BSTR),
            DispPropGet<&INotifyWebhook::get_StoredToken>(0xA03, u"StoredToken", VT_BSTR, {},
                                                          u"The token's stored form."),
            DispPropPut<&INotifyWebhook::put_StoredToken>(0xA03, u"StoredToken", VT_BSTR),
            DispPropGet<&INotifyWebhook::get_TimeoutSeconds>(0xA04, u"TimeoutSeconds", VT_UI4, {},
                                                             u"Seconds a delivery may take, 1 to 60."),
            DispPropPut<&INotifyWebhook::put_TimeoutSeconds>(0xA04, u"TimeoutSeconds", VT_UI4),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyApp>()
{
    static const DispatchTable table(
        IID_INotifyApp, u"INotifyApp", u"", DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifyApp::get_Clients>(0x500, u"Clients", VT_UINT, {},
                                                  u"The number of clients waiting for notification."),
            DispPropPut<&INotifyApp::put_Clients>(0x500, u"Clients", VT_UINT),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifySNMPTrap>()
{
    static const DispatchTable table(
        IID_INotifySNMPTrap, u"INotifySNMPTrap", u"Handles SNMP Traps to be sent on notificaations",
        DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifySNMPTrap::get_Destination>(0x700, u"Destination", VT_BSTR),
            DispPropPut<&INotifySNMPTrap::put_Destination>(0x700, u"Destination", VT_BSTR),
            DispPropGet<&INotifySNMPTrap::get_TrapPort>(0x701, u"TrapPort", VT_UINT),
            DispPropPut<&INotifySNMPTrap::put_TrapPort>(0x701, u"TrapPort", VT_UINT),
            DispPropGet<&INotifySNMPTrap::get_SNMPVersionV2>(0x702, u"SNMPVersionV2", VT_BOOL, {},
                                                             u"Whether SNMP version 2 is selected."),
            DispPropPut<&INotifySNMPTrap::put_SNMPVersionV2>(0x702, u"SNMPVersionV2", VT_BOOL),
            DispPropGet<&INotifySNMPTrap::get_CommunityString>(0x703, u"CommunityString", VT_BSTR),
            DispPropPut<&INotifySNMPTrap::put_CommunityString>(0x703, u"CommunityString", VT_BSTR),
            DispPropPut<&INotifySNMPTrap::put_SNMPTrapEnabled>(0x704, u"SNMPTrapEnabled", VT_BOOL, {},
                                                               u"Whether SNMP traps are enabled."),
            DispPropGet<&INotifySNMPTrap::get_SNMPTrapEnabled>(0x704, u"SNMPTrapEnabled", VT_BOOL),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyConnPt>()
{
    static const DispatchTable table(IID_INotifyConnPt, u"INotifyConnPt", u"", DispatchTableOf<INotifyHandler>(), {});
    return table;
}

const std::vector<const DispatchTable*>& NotificationHandlerLib()
{
    static const std::vector<const DispatchTable*> tables = {
        &DispatchTableOf<INotify>(),          &DispatchTableOf<INotifyHandler>(),
        &DispatchTableOf<INotifyHandlerMaintain>(), &DispatchTableOf<INotifySerialized>(),
        &DispatchTableOf<INotifyEmail>(),     &DispatchTableOf<INotifyEmail2>(),
        &DispatchTableOf<INotifyEmail3>(),    &DispatchTableOf<INotifyEmail4>(),
        &DispatchTableOf<INotifyLog>(),       &DispatchTableOf<INotifySysEvent>(),
        &DispatchTableOf<INotifyApp>(),       &DispatchTableOf<INotifySNMPTrap>(),
        &DispatchTableOf<INotifyConnPt>(),    &DispatchTableOf<INotifyWebhook>(),
    };
    return tables;
}

const DispatchTable& NotifyConnPtEventsTable()
{
    // Sinks implement it; the connection-point handler calls it through IDispatch::Invoke.
    static const DispatchTable table(
        DispatchTable::DispinterfaceTag{}, IID__INotifyConnPtEvents, u"_INotifyConnPtEvents",
        u"Notification via connection point.",
        {DispatchMember{0x1, u"NotifyEvent", DispatchKind::Method, NotifyParams(), VT_EMPTY, nullptr, u"",
                        NotifyParamNames()}});
    return table;
}

ITypeLib* NotificationHandlerTypeLib()
{
    // Freed with the module (the tables it points to are the module's too).
    struct Owner
    {
        TypeLibrary* library;
        ~Owner() { DestroyTypeLibrary(library); }
    };
    static const Owner owner{[] {
        std::vector<const DispatchTable*> interfaces = NotificationHandlerLib();
        interfaces.push_back(&NotifyConnPtEventsTable());
        const std::vector<EnumDescription> enums = {
            {u"eZD_NOTIFY_TYPE", u"Possible types of notifications.",
             {{u"NOTIFY_TYPE_UNKNOWN", 0}, {u"NOTIFY_TYPE_ERROR", 1}, {u"NOTIFY_TYPE_WARNING", 2},
              {u"NOTIFY_TYPE_INFO", 4}, {u"NOTIFY_TYPE_TEST", 8}}},
            {u"eZD_NOTIFY_PRIORITY", u"Possible priority levels of notifications.",
             {{u"NOTIFY_PRIORITY_UNKNOWN", 0}, {u"NOTIFY_PRIORITY_HIGH", 1}, {u"NOTIFY_PRIORITY_MEDIUM", 2},
              {u"NOTIFY_PRIORITY_LOW", 4}, {u"NOTIFY_PRIORITY_TEST", 8}}},
            {u"eZD_NOTIFY_ENCRYPTION_TYPE", u"Possible encryption types for security of Emails.",
             {{u"ENCRYPTION_TYPE_NONE", 0}, {u"ENCRYPTION_TYPE_TLS", 1}, {u"ENCRYPTION_TYPE_SSL", 2},
              {u"ENCRYPTION_TYPE_DISABLED", 9999}}},
            {u"eZD_NOTIFY_SMTP_AUTHENTICATION", u"",
             {{u"SMTP_AUTH_ANONYMOUS", 0}, {u"SMTP_AUTH_BASIC", 1}, {u"SMTP_AUTH_NTLM", 2},
              {u"SMTP_AUTH_DISABLED", 9999}}},
        };
        const INT def = IMPLTYPEFLAG_FDEFAULT;
        const auto& handler = DispatchTableOf<INotifyHandler>();
        const std::vector<CoclassDescription> classes = {
            {&CLSID_Notify, u"Notify", u"Loads and manages notifications and notification handlers.",
             {{&DispatchTableOf<INotify>(), def}}},
            {&CLSID_NotifyEmail, u"NotifyEmail", u"Handles notifications by sending an email through SMTP.",
             {{&DispatchTableOf<INotifyEmail>(), def},
              {&DispatchTableOf<INotifyEmail2>(), 0},
              {&DispatchTableOf<INotifyEmail3>(), 0},
              {&DispatchTableOf<INotifyEmail4>(), 0},
              {&handler, 0}}},
            {&CLSID_NotifyLog, u"NotifyLog", u"Handles notifications by appending an entry to a log file.",
             {{&DispatchTableOf<INotifyLog>(), def}, {&handler, 0}}},
            {&CLSID_NotifySysEvent, u"NotifySysEvent",
             u"Handles notifications by adding an entry in the system's application event log (Event Viewer)",
             {{&DispatchTableOf<INotifySysEvent>(), def}, {&handler, 0}}},
            {&CLSID_NotifyApp, u"NotifyApp", u"",
             {{&DispatchTableOf<INotifyApp>(), def}, {&handler, 0}, {&DispatchTableOf<INotifySerialized>(), 0}}},
            {&CLSID_NotifySNMPTrap, u"NotifySNMPTrap", u"", {{&DispatchTableOf<INotifySNMPTrap>(), def}, {&handler, 0}}},
            {&CLSID_NotifyConnPt, u"NotifyConnPt", u"",
             {{&DispatchTableOf<INotifyConnPt>(), def},
              {&handler, 0},
              {&DispatchTableOf<INotifySerialized>(), 0},
              {&NotifyConnPtEventsTable(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}},
            {&CLSID_NotifyWebhook, u"NotifyWebhook", u"Handles notifications by posting them to a webhook.",
             {{&DispatchTableOf<INotifyWebhook>(), def}, {&handler, 0}, {&DispatchTableOf<INotifySerialized>(), 0}}},
        };
        return MakeTypeLibrary(LIBID_NOTIFICATIONHANDLERLib, u"NOTIFICATIONHANDLERLib", u"NotificationHandler 1.0 Type Library",
                               1, 0, interfaces, enums, classes);
    }()};
    return AsTypeLib(owner.library);
}

// The dispatch tables of the notification interfaces: dispatch identifiers, names, kinds and types.
#include "Ferrule/ClassTable.h"
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
            DispPropGet<&INotifyHandler::get_TypeFilter>(setting::TypeFilter.id, setting::TypeFilter.name, setting::TypeFilter.type),
            DispPropPut<&INotifyHandler::put_TypeFilter>(setting::TypeFilter.id, setting::TypeFilter.name, setting::TypeFilter.type),
            DispPropGet<&INotifyHandler::get_PriorityFilter>(setting::PriorityFilter.id, setting::PriorityFilter.name, setting::PriorityFilter.type),
            DispPropPut<&INotifyHandler::put_PriorityFilter>(setting::PriorityFilter.id, setting::PriorityFilter.name, setting::PriorityFilter.type),
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
            DispPropGet<&INotifyEmail::get_Address>(setting::Address.id, setting::Address.name, setting::Address.type, {},
                                                    u"The e-mail address to send notifications to."),
            DispPropPut<&INotifyEmail::put_Address>(setting::Address.id, setting::Address.name, setting::Address.type),
            DispPropGet<&INotifyEmail::get_SMTPServer>(setting::SMTPServer.id, setting::SMTPServer.name, setting::SMTPServer.type),
            DispPropPut<&INotifyEmail::put_SMTPServer>(setting::SMTPServer.id, setting::SMTPServer.name, setting::SMTPServer.type),
            DispPropGet<&INotifyEmail::get_ServerPort>(setting::ServerPort.id, setting::ServerPort.name, setting::ServerPort.type, {}, u"Default is 25."),
            DispPropPut<&INotifyEmail::put_ServerPort>(setting::ServerPort.id, setting::ServerPort.name, setting::ServerPort.type),
            DispPropGet<&INotifyEmail::get_AddressFrom>(setting::AddressFrom.id, setting::AddressFrom.name, setting::AddressFrom.type, {},
                                                        u"The e-mail address to send notifications from."),
            DispPropPut<&INotifyEmail::put_AddressFrom>(setting::AddressFrom.id, setting::AddressFrom.name, setting::AddressFrom.type),
            DispPropGet<&INotifyEmail::get_Anonymous>(setting::Anonymous.id, setting::Anonymous.name, setting::Anonymous.type, {},
                                                      u"Whether to connect to the SMTP server anonymously."),
            DispPropPut<&INotifyEmail::put_Anonymous>(setting::Anonymous.id, setting::Anonymous.name, setting::Anonymous.type),
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
            DispPropGet<&INotifyEmail2::get_Authentication>(setting::Authentication.id, setting::Authentication.name, setting::Authentication.type, {},
                                                            u"Authentication mechanism used by the SMTP server."),
            DispPropPut<&INotifyEmail2::put_Authentication>(setting::Authentication.id, setting::Authentication.name, setting::Authentication.type),
            DispPropGet<&INotifyEmail2::get_User>(setting::User.id, setting::User.name, setting::User.type, {},
                                                  u"The user used for authentication to the SMTP server."),
            DispPropPut<&INotifyEmail2::put_User>(setting::User.id, setting::User.name, setting::User.type),
            DispPropPut<&INotifyEmail2::put_Password>(setting::Password.id, setting::Password.name, setting::Password.type, {},
                                                      u"The password used for authentication to the SMTP server."),
            DispPropGet<&INotifyEmail2::get_EncryptedPassword>(setting::EncryptedPassword.id, setting::EncryptedPassword.name, setting::EncryptedPassword.type),
            DispPropPut<&INotifyEmail2::put_EncryptedPassword>(setting::EncryptedPassword.id, setting::EncryptedPassword.name, setting::EncryptedPassword.type),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyEmail3>()
{
    static const DispatchTable table(
        IID_INotifyEmail3, u"INotifyEmail3", u"", DispatchTableOf<INotifyEmail2>(),
        {
            DispPropGet<&INotifyEmail3::get_HexEncryptedPassword>(setting::HexEncryptedPassword.id, setting::HexEncryptedPassword.name, setting::HexEncryptedPassword.type, {}, u"A hex string representation of the encrypted password."),
            DispPropPut<&INotifyEmail3::put_HexEncryptedPassword>(setting::HexEncryptedPassword.id, setting::HexEncryptedPassword.name, setting::HexEncryptedPassword.type),
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
            DispPropGet<&INotifyEmail4::get_Encryption>(setting::Encryption.id, setting::Encryption.name, setting::Encryption.type, {},
                                                        u"Encryption mechanism used by the SMTP server."),
            DispPropPut<&INotifyEmail4::put_Encryption>(setting::Encryption.id, setting::Encryption.name, setting::Encryption.type),
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
            DispPropGet<&INotifyLog::get_MaxSize>(setting::MaxSize.id, setting::MaxSize.name, setting::MaxSize.type, {},
                                                  u"Kilobytes; the maximum file size to allow before removing old log "
                                                  u"entries; -1 for no maximum."),
            DispPropPut<&INotifyLog::put_MaxSize>(setting::MaxSize.id, setting::MaxSize.name, setting::MaxSize.type),
            DispPropGet<&INotifyLog::get_FileName>(setting::FileName.id, setting::FileName.name, setting::FileName.type, {},
                                                   u"The name of the log file to append to."),
            DispPropPut<&INotifyLog::put_FileName>(setting::FileName.id, setting::FileName.name, setting::FileName.type),
            DispPropGet<&INotifyLog::get_FilePath>(setting::FilePath.id, setting::FilePath.name, setting::FilePath.type, {},
                                                   u"The folder to create the log file in."),
            DispPropPut<&INotifyLog::put_FilePath>(setting::FilePath.id, setting::FilePath.name, setting::FilePath.type),
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
            DispPropGet<&INotifyWebhook::get_URL>(setting::URL.id, setting::URL.name, setting::URL.type, {},
                                                  u"The endpoint: https, or http without a token."),
            DispPropPut<&INotifyWebhook::put_URL>(setting::URL.id, setting::URL.name, setting::URL.type),
            DispPropGet<&INotifyWebhook::get_Format>(setting::Format.id, setting::Format.name, setting::Format.type, {}, u"json, chat, text or alertmanager."),
            DispPropPut<&INotifyWebhook::put_Format>(setting::Format.id, setting::Format.name, setting::Format.type),
            DispPropPut<&INotifyWebhook::put_Token>(setting::Token.id, setting::Token.name, setting::Token.type),
            DispPropGet<&INotifyWebhook::get_StoredToken>(setting::StoredToken.id, setting::StoredToken.name, setting::StoredToken.type, {},
                                                          u"The token's stored form."),
            DispPropPut<&INotifyWebhook::put_StoredToken>(setting::StoredToken.id, setting::StoredToken.name, setting::StoredToken.type),
            DispPropGet<&INotifyWebhook::get_TimeoutSeconds>(setting::TimeoutSeconds.id, setting::TimeoutSeconds.name, setting::TimeoutSeconds.type, {},
                                                             u"Seconds a delivery may take, 1 to 60."),
            DispPropPut<&INotifyWebhook::put_TimeoutSeconds>(setting::TimeoutSeconds.id, setting::TimeoutSeconds.name, setting::TimeoutSeconds.type),
        });
    return table;
}

template <>
const DispatchTable& DispatchTableOf<INotifyApp>()
{
    static const DispatchTable table(
        IID_INotifyApp, u"INotifyApp", u"", DispatchTableOf<INotifyHandler>(),
        {
            DispPropGet<&INotifyApp::get_Clients>(setting::Clients.id, setting::Clients.name, setting::Clients.type, {},
                                                  u"The number of clients waiting for notification."),
            DispPropPut<&INotifyApp::put_Clients>(setting::Clients.id, setting::Clients.name, setting::Clients.type),
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
            DispPropGet<&INotifySNMPTrap::get_Destination>(setting::Destination.id, setting::Destination.name, setting::Destination.type),
            DispPropPut<&INotifySNMPTrap::put_Destination>(setting::Destination.id, setting::Destination.name, setting::Destination.type),
            DispPropGet<&INotifySNMPTrap::get_TrapPort>(setting::TrapPort.id, setting::TrapPort.name, setting::TrapPort.type),
            DispPropPut<&INotifySNMPTrap::put_TrapPort>(setting::TrapPort.id, setting::TrapPort.name, setting::TrapPort.type),
            DispPropGet<&INotifySNMPTrap::get_SNMPVersionV2>(setting::SNMPVersionV2.id, setting::SNMPVersionV2.name, setting::SNMPVersionV2.type, {},
                                                             u"Whether SNMP version 2 is selected."),
            DispPropPut<&INotifySNMPTrap::put_SNMPVersionV2>(setting::SNMPVersionV2.id, setting::SNMPVersionV2.name, setting::SNMPVersionV2.type),
            DispPropGet<&INotifySNMPTrap::get_CommunityString>(setting::CommunityString.id, setting::CommunityString.name, setting::CommunityString.type),
            DispPropPut<&INotifySNMPTrap::put_CommunityString>(setting::CommunityString.id, setting::CommunityString.name, setting::CommunityString.type),
            DispPropPut<&INotifySNMPTrap::put_SNMPTrapEnabled>(setting::SNMPTrapEnabled.id, setting::SNMPTrapEnabled.name, setting::SNMPTrapEnabled.type, {},
                                                               u"Whether SNMP traps are enabled."),
            DispPropGet<&INotifySNMPTrap::get_SNMPTrapEnabled>(setting::SNMPTrapEnabled.id, setting::SNMPTrapEnabled.name, setting::SNMPTrapEnabled.type),
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
        // The coclasses of the class table, each interface found among the library's tables by its IID.
        auto tableOf = [&interfaces](const IID& iid) -> const DispatchTable* {
            for (const DispatchTable* t : interfaces)
                if (t->Iid() == iid)
                    return t;
            return nullptr;
        };
        std::vector<CoclassDescription> classes;
        for (const ClassRow& c : kClasses)
        {
            CoclassDescription coclass{c.clsid, c.name, c.doc, {}};
            for (size_t i = 0; i < c.interfaceCount; ++i)
                coclass.interfaces.push_back({tableOf(*c.interfaces[i].iid), c.interfaces[i].flags});
            classes.push_back(std::move(coclass));
        }
        return MakeTypeLibrary(LIBID_NOTIFICATIONHANDLERLib, u"NOTIFICATIONHANDLERLib", u"NotificationHandler 1.0 Type Library",
                               1, 0, interfaces, enums, classes);
    }()};
    return AsTypeLib(owner.library);
}

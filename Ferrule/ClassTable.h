// The module's classes, one row each: identity and factory, registration, the interfaces of its type
// information, its settings (each property's dispatch id and type, the policy file's row, and how the tool
// takes and shows it), and whether a policy holds it from the start (with its default filters) or once
// `ferrule set` adds it (with the filters it starts with). The module's class objects, registration and
// type library, the manager's defaults, the handlers' persistence and every command of the tool read
// this table. How to add a handler: docs/ARCHITECTURE.md.
//
// The factories are defined beside their classes, and the tool's texts in the tool; both are declared
// weak here, so a program that reads the table without the other half links (it finds them null).
#pragma once

#include "Ferrule/Interfaces.h"
#include "Platform/Com/ObjectTemplates.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

// One setting of a class: a property of its dispatch interface, and the row the policy file keeps it in.
struct Setting
{
    const char16_t* name;       // the property's name in the type information
    DISPID id;                  // its dispatch id
    VARTYPE type;               // its type in the type information
    const char16_t* row;        // the policy file's element; null: never kept in the file
    VARTYPE stored;             // the element's variant type
    unsigned flags;             // Setting::k...
    const char* words;          // the words a value may be, blank-separated; "" for any
    const char16_t* storedForm; // a property that is only put: the readable property holding its stored form

    static constexpr unsigned kSecret = 1;      // never shown, never taken from the command line
    static constexpr unsigned kFromInput = 2;   // "-" reads the value from standard input
    static constexpr unsigned kUrl = 4;         // shown by its scheme, host and port only
    static constexpr unsigned kOneLine = 8;     // no line break or other control character (it goes on the wire)
    static constexpr unsigned kMinusOneMax = 16; // -1 means the largest value (no maximum)
};

namespace setting
{
inline constexpr Setting TypeFilter{u"TypeFilter", DISPID_TypeFilter, VT_UI4, u"TypeFilter", VT_UI4, 0,
                                    "error warning info test all none", nullptr};
inline constexpr Setting PriorityFilter{u"PriorityFilter", DISPID_PriorityFilter, VT_UI4, u"PriorityFilter", VT_UI4,
                                        0, "high medium low test all none", nullptr};
// E-mail.
inline constexpr Setting Address{u"Address", 0x200, VT_BSTR, u"EmailAddress", VT_BSTR, Setting::kOneLine, "", nullptr};
inline constexpr Setting SMTPServer{u"SMTPServer", 0x201, VT_BSTR, u"SMTPServer", VT_BSTR, Setting::kOneLine, "", nullptr};
inline constexpr Setting ServerPort{u"ServerPort", 0x202, VT_UINT, u"ServerPort", VT_UINT, 0, "", nullptr};
inline constexpr Setting AddressFrom{u"AddressFrom", 0x203, VT_BSTR, u"From", VT_BSTR, Setting::kOneLine, "", nullptr};
inline constexpr Setting Anonymous{u"Anonymous", 0x204, VT_BOOL, nullptr, VT_EMPTY, 0, "true false", nullptr};
inline constexpr Setting Authentication{u"Authentication", 0x600, VT_I4, u"Authentication", VT_UI4, 0, "0 1 2 9999",
                                        nullptr};
inline constexpr Setting User{u"User", 0x601, VT_BSTR, u"User", VT_BSTR, 0, "", nullptr};
inline constexpr Setting Password{u"Password", 0x602, VT_BSTR, nullptr, VT_EMPTY, Setting::kSecret | Setting::kFromInput,
                                  "", u"HexEncryptedPassword"};
inline constexpr Setting EncryptedPassword{u"EncryptedPassword", 0x603, VT_BSTR, nullptr, VT_EMPTY, Setting::kSecret, "",
                                           nullptr};
inline constexpr Setting HexEncryptedPassword{u"HexEncryptedPassword", 0x800, VT_BSTR, nullptr, VT_EMPTY,
                                              Setting::kSecret, "", nullptr};
// Kept as text: the file's format.
inline constexpr Setting Encryption{u"Encryption", 0x900, VT_I4, u"Encryption", VT_BSTR, 0, "0 1 2 9999", nullptr};
// Log file.
inline constexpr Setting MaxSize{u"MaxSize", 0x300, VT_UI4, u"MaxSize", VT_UI4, Setting::kMinusOneMax, "", nullptr};
inline constexpr Setting FileName{u"FileName", 0x301, VT_BSTR, u"File", VT_BSTR, 0, "", nullptr};
inline constexpr Setting FilePath{u"FilePath", 0x302, VT_BSTR, u"Path", VT_BSTR, 0, "", nullptr};
// Tray applications: set at run time only.
inline constexpr Setting Clients{u"Clients", 0x500, VT_UINT, nullptr, VT_EMPTY, 0, "", nullptr};
// SNMP traps.
inline constexpr Setting Destination{u"Destination", 0x700, VT_BSTR, u"Destination", VT_BSTR, 0, "", nullptr};
inline constexpr Setting TrapPort{u"TrapPort", 0x701, VT_UINT, u"TrapPort", VT_UINT, 0, "", nullptr};
inline constexpr Setting SNMPVersionV2{u"SNMPVersionV2", 0x702, VT_BOOL, u"SNMPVersionV2", VT_BOOL, 0, "true false",
                                       nullptr};
inline constexpr Setting CommunityString{u"CommunityString", 0x703, VT_BSTR, u"CommunityString", VT_BSTR, 0, "",
                                         nullptr};
inline constexpr Setting SNMPTrapEnabled{u"SNMPTrapEnabled", 0x704, VT_BOOL, u"SNMPTrapEnabled", VT_BOOL, 0,
                                         "true false", nullptr};
// Webhook. The URL's path often holds a secret: it makes the file private and is never shown.
inline constexpr Setting URL{u"URL", 0xA00, VT_BSTR, u"URL", VT_BSTR, Setting::kUrl | Setting::kFromInput, "", nullptr};
inline constexpr Setting Format{u"Format", 0xA01, VT_BSTR, u"Format", VT_BSTR, 0, "json chat text alertmanager", nullptr};
inline constexpr Setting Token{u"Token", 0xA02, VT_BSTR, nullptr, VT_EMPTY, Setting::kSecret | Setting::kFromInput, "",
                               u"StoredToken"};
inline constexpr Setting StoredToken{u"StoredToken", 0xA03, VT_BSTR, u"StoredToken", VT_BSTR, Setting::kSecret, "",
                                     nullptr};
inline constexpr Setting TimeoutSeconds{u"TimeoutSeconds", 0xA04, VT_UI4, u"TimeoutSeconds", VT_UI4, 0, "", nullptr};
} // namespace setting

// What the tool says of a handler of a class (defined in the tool; null in the module).
struct HandlerTexts
{
    // Whether and where it delivers, for `ferrule handlers` (after the filters are found not none).
    std::string (*state)(INotifyHandler* handler, const std::string& application);
    // The rule by which it accepted a test notification and sent nothing, or "" when it sent it.
    std::string (*ownRule)(INotifyHandler* handler);
    // A note for `ferrule set` to print after a set left it as it is, or "".
    std::string (*afterSet)(INotifyHandler* handler);
};

struct ClassRow
{
    // Identity, factory and registration.
    const CLSID* clsid;
    ComCreatorFunction create;
    const char16_t* name; // the coclass's name in the type library
    const char16_t* doc;
    int script; // the registration script's resource number
    const char16_t* description;
    const char16_t* progId;
    const char16_t* versionIndependent;
    const char16_t* classProgId; // the ProgID value under the class key
    const char16_t* threading;
    // The interfaces of its type information, the default first; an event source is marked by the
    // implementation flags of the type library.
    struct Interface
    {
        const IID* iid;
        int flags;
    };
    const Interface* interfaces;
    size_t interfaceCount;
    // Its settings, in the order the policy file keeps them.
    const Setting* settings;
    size_t settingCount;
    // In the policy from the start (built in), or once `ferrule set` names it (added); the manager is
    // neither. The filters it starts with.
    enum class Presence
    {
        Manager,
        BuiltIn,
        Added,
    } presence;
    uint32_t typeFilter;
    uint32_t priorityFilter;
    HandlerTexts texts;

    bool IsHandler() const { return presence != Presence::Manager; }
};

// The factories, each defined beside its class by FERRULE_CLASS_FACTORY(Notify..., C...).
#define FERRULE_CLASS_FACTORY(name, Class)                                                                  \
    HRESULT Create##name(IUnknown* outer, REFIID iid, void** object)                                        \
    {                                                                                                        \
        return ComCreator<Class>::CreateInstance(outer, iid, object);                                       \
    }
HRESULT CreateNotify(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifyEmail(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifyLog(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifySysEvent(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifyApp(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifySNMPTrap(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifyConnPt(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));
HRESULT CreateNotifyWebhook(IUnknown* outer, REFIID iid, void** object) __attribute__((weak));

// The tool's texts of the classes that have some.
std::string EmailState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string EmailOwnRule(INotifyHandler* handler) __attribute__((weak));
std::string EmailAfterSet(INotifyHandler* handler) __attribute__((weak));
std::string LogState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string SysEventState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string AppState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string AppOwnRule(INotifyHandler* handler) __attribute__((weak));
std::string TrapState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string TrapOwnRule(INotifyHandler* handler) __attribute__((weak));
std::string ConnPtState(INotifyHandler* handler, const std::string& application) __attribute__((weak));
std::string ConnPtOwnRule(INotifyHandler* handler) __attribute__((weak));
std::string WebhookState(INotifyHandler* handler, const std::string& application) __attribute__((weak));

namespace classes
{
using I = ClassRow::Interface;
inline constexpr int kDefault = IMPLTYPEFLAG_FDEFAULT;
inline constexpr int kSource = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;

inline constexpr I kNotifyInterfaces[] = {{&IID_INotify, kDefault}};
inline constexpr I kEmailInterfaces[] = {{&IID_INotifyEmail, kDefault},
                                         {&IID_INotifyEmail2, 0},
                                         {&IID_INotifyEmail3, 0},
                                         {&IID_INotifyEmail4, 0},
                                         {&IID_INotifyHandler, 0}};
inline constexpr I kLogInterfaces[] = {{&IID_INotifyLog, kDefault}, {&IID_INotifyHandler, 0}};
inline constexpr I kSysEventInterfaces[] = {{&IID_INotifySysEvent, kDefault}, {&IID_INotifyHandler, 0}};
inline constexpr I kAppInterfaces[] = {
    {&IID_INotifyApp, kDefault}, {&IID_INotifyHandler, 0}, {&IID_INotifySerialized, 0}};
inline constexpr I kTrapInterfaces[] = {{&IID_INotifySNMPTrap, kDefault}, {&IID_INotifyHandler, 0}};
inline constexpr I kConnPtInterfaces[] = {{&IID_INotifyConnPt, kDefault},
                                          {&IID_INotifyHandler, 0},
                                          {&IID_INotifySerialized, 0},
                                          {&IID__INotifyConnPtEvents, kSource}};
inline constexpr I kWebhookInterfaces[] = {
    {&IID_INotifyWebhook, kDefault}, {&IID_INotifyHandler, 0}, {&IID_INotifySerialized, 0}};

inline constexpr Setting kFilters[] = {setting::TypeFilter, setting::PriorityFilter};
inline constexpr Setting kEmailSettings[] = {
    setting::TypeFilter, setting::PriorityFilter,    setting::Address,  setting::SMTPServer,
    setting::ServerPort, setting::AddressFrom,       setting::Authentication, setting::User,
    setting::Encryption, setting::Password,          setting::EncryptedPassword, setting::HexEncryptedPassword,
    setting::Anonymous};
inline constexpr Setting kLogSettings[] = {setting::TypeFilter, setting::PriorityFilter, setting::FilePath,
                                           setting::FileName, setting::MaxSize};
inline constexpr Setting kAppSettings[] = {setting::TypeFilter, setting::PriorityFilter, setting::Clients};
inline constexpr Setting kTrapSettings[] = {setting::TypeFilter,    setting::PriorityFilter,  setting::Destination,
                                            setting::TrapPort,      setting::SNMPVersionV2,   setting::CommunityString,
                                            setting::SNMPTrapEnabled};
inline constexpr Setting kWebhookSettings[] = {setting::TypeFilter, setting::PriorityFilter, setting::URL,
                                               setting::Format,     setting::Token,          setting::StoredToken,
                                               setting::TimeoutSeconds};

template <class T, size_t N>
constexpr size_t Count(const T (&)[N])
{
    return N;
}
} // namespace classes

// In registration order (the scripts' resource numbers); the manager creates its built-in handlers in
// this order too.
inline const ClassRow kClasses[] = {
    {&CLSID_Notify, &CreateNotify, u"Notify", u"Loads and manages notifications and notification handlers.", 101,
     u"Notify Class", u"Quellon.Notify.1", u"Quellon.Notify", u"Quellon.Notify.1", u"Both", classes::kNotifyInterfaces,
     classes::Count(classes::kNotifyInterfaces), nullptr, 0, ClassRow::Presence::Manager, 0, 0, {}},
    {&CLSID_NotifyEmail, &CreateNotifyEmail, u"NotifyEmail", u"Handles notifications by sending an email through SMTP.",
     102, u"NotifyEmail Class", u"Quellon.Notify.NotifyEmail.1", u"Quellon.Notify.NotifyEmail",
     u"Quellon.Notify.NotifyEmail.1", u"Apartment", classes::kEmailInterfaces, classes::Count(classes::kEmailInterfaces),
     classes::kEmailSettings, classes::Count(classes::kEmailSettings), ClassRow::Presence::BuiltIn, 0, 1,
     {&EmailState, &EmailOwnRule, &EmailAfterSet}},
    {&CLSID_NotifyLog, &CreateNotifyLog, u"NotifyLog", u"Handles notifications by appending an entry to a log file.",
     103, u"NotifyLog Class", u"Quellon.Notify.NotifyLog.1", u"Quellon.Notify.NotifyLog", u"Quellon.Notify.NotifyLog.1",
     u"Apartment", classes::kLogInterfaces, classes::Count(classes::kLogInterfaces), classes::kLogSettings,
     classes::Count(classes::kLogSettings), ClassRow::Presence::BuiltIn, 7, 7, {&LogState, nullptr, nullptr}},
    {&CLSID_NotifySysEvent, &CreateNotifySysEvent, u"NotifySysEvent",
     u"Handles notifications by adding an entry in the system's application event log (Event Viewer)", 104,
     u"NotifySysEvent Class", u"Quellon.Notify.NotifySysEvent.1", u"Quellon.Notify.NotifySysEvent",
     u"Quellon.Notify.NotifySysEvent.1", u"Apartment", classes::kSysEventInterfaces,
     classes::Count(classes::kSysEventInterfaces), classes::kFilters, classes::Count(classes::kFilters),
     ClassRow::Presence::BuiltIn, 7, 3, {&SysEventState, nullptr, nullptr}},
    {&CLSID_NotifyApp, &CreateNotifyApp, u"NotifyApp", u"", 105, u"NotifyApp Class", u"Quellon.Notify.NotifyApp.1",
     u"Quellon.Notify.NotifyApp", u"Quellon.Notify.NotifyApp.1", u"Apartment", classes::kAppInterfaces,
     classes::Count(classes::kAppInterfaces), classes::kAppSettings, classes::Count(classes::kAppSettings),
     ClassRow::Presence::BuiltIn, 1, 7, {&AppState, &AppOwnRule, nullptr}},
    {&CLSID_NotifySNMPTrap, &CreateNotifySNMPTrap, u"NotifySNMPTrap", u"", 109, u"NotifySNMPTrap Class",
     u"Quellon.Notify.NotifySNMPTrap.1", u"Quellon.Notify.NotifySNMPTrap", u"Quellon.Notify.NotifySNMPTrap.1",
     u"Apartment", classes::kTrapInterfaces, classes::Count(classes::kTrapInterfaces), classes::kTrapSettings,
     classes::Count(classes::kTrapSettings), ClassRow::Presence::BuiltIn, 0, 1, {&TrapState, &TrapOwnRule, nullptr}},
    {&CLSID_NotifyConnPt, &CreateNotifyConnPt, u"NotifyConnPt", u"", 110, u"NotifyConnPt Class",
     u"Quellon.Notify.NotifyConnPt.1", u"Quellon.Notify.NotifyConnPt", u"Ferrule.NotifyConnPt.1", u"Apartment",
     classes::kConnPtInterfaces, classes::Count(classes::kConnPtInterfaces), classes::kFilters,
     classes::Count(classes::kFilters), ClassRow::Presence::BuiltIn, 7, 7, {&ConnPtState, &ConnPtOwnRule, nullptr}},
    {&CLSID_NotifyWebhook, &CreateNotifyWebhook, u"NotifyWebhook", u"Handles notifications by posting them to a webhook.",
     111, u"NotifyWebhook Class", u"Quellon.NotifyWebhook.1", u"Quellon.NotifyWebhook", u"Quellon.NotifyWebhook.1",
     u"Apartment", classes::kWebhookInterfaces, classes::Count(classes::kWebhookInterfaces), classes::kWebhookSettings,
     classes::Count(classes::kWebhookSettings), ClassRow::Presence::Added, NOTIFY_TYPE_ERROR,
     NOTIFY_PRIORITY_HIGH | NOTIFY_PRIORITY_MEDIUM | NOTIFY_PRIORITY_LOW, {&WebhookState, nullptr, nullptr}},
};

// The row of a class, or null.
inline const ClassRow* ClassRowOf(REFCLSID clsid)
{
    for (const ClassRow& c : kClasses)
        if (*c.clsid == clsid)
            return &c;
    return nullptr;
}

// A class's setting by its property name (case-insensitive, as dispatch names are), or null.
inline const Setting* SettingOf(const ClassRow& row, const std::u16string& name)
{
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    for (size_t i = 0; i < row.settingCount; ++i)
    {
        const std::u16string_view candidate = row.settings[i].name;
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(),
                       [&](char16_t a, char16_t b) { return lower(a) == lower(b); }))
            return &row.settings[i];
    }
    return nullptr;
}

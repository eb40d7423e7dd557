#include "Messages/MessageTables.h"
#include "Platform/Win32/EventLog.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"

#include <cstdlib>
#include "Base/Dev/Global/StringRepository.h"

namespace
{
// English texts exactly as the system words them.
const TextEntry kResultTexts[] = {
    {NOTIFY_ERROR_LOAD_FAILED, u"Unable to load notification preferences."},
    {NOTIFY_ERROR_EVENTLOG_OPEN_FAILED, u"Unable to open the event log."},
    {NOTIFY_ERROR_EVENTLOG_WRITE_FAILED, u"Unable to write to the event log."},
    {NOTIFY_ERROR_LOG_CREATE_FAILED, u"Unable to create or open log file."},
    {NOTIFY_ERROR_LOG_WRITE_FAILED, u"Unable to write into log file."},
    {NOTIFY_ERROR_EMAIL_SEND, u"Unable to send notification e-mail."},
    {NOTIFY_ERROR_EMAIL_UNAVAILABLE, u"Unable to load OS's e-mail functionality."},
    {NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED, u"Handlers have not been initilized - use Initialize."},
    {NOTIFY_ERROR_APPLICATION_NAME, u"An application name must be specified."},
    {NOTIFY_ERROR_EMAIL_NO_ADDRESS, u"An e-mail address and smtp server must be specified before a notification can be emailed."},
    {NOTIFY_ERROR_EMAIL_CONFIG, u"Configuring e-mail provider."},
    {NOTIFY_ERROR_LOAD_WRENLOW, u"Loading Wrenlow library."},
    {NOTIFY_ERROR_CURL_INITIALIZATION_FAILED, u"Could not intialize the curl."},
    {NOTIFY_ERROR_CURL_RESOLVE_HOST, u"Check the fully-qualified domain name and port number of the SMTP server."},
    {NOTIFY_ERROR_CURL_LOGIN_DENIED, u"Check the credentials of e-mail Id."},
    {NOTIFY_ERROR_EMAIL_PLAIN_LOGIN,
     u"The SMTP server %1 offers no STARTTLS, so a basic login would send the password in clear; nothing was sent. "
     u"Enable STARTTLS on the server, or set FERRULE_SMTP_ALLOW_PLAIN_LOGIN=1 to allow such a login."},
    {NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED,
     u"The SMTP server refused the recipients %1; every recipient it accepted was sent the notification."},
    {NOTIFY_ERROR_EMAIL_ADDRESS_INVALID,
     u"The e-mail setting %1 holds a line break or another control character; nothing was sent. Set it again."},
    {NOTIFY_ERROR_EMAIL_CERTIFICATE,
     u"The certificate of the SMTP server %1 could not be verified; name the certificate of its authority in "
     u"FERRULE_SMTP_CA_FILE."},
    {NOTIFY_ERROR_EMAIL_PASSWORD_UNREADABLE,
     u"The stored SMTP password (%1) could not be read; set it again: ferrule set E-mail Password=-"},
    {NOTIFY_ERROR_HANDLER_NOT_LOADED,
     u"The handler at %1 of the policy file %2 could not be loaded, so it delivers nothing until the file is "
     u"corrected; the element is kept as it is. Reason: %3"},
    {NOTIFY_ERROR_WEBHOOK_FAILED, u"Unable to deliver the notification to the webhook: %1"},
    {NOTIFY_ERROR_EMAIL_NOT_RESOLVED, u"The name of the SMTP server %1 does not resolve on this machine: %2"},
    {NOTIFY_ERROR_EMAIL_NOT_REACHED,
     u"No connection to the SMTP server %1 on port %2 (is it running, and listening on that port?): %3"},
    {NOTIFY_ERROR_EMAIL_TIMED_OUT,
     u"The SMTP server %1 on port %2 did not answer in time (down, stalled, or a firewall drops the connection): %3"},
    {NOTIFY_ERROR_EMAIL_TLS, u"TLS with the SMTP server %1 could not be set up: %2"},
    {NOTIFY_ERROR_EMAIL_EXCHANGE, u"The SMTP exchange with %1 failed: %2"},
    {NOTIFY_ERROR_KEPT, u"Kept in the outbox as entry %1, retried until %2 (ferrule flush sends it)."},
    {NOTIFY_ERROR_KEPT_DOWN,
     u"Kept in the outbox as entry %1, retried until %2; %3 down since %4, so it was not tried again now."},
    {NOTIFY_ERROR_NOT_KEPT, u"The notification could not be kept in the outbox: %1"},
    {NOTIFY_ERROR_OUTBOX_FULL, u"The outbox of %1 was full: its oldest entries were dropped: %2"},
    {NOTIFY_ERROR_GIVEN_UP, u"Given up after %1 attempts since %2: the %3 to %4 (outbox entry %5). Last failure: %6"},
};

const NameEntry kResultNames[] = {
    {NOTIFY_ERROR_LOAD_FAILED, "NOTIFY_ERROR_LOAD_FAILED"},
    {NOTIFY_ERROR_EVENTLOG_OPEN_FAILED, "NOTIFY_ERROR_EVENTLOG_OPEN_FAILED"},
    {NOTIFY_ERROR_EVENTLOG_WRITE_FAILED, "NOTIFY_ERROR_EVENTLOG_WRITE_FAILED"},
    {NOTIFY_ERROR_LOG_CREATE_FAILED, "NOTIFY_ERROR_LOG_CREATE_FAILED"},
    {NOTIFY_ERROR_LOG_WRITE_FAILED, "NOTIFY_ERROR_LOG_WRITE_FAILED"},
    {NOTIFY_ERROR_EMAIL_SEND, "NOTIFY_ERROR_EMAIL_SEND"},
    {NOTIFY_ERROR_EMAIL_UNAVAILABLE, "NOTIFY_ERROR_EMAIL_UNAVAILABLE"},
    {NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED, "NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED"},
    {NOTIFY_ERROR_APPLICATION_NAME, "NOTIFY_ERROR_APPLICATION_NAME"},
    {NOTIFY_ERROR_EMAIL_NO_ADDRESS, "NOTIFY_ERROR_EMAIL_NO_ADDRESS"},
    {NOTIFY_ERROR_EMAIL_CONFIG, "NOTIFY_ERROR_EMAIL_CONFIG"},
    {NOTIFY_ERROR_LOAD_WRENLOW, "NOTIFY_ERROR_LOAD_WRENLOW"},
    {NOTIFY_ERROR_CURL_INITIALIZATION_FAILED, "NOTIFY_ERROR_CURL_INITIALIZATION_FAILED"},
    {NOTIFY_ERROR_CURL_RESOLVE_HOST, "NOTIFY_ERROR_CURL_RESOLVE_HOST"},
    {NOTIFY_ERROR_CURL_LOGIN_DENIED, "NOTIFY_ERROR_CURL_LOGIN_DENIED"},
    {NOTIFY_ERROR_EMAIL_PLAIN_LOGIN, "NOTIFY_ERROR_EMAIL_PLAIN_LOGIN"},
    {NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED, "NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED"},
    {NOTIFY_ERROR_EMAIL_ADDRESS_INVALID, "NOTIFY_ERROR_EMAIL_ADDRESS_INVALID"},
    {NOTIFY_ERROR_EMAIL_CERTIFICATE, "NOTIFY_ERROR_EMAIL_CERTIFICATE"},
    {NOTIFY_ERROR_EMAIL_PASSWORD_UNREADABLE, "NOTIFY_ERROR_EMAIL_PASSWORD_UNREADABLE"},
    {NOTIFY_ERROR_HANDLER_NOT_LOADED, "NOTIFY_ERROR_HANDLER_NOT_LOADED"},
    {NOTIFY_ERROR_WEBHOOK_FAILED, "NOTIFY_ERROR_WEBHOOK_FAILED"},
    {NOTIFY_ERROR_EMAIL_NOT_RESOLVED, "NOTIFY_ERROR_EMAIL_NOT_RESOLVED"},
    {NOTIFY_ERROR_EMAIL_NOT_REACHED, "NOTIFY_ERROR_EMAIL_NOT_REACHED"},
    {NOTIFY_ERROR_EMAIL_TIMED_OUT, "NOTIFY_ERROR_EMAIL_TIMED_OUT"},
    {NOTIFY_ERROR_EMAIL_TLS, "NOTIFY_ERROR_EMAIL_TLS"},
    {NOTIFY_ERROR_EMAIL_EXCHANGE, "NOTIFY_ERROR_EMAIL_EXCHANGE"},
    {NOTIFY_ERROR_KEPT, "NOTIFY_ERROR_KEPT"},
    {NOTIFY_ERROR_KEPT_DOWN, "NOTIFY_ERROR_KEPT_DOWN"},
    {NOTIFY_ERROR_NOT_KEPT, "NOTIFY_ERROR_NOT_KEPT"},
    {NOTIFY_ERROR_OUTBOX_FULL, "NOTIFY_ERROR_OUTBOX_FULL"},
    {NOTIFY_ERROR_GIVEN_UP, "NOTIFY_ERROR_GIVEN_UP"},
};

const TextEntry kStringTexts[] = {
    {IDS_ERROR_LOAD_FAILED, u"Unable to load notification preferences."},
    {IDS_TYPE_ERROR, u"Error"},
    {IDS_TYPE_WARNING, u"Warning"},
    {IDS_TYPE_INFO, u"Info"},
    {IDS_ERROR_EVENTLOG_OPEN_FAILED, u"Unable to open the event log."},
    {IDS_ERROR_EVENTLOG_WRITE_FAILED, u"Unable to write to the event log."},
    {IDS_EMAIL_BODY, u"Date: %1\r\nNotification Type: %2\r\nPriority: %3\r\nDescription: %4\r\nDetails: %5\r\n"},
    {IDS_PRIORITY_HIGH, u"High"},
    {IDS_PRIORITY_MEDIUM, u"Medium"},
    {IDS_PRIORITY_UNKNOWN, u"Unknown"},
    {IDS_TYPE_UNKNOWN, u"Unknown"},
    {IDS_EMAIL_SUBJECT, u"%1 Priority %2 Notification (%3) from %4 on %5"},
    {IDS_PRIORITY_LOW, u"Low"},
    {IDS_DEFAULT_LOG_EXTENSION, u".log.txt"},
    {IDS_LOG_ENTRY_FORMAT, u"%1 %2 Priority %3: %4 %5 (%6)\r\n"},
    {IDS_ERROR_LOG_CREATE_FAILED, u"Unable to create or open log file."},
    {IDS_ERROR_LOG_WRITE_FAILED, u"Error writing to log file."},
    {IDS_ERROR_EMAIL_SEND, u"Unable to send notification e-mail."},
    {IDS_ERROR_EMAIL_UNAVAILABLE, u"Unable to load OS's e-mail functionality."},
    {IDS_HANDLER_NAME_SYSLOG, u"EventLog"},
    {IDS_HANDLER_NAME_WEBHOOK, u"Webhook"},
    {IDS_HANDLER_NAME_LOG, u"LogFile"},
    {IDS_HANDLER_NAME_EMAIL, u"E-mail"},
    {IDS_ERROR_HANDLERS_NOT_INITIALIZED, u"Handlers have not been initilized - use Initialize."},
    {IDS_ERROR_APPLICATION_NAME, u"An application name must be specified."},
    {IDS_ERROR_EMAIL_NO_ADDRESS, u"An e-mail address and smtp server must be specified before a notification can be emailed."},
    {IDS_SYSLOG_ENTRY_FORMAT, u"%1\r\nDetails: %2\r\nSource: %3"},
    {IDS_ERROR_EMAIL_CONFIG, u"Error configuring e-mail provider."},
    {IDS_HANDLER_NAME_APP, u"AppNotifier"},
    {IDS_APP_ENTRY_FORMAT, u"[%1 Priority] %2"},
    {IDS_APP_PIPE_PATH, u"\\\\.\\PIPE\\TRAYICON_NOTIFIER"},
    {IDS_HANDLER_NAME_SNMP_TRAP, u"SNMP Trap"},
    {IDS_EMAIL_BODY_NODETAILS, u"Date: %1\r\nNotification Type: %2\r\nPriority: %3\r\nDescription: %4\r\n"},
    {IDS_SUBJEST_TYPE_SUCCESS, u"Success"},
    {IDS_SUBJEST_TYPE_FAILURE, u"Failure"},
    {IDS_EMAIL_FROM, u"From: %1\r\n"},
    {IDS_EMAIL_TO, u"TO: %1\r\n"},
    {IDS_EMAIL_CURL_SUBJECT, u"Subject: %1\r\n\r\n"},
    {IDS_EMAIL_CURL_BODY, u"%1\r\n"},
    {IDS_EMAIL_CURL_DATE, u"Date: %1\r\n"},
    {IDS_POLICY_NOT_READ_WHOLE, u"The policy file %1 could not be read whole (reading stopped at %2); it is left as it is."},
    {IDS_POLICY_REPLACED_UNREADABLE, u"The policy file %1 could not be read whole (reading stopped at %2); it was kept as %3 and replaced."},
    {IDS_POLICY_WRITE_FAILED, u"The policy file %1 could not be written: %2"},
    {IDS_BAG_INVALID_NAME, u"The property name \"%1\" is not a valid XML element name."},
    {IDS_BAG_INVALID_CHARACTER, u"The value of %1 holds the character U+%2, which an XML file cannot hold."},
    {IDS_BAG_TOO_DEEP, u"Objects and arrays are nested deeper than %1 levels at %2."},
    {IDS_HANDLER_NOT_LOADED,
     u"The handler at %1 of the policy file %2 could not be loaded, so it delivers nothing until the file is "
     u"corrected; the element is kept as it is. Reason: %3"},
};

const NameEntry kStringNames[] = {
    {IDS_ERROR_LOAD_FAILED, "IDS_ERROR_LOAD_FAILED"},
    {IDS_TYPE_ERROR, "IDS_TYPE_ERROR"},
    {IDS_TYPE_WARNING, "IDS_TYPE_WARNING"},
    {IDS_TYPE_INFO, "IDS_TYPE_INFO"},
    {IDS_ERROR_EVENTLOG_OPEN_FAILED, "IDS_ERROR_EVENTLOG_OPEN_FAILED"},
    {IDS_ERROR_EVENTLOG_WRITE_FAILED, "IDS_ERROR_EVENTLOG_WRITE_FAILED"},
    {IDS_EMAIL_BODY, "IDS_EMAIL_BODY"},
    {IDS_PRIORITY_HIGH, "IDS_PRIORITY_HIGH"},
    {IDS_PRIORITY_MEDIUM, "IDS_PRIORITY_MEDIUM"},
    {IDS_PRIORITY_UNKNOWN, "IDS_PRIORITY_UNKNOWN"},
    {IDS_TYPE_UNKNOWN, "IDS_TYPE_UNKNOWN"},
    {IDS_EMAIL_SUBJECT, "IDS_EMAIL_SUBJECT"},
    {IDS_PRIORITY_LOW, "IDS_PRIORITY_LOW"},
    {IDS_DEFAULT_LOG_EXTENSION, "IDS_DEFAULT_LOG_EXTENSION"},
    {IDS_LOG_ENTRY_FORMAT, "IDS_LOG_ENTRY_FORMAT"},
    {IDS_ERROR_LOG_CREATE_FAILED, "IDS_ERROR_LOG_CREATE_FAILED"},
    {IDS_ERROR_LOG_WRITE_FAILED, "IDS_ERROR_LOG_WRITE_FAILED"},
    {IDS_ERROR_EMAIL_SEND, "IDS_ERROR_EMAIL_SEND"},
    {IDS_ERROR_EMAIL_UNAVAILABLE, "IDS_ERROR_EMAIL_UNAVAILABLE"},
    {IDS_HANDLER_NAME_SYSLOG, "IDS_HANDLER_NAME_SYSLOG"},
    {IDS_HANDLER_NAME_WEBHOOK, "IDS_HANDLER_NAME_WEBHOOK"},
    {IDS_HANDLER_NAME_LOG, "IDS_HANDLER_NAME_LOG"},
    {IDS_HANDLER_NAME_EMAIL, "IDS_HANDLER_NAME_EMAIL"},
    {IDS_ERROR_HANDLERS_NOT_INITIALIZED, "IDS_ERROR_HANDLERS_NOT_INITIALIZED"},
    {IDS_ERROR_APPLICATION_NAME, "IDS_ERROR_APPLICATION_NAME"},
    {IDS_ERROR_EMAIL_NO_ADDRESS, "IDS_ERROR_EMAIL_NO_ADDRESS"},
    {IDS_SYSLOG_ENTRY_FORMAT, "IDS_SYSLOG_ENTRY_FORMAT"},
    {IDS_ERROR_EMAIL_CONFIG, "IDS_ERROR_EMAIL_CONFIG"},
    {IDS_HANDLER_NAME_APP, "IDS_HANDLER_NAME_APP"},
    {IDS_APP_ENTRY_FORMAT, "IDS_APP_ENTRY_FORMAT"},
    {IDS_APP_PIPE_PATH, "IDS_APP_PIPE_PATH"},
    {IDS_HANDLER_NAME_SNMP_TRAP, "IDS_HANDLER_NAME_SNMP_TRAP"},
    {IDS_EMAIL_BODY_NODETAILS, "IDS_EMAIL_BODY_NODETAILS"},
    {IDS_SUBJEST_TYPE_SUCCESS, "IDS_SUBJEST_TYPE_SUCCESS"},
    {IDS_SUBJEST_TYPE_FAILURE, "IDS_SUBJEST_TYPE_FAILURE"},
    {IDS_EMAIL_FROM, "IDS_EMAIL_FROM"},
    {IDS_EMAIL_TO, "IDS_EMAIL_TO"},
    {IDS_EMAIL_CURL_SUBJECT, "IDS_EMAIL_CURL_SUBJECT"},
    {IDS_EMAIL_CURL_BODY, "IDS_EMAIL_CURL_BODY"},
    {IDS_EMAIL_CURL_DATE, "IDS_EMAIL_CURL_DATE"},
    {IDS_POLICY_NOT_READ_WHOLE, "IDS_POLICY_NOT_READ_WHOLE"},
    {IDS_POLICY_REPLACED_UNREADABLE, "IDS_POLICY_REPLACED_UNREADABLE"},
    {IDS_POLICY_WRITE_FAILED, "IDS_POLICY_WRITE_FAILED"},
    {IDS_BAG_INVALID_NAME, "IDS_BAG_INVALID_NAME"},
    {IDS_BAG_INVALID_CHARACTER, "IDS_BAG_INVALID_CHARACTER"},
    {IDS_BAG_TOO_DEEP, "IDS_BAG_TOO_DEEP"},
    {IDS_HANDLER_NOT_LOADED, "IDS_HANDLER_NOT_LOADED"},
};

template <class T, size_t N>
constexpr size_t CountOf(const T (&)[N])
{
    return N;
}
// The message resource the event viewer shows entries with: categories 1 to 3 and event 100.
const MessageResourceEntry kEventMessages[] = {
    {1, 1033, u"High Priority\r\n"},      {2, 1033, u"Medium Priority\r\n"},     {3, 1033, u"Low Priority\r\n"},
    {1, 1031, u"Hoch Priorität\r\n"},     {2, 1031, u"Mittel Priorität\r\n"},    {3, 1031, u"Niedrig Priorität\r\n"},
    {1, 1034, u"Alta prioridad\r\n"},     {2, 1034, u"Media prioridad\r\n"},     {3, 1034, u"Baja prioridad\r\n"},
    {1, 1036, u"Priorité Élevé\r\n"},     {2, 1036, u"Priorité Moyen\r\n"},      {3, 1036, u"Priorité Bas\r\n"},
    {1, 1040, u"Alta Priorità\r\n"},      {2, 1040, u"Media Priorità\r\n"},      {3, 1040, u"Bassa Priorità\r\n"},
    {1, 1041, u"高 優先度\r\n"},          {2, 1041, u"中 優先度\r\n"},           {3, 1041, u"低 優先度\r\n"},
    {1, 1042, u"우선순위 높음\r\n"},      {2, 1042, u"우선순위 중간\r\n"},       {3, 1042, u"우선순위 낮음\r\n"},
    {1, 1043, u"Hoog Prioriteit\r\n"},    {2, 1043, u"Gemiddeld Prioriteit\r\n"}, {3, 1043, u"Laag Prioriteit\r\n"},
    {1, 1045, u"Wysoki Priorytet\r\n"},   {2, 1045, u"Średni Priorytet\r\n"},    {3, 1045, u"Niski Priorytet\r\n"},
    {1, 1046, u"Alta Prioridade\r\n"},    {2, 1046, u"Média Prioridade\r\n"},    {3, 1046, u"Baixa Prioridade\r\n"},
    {1, 1053, u"Hög prioritet\r\n"},      {2, 1053, u"Mellanprioritet\r\n"},     {3, 1053, u"Låg prioritet\r\n"},
    {1, 1028, u"高 優先順序\r\n"},        {2, 1028, u"中 優先順序\r\n"},         {3, 1028, u"低 優先順序\r\n"},
    {1, 2052, u"高 优先级\r\n"},          {2, 2052, u"中 优先级\r\n"},           {3, 2052, u"低 优先级\r\n"},
    {100, 1033, u"%1\r\n"}, {100, 1031, u"%1\r\n"}, {100, 1034, u"%1\r\n"}, {100, 1036, u"%1\r\n"},
    {100, 1040, u"%1\r\n"}, {100, 1041, u"%1\r\n"}, {100, 1042, u"%1\r\n"}, {100, 1043, u"%1\r\n"},
    {100, 1045, u"%1\r\n"}, {100, 1046, u"%1\r\n"}, {100, 1053, u"%1\r\n"}, {100, 1028, u"%1\r\n"},
    {100, 2052, u"%1\r\n"},
};
} // namespace

std::string ModulePath()
{
    return Utf16ToUtf8(ModuleFileOfAddress(reinterpret_cast<const void*>(&ModulePath)));
}

void RegisterMessageTables()
{
    RegisterMessageResource(ModulePath().c_str(), kEventMessages, sizeof kEventMessages / sizeof kEventMessages[0]);
    StringRepository::RegisterComponent("Ferrule", kNotifyFacility);
    CompiledStringProvider::AddTable(kResultTexts, CountOf(kResultTexts), "Ferrule");
    StringRepository::AddNames(kResultNames, CountOf(kResultNames));
    CompiledStringProvider::AddTable(kStringTexts, CountOf(kStringTexts), "Ferrule");
    StringRepository::AddNames(kStringNames, CountOf(kStringNames));
}

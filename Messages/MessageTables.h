// The module's message identifiers and result codes (facility 0xCE3, component "Ferrule").
#pragma once

#include "Base/Dev/Global/Types.h"

#include <cstdint>
#include <string>

// Result codes (severity error).
constexpr uint32_t NOTIFY_ERROR_LOAD_FAILED = 0xECE30065;
constexpr uint32_t NOTIFY_ERROR_EVENTLOG_OPEN_FAILED = 0xECE30066;
constexpr uint32_t NOTIFY_ERROR_EVENTLOG_WRITE_FAILED = 0xECE30067;
constexpr uint32_t NOTIFY_ERROR_LOG_CREATE_FAILED = 0xECE30068;
constexpr uint32_t NOTIFY_ERROR_LOG_WRITE_FAILED = 0xECE30069;
constexpr uint32_t NOTIFY_ERROR_EMAIL_SEND = 0xECE3006A;
constexpr uint32_t NOTIFY_ERROR_EMAIL_UNAVAILABLE = 0xECE3006B;
constexpr uint32_t NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED = 0xECE3006C;
constexpr uint32_t NOTIFY_ERROR_APPLICATION_NAME = 0xECE3006D;
constexpr uint32_t NOTIFY_ERROR_EMAIL_NO_ADDRESS = 0xECE3006E;
constexpr uint32_t NOTIFY_ERROR_EMAIL_CONFIG = 0xECE3006F;
constexpr uint32_t NOTIFY_ERROR_LOAD_WRENLOW = 0xECE30070;
constexpr uint32_t NOTIFY_ERROR_CURL_INITIALIZATION_FAILED = 0xECE30071;
constexpr uint32_t NOTIFY_ERROR_CURL_RESOLVE_HOST = 0xECE30072;
constexpr uint32_t NOTIFY_ERROR_CURL_LOGIN_DENIED = 0xECE30073;
constexpr uint32_t NOTIFY_ERROR_EMAIL_PLAIN_LOGIN = 0xECE30074;
constexpr uint32_t NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED = 0xECE30075;
constexpr uint32_t NOTIFY_ERROR_EMAIL_ADDRESS_INVALID = 0xECE30076;
constexpr uint32_t NOTIFY_ERROR_EMAIL_CERTIFICATE = 0xECE30077;
constexpr uint32_t NOTIFY_ERROR_EMAIL_PASSWORD_UNREADABLE = 0xECE30078;
constexpr uint32_t NOTIFY_ERROR_HANDLER_NOT_LOADED = 0xECE30079;
constexpr uint32_t NOTIFY_ERROR_WEBHOOK_FAILED = 0xECE3007A;
constexpr uint32_t NOTIFY_ERROR_EMAIL_NOT_RESOLVED = 0xECE3007B;
constexpr uint32_t NOTIFY_ERROR_EMAIL_NOT_REACHED = 0xECE3007C;
constexpr uint32_t NOTIFY_ERROR_EMAIL_TIMED_OUT = 0xECE3007D;
constexpr uint32_t NOTIFY_ERROR_EMAIL_TLS = 0xECE3007E;
constexpr uint32_t NOTIFY_ERROR_EMAIL_EXCHANGE = 0xECE3007F;
constexpr uint32_t NOTIFY_ERROR_KEPT = 0xECE30080;
constexpr uint32_t NOTIFY_ERROR_KEPT_DOWN = 0xECE30081;
constexpr uint32_t NOTIFY_ERROR_NOT_KEPT = 0xECE30082;
constexpr uint32_t NOTIFY_ERROR_OUTBOX_FULL = 0xECE30083;
constexpr uint32_t NOTIFY_ERROR_GIVEN_UP = 0xECE30084;

// Text identifiers.
constexpr StringId IDS_ERROR_LOAD_FAILED = 0x0CE307D1;
constexpr StringId IDS_TYPE_ERROR = 0x0CE307D2;
constexpr StringId IDS_TYPE_WARNING = 0x0CE307D3;
constexpr StringId IDS_TYPE_INFO = 0x0CE307D4;
constexpr StringId IDS_ERROR_EVENTLOG_OPEN_FAILED = 0x0CE307D5;
constexpr StringId IDS_ERROR_EVENTLOG_WRITE_FAILED = 0x0CE307D6;
constexpr StringId IDS_EMAIL_BODY = 0x0CE307D7;
constexpr StringId IDS_PRIORITY_HIGH = 0x0CE307D8;
constexpr StringId IDS_PRIORITY_MEDIUM = 0x0CE307D9;
constexpr StringId IDS_PRIORITY_UNKNOWN = 0x0CE307DA;
constexpr StringId IDS_TYPE_UNKNOWN = 0x0CE307DB;
constexpr StringId IDS_EMAIL_SUBJECT = 0x0CE307DC;
constexpr StringId IDS_PRIORITY_LOW = 0x0CE307DD;
constexpr StringId IDS_DEFAULT_LOG_EXTENSION = 0x0CE307DE;
constexpr StringId IDS_LOG_ENTRY_FORMAT = 0x0CE307DF;
constexpr StringId IDS_ERROR_LOG_CREATE_FAILED = 0x0CE307E0;
constexpr StringId IDS_ERROR_LOG_WRITE_FAILED = 0x0CE307E1;
constexpr StringId IDS_ERROR_EMAIL_SEND = 0x0CE307E2;
constexpr StringId IDS_ERROR_EMAIL_UNAVAILABLE = 0x0CE307E3;
constexpr StringId IDS_HANDLER_NAME_SYSLOG = 0x0CE307E4;
constexpr StringId IDS_HANDLER_NAME_LOG = 0x0CE307E5;
constexpr StringId IDS_HANDLER_NAME_EMAIL = 0x0CE307E6;
constexpr StringId IDS_ERROR_HANDLERS_NOT_INITIALIZED = 0x0CE307E7;
constexpr StringId IDS_ERROR_APPLICATION_NAME = 0x0CE307E8;
constexpr StringId IDS_ERROR_EMAIL_NO_ADDRESS = 0x0CE307E9;
constexpr StringId IDS_SYSLOG_ENTRY_FORMAT = 0x0CE307EA;
constexpr StringId IDS_ERROR_EMAIL_CONFIG = 0x0CE307EB;
constexpr StringId IDS_HANDLER_NAME_APP = 0x0CE307EC;
constexpr StringId IDS_APP_ENTRY_FORMAT = 0x0CE307ED;
constexpr StringId IDS_APP_PIPE_PATH = 0x0CE307EE;
constexpr StringId IDS_HANDLER_NAME_SNMP_TRAP = 0x0CE307EF;
constexpr StringId IDS_EMAIL_BODY_NODETAILS = 0x0CE307F0;
constexpr StringId IDS_SUBJEST_TYPE_SUCCESS = 0x0CE307F1;
constexpr StringId IDS_SUBJEST_TYPE_FAILURE = 0x0CE307F2;
constexpr StringId IDS_EMAIL_FROM = 0x0CE307F3;
constexpr StringId IDS_EMAIL_TO = 0x0CE307F4;
constexpr StringId IDS_EMAIL_CURL_SUBJECT = 0x0CE307F5;
constexpr StringId IDS_EMAIL_CURL_BODY = 0x0CE307F6;
constexpr StringId IDS_EMAIL_CURL_DATE = 0x0CE307F7;
constexpr StringId IDS_POLICY_NOT_READ_WHOLE = 0x0CE30800;
constexpr StringId IDS_POLICY_REPLACED_UNREADABLE = 0x0CE30801;
constexpr StringId IDS_POLICY_WRITE_FAILED = 0x0CE30802;
constexpr StringId IDS_BAG_INVALID_NAME = 0x0CE30803;
constexpr StringId IDS_BAG_INVALID_CHARACTER = 0x0CE30804;
constexpr StringId IDS_BAG_TOO_DEEP = 0x0CE30805;
constexpr StringId IDS_HANDLER_NOT_LOADED = 0x0CE30806;
constexpr StringId IDS_HANDLER_NAME_WEBHOOK = 0x0CE30807;

constexpr uint32_t kNotifyFacility = 3299;

// Registers both tables and their names with the string repository under "Ferrule"; the start-up
// step of the module. Registering again changes nothing.
void RegisterMessageTables();

// The file of the module these tables are compiled into (libFerrule.so, or the program that links
// them), as registration names it for the event log's category messages.
std::string ModulePath();

// The event log by its Windows names, over the system log. An event source is a name; ReportEventW
// sends one datagram in the form the C library's syslog() writes ("<PRI>Mmm dd hh:mm:ss IDENT[PID]:
// MESSAGE", facility user) to the local syslog socket: /dev/log, or the path in FERRULE_SYSLOG_SOCKET.
// The severity follows the event type: error err, warning warning, information info, audit success
// notice, anything else info. When the registry names a category message file for the source
// (HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\SOURCE, value
// CategoryMessageFile), the message begins with the category's name from that module's message
// resource, in brackets, in the language of the process's locale, as an event viewer would show it.
#pragma once

#include "Platform/Win32/Errors.h"

#include <string>

typedef void* PSID;

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

// A handle for the source (the socket is not touched: a source opens without being registered).
// Only the local computer (server null) is supported: ERROR_INVALID_PARAMETER otherwise.
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
// One datagram for the entry: the insertion strings joined by line breaks make the message. A missing
// socket is ERROR_FILE_NOT_FOUND, one nobody reads ERROR_... as mapped from errno. A message longer
// than the socket takes is cut after its last whole character and ends with a mark that says so.
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID user, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

// A module's message resource: texts by identifier and language, as a message table carries them.
struct MessageResourceEntry
{
    DWORD id;
    LANGID language;
    const char16_t* text;
};
// Registers the message resource of the module at modulePath (its file, as registry values name it),
// so that event sources naming that file find their category names. Registering again replaces it.
void RegisterMessageResource(const char* modulePath, const MessageResourceEntry* entries, size_t count);
// The text of id in language (or English, 1033, when that language has none) from the resource of the
// module at modulePath; false when there is none.
bool FindMessageResourceText(const char* modulePath, DWORD id, LANGID language, std::u16string& text);
// The language of the process's messages: LC_ALL, LC_MESSAGES or LANG mapped to a language id
// (de 1031, es 1034, fr 1036, it 1040, ja 1041, ko 1042, nl 1043, pl 1045, pt 1046, sv 1053, zh_TW and
// zh_HK 1028, other zh 2052); English (1033) otherwise.
LANGID MessageLanguage();

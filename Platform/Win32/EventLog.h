// The event log by its Windows names, over the Linux system log (SystemLog.h: the journal when there is
// one, else syslog). An event source is a name; ReportEventW makes one entry:
//   - the journal: MESSAGE (the insertion strings joined by line breaks, every line break LF),
//     PRIORITY from the event type (error 3, warning 4, audit success 5, anything else 6),
//     SYSLOG_FACILITY 1, SYSLOG_IDENTIFIER the source name as given, SYSLOG_PID, MESSAGE_ID one per
//     event type (see MessageIdOf), FERRULE_EVENT_ID, FERRULE_CATEGORY and, for a registered source,
//     FERRULE_CATEGORY_NAME;
//   - syslog: one line under the source's tag, beginning with the category name in brackets for a
//     registered source.
// A registered source is one for which the registry names a category message file
// (HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\SOURCE, value
// CategoryMessageFile); the name comes from that module's message resource in the language of the
// process's locale, as an event viewer would show it. A process reads a source's registration once and
// again only after the machine's hive changed (looked at no more than once a second).
#pragma once

#include "Platform/Win32/Errors.h"

#include <string>
#include <utility>
#include <vector>

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
// One entry; failures as SendToSystemLog (SystemLog.h) gives them.
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID user, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
// Not a Windows call: ReportEventW with further journal fields a reader filters on (NAME: upper-case
// letters, digits and "_"; value: any text); the syslog form leaves them out.
BOOL ReportEventWithFields(HANDLE eventLog, WORD type, WORD category, DWORD eventId, WORD numStrings,
                           LPCWSTR* strings, std::vector<std::pair<std::string, std::string>> fields);
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

// The owner of an event source's handle: deregistered when it goes.
class EventSourceOwner
{
public:
    explicit EventSourceOwner(HANDLE source) : mSource(source) {}
    ~EventSourceOwner()
    {
        if (mSource)
            DeregisterEventSource(mSource);
    }
    EventSourceOwner(const EventSourceOwner&) = delete;
    EventSourceOwner& operator=(const EventSourceOwner&) = delete;
    HANDLE Get() const { return mSource; }

private:
    HANDLE mSource;
};

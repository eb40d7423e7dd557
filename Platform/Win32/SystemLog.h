// The Linux system log as the event log hands entries to it: the journal's native protocol when a journal
// is there, else a syslog datagram. Where an entry goes is decided at every entry, in this order:
//   1. FERRULE_JOURNAL_SOCKET set: the journal at that socket; set but empty: no journal;
//   2. unset: the journal at /run/systemd/journal/socket when it exists and accepts a datagram (asked
//      again at most once a second while it is not there);
//   3. no journal: syslog at FERRULE_SYSLOG_SOCKET, or /dev/log when that is unset or empty.
// One connected socket is kept across entries (reconnected when the reader went away or the destination
// changed), so an entry costs one send.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct SystemLogEntry
{
    int severity = 6;       // syslog severity: 3 err, 4 warning, 5 notice, 6 info
    std::string identifier; // UTF-8, exactly as the source names itself
    std::string heading;    // put before the message in the syslog form (the journal has it as a field)
    std::string message;    // UTF-8, lines separated by LF
    std::string messageId;  // 32 lower-case hexadecimal digits, or "" for none
    // Further journal fields: NAME (upper-case letters, digits and "_") and value (any bytes). The
    // syslog form leaves them out.
    std::vector<std::pair<std::string, std::string>> fields;
};

// Delivers one entry. False with the last error set: ERROR_FILE_NOT_FOUND when the socket is missing,
// ERROR_TIMEOUT when the reader did not take the entry within 2 s, else the error mapped from errno.
// The journal takes an entry of any size (one too big for a datagram goes in a sealed memory file, as
// its protocol provides); a syslog message longer than the socket takes is cut after its last whole
// character and ends with a mark that says so.
bool SendToSystemLog(const SystemLogEntry& entry);

// Where the next entry goes: "the journal (PATH)" or "syslog (PATH)".
std::string SystemLogDestination();

// The tag of the syslog form for an identifier: ASCII letters, digits, ".", "_" and "-" kept, every other
// character (a blank, ":", "[", "]", "/", a control character, a non-ASCII letter) one "_", at most 32
// characters; "-" for an empty identifier.
std::string SyslogTag(const std::string& identifier);
// The message of the syslog form on one line: each line break (LF, CR LF or CR) " | ", every other
// control character in caret notation ("^I" for a tab, "^?" for DEL).
std::string SyslogOneLine(const std::string& text);

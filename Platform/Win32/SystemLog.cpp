#include "Platform/Win32/SystemLog.h"
#include "Platform/Com/Calendar.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
const char kJournalSocket[] = "/run/systemd/journal/socket";
const char kSyslogSocket[] = "/dev/log";
// How long an entry waits for a reader that does not read.
const std::chrono::seconds kSendWait(2);
// How often a missing default journal is looked for again.
const std::chrono::seconds kJournalRecheck(1);
// The system message that ends a cut syslog entry.
const DWORD kCutMark = 0x20000001;
const size_t kTagLength = 32;

struct Destination
{
    std::string path;
    bool journal = false;
};

// The kept connection and what is known of the default journal; all under gMutex.
std::mutex gMutex;
int gFd = -1;
std::string gConnectedPath;
bool gDefaultJournalChecked = false;
bool gDefaultJournalThere = false;
std::chrono::steady_clock::time_point gDefaultJournalCheckedAt;

void Disconnect()
{
    if (gFd >= 0)
        close(gFd);
    gFd = -1;
    gConnectedPath.clear();
}

// A new non-blocking datagram socket connected to path (so a full queue of the reader can be waited
// on, and a reader that stops reading makes the entry fail after kSendWait instead of holding it
// forever): the descriptor, or -1 with errno set.
int ConnectedSocket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Keeps a connection to path: 0, or the errno of the failure.
int Connect(const std::string& path)
{
    const int fd = ConnectedSocket(path);
    if (fd < 0)
        return errno;
    Disconnect();
    gFd = fd;
    gConnectedPath = path;
    return 0;
}

bool DefaultJournalThere()
{
    if (gFd >= 0 && gConnectedPath == kJournalSocket)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (gDefaultJournalChecked && now - gDefaultJournalCheckedAt < kJournalRecheck)
        return gDefaultJournalThere;
    gDefaultJournalChecked = true;
    gDefaultJournalCheckedAt = now;
    gDefaultJournalThere = Connect(kJournalSocket) == 0;
    return gDefaultJournalThere;
}

Destination CurrentDestination()
{
    if (const char* journal = std::getenv("FERRULE_JOURNAL_SOCKET"))
    {
        if (*journal != 0)
            return {journal, true};
    }
    else if (DefaultJournalThere())
        return {kJournalSocket, true};
    const char* syslog = std::getenv("FERRULE_SYSLOG_SOCKET");
    return {syslog && *syslog ? syslog : kSyslogSocket, false};
}

// One send on the kept socket, waiting up to kSendWait for room: 0 or the errno. passFd, when not -1,
// goes along as SCM_RIGHTS.
int SendOnce(const std::string& datagram, int passFd)
{
    const auto deadline = std::chrono::steady_clock::now() + kSendWait;
    for (;;)
    {
        ssize_t sent;
        if (passFd < 0)
            sent = send(gFd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        else
        {
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            msghdr message{};
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &passFd, sizeof(int));
            sent = sendmsg(gFd, &message, MSG_NOSIGNAL);
        }
        if (sent >= 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{gFd, POLLOUT, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return ETIMEDOUT;
    }
}

// Sends on a connection to destination, connecting when there is none (or one elsewhere) and once more
// on a new one when the reader went away (restarted, or its socket made anew): 0 or the errno.
int Send(const Destination& destination, const std::string& datagram, int passFd = -1)
{
    int err = 0;
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (gFd < 0 || gConnectedPath != destination.path)
            if ((err = Connect(destination.path)) != 0)
                return err;
        err = SendOnce(datagram, passFd);
        if (err != ECONNREFUSED && err != ENOTCONN && err != ECONNRESET && err != EPIPE)
            return err;
        Disconnect();
    }
    return err;
}

void AppendField(std::string& out, const std::string& name, const std::string& value)
{
    out += name;
    if (value.find('\n') == std::string::npos)
    {
        out += '=';
        out += value;
    }
    else
    {
        // The length-prefixed form: a line feed in the value cannot start another field.
        out += '\n';
        uint64_t size = value.size();
        for (int i = 0; i < 8; ++i, size >>= 8)
            out += static_cast<char>(size & 0xFF);
        out += value;
    }
    out += '\n';
}

bool ValidFieldName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name[0] == '_' || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

std::string JournalEntry(const SystemLogEntry& entry)
{
    std::string out;
    AppendField(out, "MESSAGE", entry.message);
    AppendField(out, "PRIORITY", std::to_string(entry.severity));
    AppendField(out, "SYSLOG_FACILITY", "1");
    AppendField(out, "SYSLOG_IDENTIFIER", entry.identifier);
    AppendField(out, "SYSLOG_PID", std::to_string(getpid()));
    if (!entry.messageId.empty())
        AppendField(out, "MESSAGE_ID", entry.messageId);
    for (const auto& [name, value] : entry.fields)
        if (ValidFieldName(name))
            AppendField(out, name, value);
    return out;
}

// An entry too big for a datagram, the way the journal's protocol provides: in a sealed memory file
// whose descriptor goes in an empty datagram.
int SendInMemoryFile(const Destination& destination, const std::string& entry)
{
    const int fd = memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return errno;
    int err = 0;
    for (size_t done = 0; done < entry.size() && err == 0;)
    {
        const ssize_t n = write(fd, entry.data() + done, entry.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        err = errno;
    if (err == 0)
        err = Send(destination, std::string(), fd);
    close(fd);
    return err;
}

std::string SyslogHeader(const SystemLogEntry& entry)
{
    // As syslog() writes it: facility user, the time in the C locale's form, the tag and process id.
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", MonthAbbreviation(tm.tm_mon), tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return "<" + std::to_string(8 + entry.severity) + ">" + stamp + " " + SyslogTag(entry.identifier) + "[" +
           std::to_string(getpid()) + "]: ";
}

std::string CutMark()
{
    WCHAR text[256] = {0};
    std::string mark;
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, kCutMark, 0, text, 256,
                       nullptr) > 0)
        mark = Utf16ToUtf8(text);
    while (!mark.empty() && (mark.back() == '\n' || mark.back() == '\r'))
        mark.pop_back();
    return mark;
}

// The longest prefix of text, at most limit bytes, that ends after a whole UTF-8 character.
size_t WholeCharacters(const std::string& text, size_t limit)
{
    if (limit >= text.size())
        return text.size();
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

int SendSyslog(const Destination& destination, const SystemLogEntry& entry)
{
    const std::string header = SyslogHeader(entry);
    // The full identifier stays readable in the message when the tag had to change it.
    const std::string named = SyslogTag(entry.identifier) == entry.identifier ? "" : entry.identifier + ": ";
    const std::string body = SyslogOneLine(named + entry.heading + entry.message);
    int err = Send(destination, header + body);
    // Cut to what the socket takes, after a whole character, with the mark at the end.
    const std::string mark = err == EMSGSIZE ? CutMark() : std::string();
    size_t budget = body.size();
    for (int attempt = 0; err == EMSGSIZE && attempt < 64 && budget > 0; ++attempt)
    {
        int sendBuffer = 0;
        socklen_t length = sizeof sendBuffer;
        if (attempt == 0 && getsockopt(gFd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) == 0 && sendBuffer > 1024)
            budget = std::min(budget, static_cast<size_t>(sendBuffer) / 2);
        else
            budget = budget * 7 / 8;
        const size_t room = budget > mark.size() + header.size() ? budget - mark.size() - header.size() : 0;
        err = Send(destination, header + body.substr(0, WholeCharacters(body, room)) + mark);
    }
    return err;
}

int ToWin32(int err)
{
    if (err == ENOENT)
        return ERROR_FILE_NOT_FOUND;
    if (err == ETIMEDOUT)
        return ERROR_TIMEOUT;
    if (err == ENAMETOOLONG)
        return ERROR_FILENAME_EXCED_RANGE;
    return static_cast<int>(Win32ErrorFromErrno(err));
}
} // namespace

bool SendToSystemLog(const SystemLogEntry& entry)
{
    std::lock_guard<std::mutex> lock(gMutex);
    Destination destination = CurrentDestination();
    int err;
    if (destination.journal)
    {
        const std::string datagram = JournalEntry(entry);
        err = Send(destination, datagram);
        if (err == EMSGSIZE || err == ENOBUFS)
            err = SendInMemoryFile(destination, datagram);
        // The default journal went away: syslog takes the entry, and the journal is looked for again later.
        if ((err == ENOENT || err == ECONNREFUSED) && destination.path == kJournalSocket &&
            std::getenv("FERRULE_JOURNAL_SOCKET") == nullptr)
        {
            gDefaultJournalThere = false;
            gDefaultJournalCheckedAt = std::chrono::steady_clock::now();
            destination = CurrentDestination();
            err = SendSyslog(destination, entry);
        }
    }
    else
        err = SendSyslog(destination, entry);
    if (err != 0)
    {
        SetLastError(ToWin32(err));
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

std::string SystemLogDestination()
{
    std::lock_guard<std::mutex> lock(gMutex);
    const Destination destination = CurrentDestination();
    return (destination.journal ? "the journal (" : "syslog (") + destination.path + ")";
}

std::string SyslogTag(const std::string& identifier)
{
    std::string tag;
    for (size_t i = 0; i < identifier.size() && tag.size() < kTagLength; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(identifier[i]);
        if ((c & 0xC0) == 0x80)
            continue; // the rest of a character already made "_"
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        tag += kept ? static_cast<char>(c) : '_';
    }
    return tag.empty() ? "-" : tag;
}

std::string SyslogOneLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n')
        {
            out += " | ";
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        }
        else if (IsControlCharacter(c))
        {
            out += '^';
            out += c == 0x7F ? '?' : static_cast<char>(c + 0x40);
        }
        else
            out += static_cast<char>(c);
    }
    return out;
}

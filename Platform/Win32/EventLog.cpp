#include "Platform/Win32/EventLog.h"
#include "Platform/Win32/Handles.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
// How long an entry waits for a syslog daemon that does not read.
const std::chrono::seconds kSendWait(2);
// The system message that ends a cut entry.
const DWORD kCutMark = 0x20000001;

struct EventSource : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::EventSource;
    EventSource() : HandleObject(kKind) {}
    std::string ident;        // UTF-8
    std::string categoryFile; // the registered category message file, or ""
};

EventSource* AsSource(HANDLE h)
{
    return HandleAs<EventSource>(h);
}

std::string Canonical(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string out = resolved;
    free(resolved);
    return out;
}

std::mutex gResourcesMutex;
std::map<std::string, std::map<std::pair<DWORD, LANGID>, std::u16string>>& Resources()
{
    static auto* resources = new std::map<std::string, std::map<std::pair<DWORD, LANGID>, std::u16string>>();
    return *resources;
}

// The registered category message file of a source, or "".
std::string CategoryFile(const std::u16string& source)
{
    HKEY key = nullptr;
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    WCHAR value[1024] = {0};
    DWORD size = sizeof value - sizeof(WCHAR), type = 0;
    const LSTATUS rc = RegQueryValueExW(key, u"CategoryMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    return Utf16ToUtf8(value);
}

int Severity(WORD type)
{
    switch (type)
    {
    case EVENTLOG_ERROR_TYPE: return 3;   // err
    case EVENTLOG_WARNING_TYPE: return 4; // warning
    case EVENTLOG_AUDIT_SUCCESS: return 5; // notice
    default: return 6;                    // info
    }
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
} // namespace

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source)
{
    if ((server != nullptr && *server != 0) || source == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* s = new EventSource();
    s->ident = Utf16ToUtf8(source);
    s->categoryFile = CategoryFile(source);
    SetLastError(ERROR_SUCCESS);
    return s;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    return CloseHandleOfKind(eventLog, {HandleKind::EventSource});
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD, PSID, WORD numStrings, DWORD, LPCWSTR* strings,
                  LPVOID)
{
    EventSource* s = AsSource(eventLog);
    if (s == nullptr)
        return FALSE;
    std::u16string message;
    if (!s->categoryFile.empty() && category != 0)
    {
        std::u16string name;
        if (FindMessageResourceText(s->categoryFile.c_str(), category, MessageLanguage(), name))
        {
            while (!name.empty() && (name.back() == u'\n' || name.back() == u'\r'))
                name.pop_back();
            message = u"[" + name + u"] ";
        }
    }
    for (WORD i = 0; i < numStrings; ++i)
        message += (i ? u"\r\n" : u"") + std::u16string(strings && strings[i] ? strings[i] : u"");

    // The header as syslog() writes it: time in the C locale's form, identifier and process id.
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    const std::string header = "<" + std::to_string(8 + Severity(type)) + ">" + stamp + " " + s->ident + "[" +
                               std::to_string(getpid()) + "]: ";
    const std::string body = Utf16ToUtf8(message);

    const char* configured = std::getenv("FERRULE_SYSLOG_SOCKET");
    const std::string path = configured && *configured ? configured : "/dev/log";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking: a syslog daemon that stops reading makes the write fail after kSendWait instead of
    // holding the notification forever.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    // Connected, so a full queue of the reader can be waited on.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    {
        const int err = errno;
        close(fd);
        SetLastError(err == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(err));
        return FALSE;
    }
    std::string datagram = header + body;
    // Cut to what the socket takes, after a whole character, with the mark at the end.
    std::string mark;
    size_t budget = body.size();
    const auto deadline = std::chrono::steady_clock::now() + kSendWait;
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        const ssize_t sent = send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (sent >= 0)
        {
            close(fd);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLOUT, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            {
                close(fd);
                SetLastError(ERROR_TIMEOUT);
                return FALSE;
            }
            --attempt;
            continue;
        }
        if (errno != EMSGSIZE || budget == 0)
            break;
        if (mark.empty())
        {
            WCHAR text[256] = {0};
            if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, kCutMark, 0, text,
                               256, nullptr) > 0)
                mark = Utf16ToUtf8(text);
            while (!mark.empty() && (mark.back() == '\n' || mark.back() == '\r'))
                mark.pop_back();
            int sendBuffer = 0;
            socklen_t length = sizeof sendBuffer;
            if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) == 0 && sendBuffer > 1024)
                budget = std::min(budget, static_cast<size_t>(sendBuffer) / 2);
        }
        else
            budget = budget * 7 / 8;
        const size_t keep = WholeCharacters(body, budget > mark.size() + header.size() ? budget - mark.size() - header.size() : 0);
        datagram = header + body.substr(0, keep) + mark;
    }
    const int err = errno;
    close(fd);
    SetLastError(err == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(err));
    return FALSE;
}

void RegisterMessageResource(const char* modulePath, const MessageResourceEntry* entries, size_t count)
{
    std::map<std::pair<DWORD, LANGID>, std::u16string> table;
    for (size_t i = 0; i < count; ++i)
        table[{entries[i].id, entries[i].language}] = entries[i].text;
    std::lock_guard<std::mutex> lock(gResourcesMutex);
    Resources()[Canonical(modulePath)] = std::move(table);
}

bool FindMessageResourceText(const char* modulePath, DWORD id, LANGID language, std::u16string& text)
{
    std::lock_guard<std::mutex> lock(gResourcesMutex);
    auto module = Resources().find(Canonical(modulePath));
    if (module == Resources().end())
        return false;
    for (LANGID l : {language, static_cast<LANGID>(1033)})
    {
        auto it = module->second.find({id, l});
        if (it != module->second.end())
        {
            text = it->second;
            return true;
        }
    }
    return false;
}

LANGID MessageLanguage()
{
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != 0)
        {
            name = value;
            break;
        }
    }
    static const std::pair<const char*, LANGID> kLanguages[] = {
        {"zh_TW", 1028}, {"zh_HK", 1028}, {"zh", 2052}, {"de", 1031}, {"es", 1034}, {"fr", 1036}, {"it", 1040},
        {"ja", 1041},    {"ko", 1042},    {"nl", 1043}, {"pl", 1045}, {"pt", 1046}, {"sv", 1053},
    };
    for (const auto& [prefix, id] : kLanguages)
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return id;
    return 1033;
}

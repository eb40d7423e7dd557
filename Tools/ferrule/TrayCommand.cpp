#include "Tools/ferrule/Tool.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Pipe.h"
#include "Base/Dev/Global/Result.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tool
{
const char* const kTrayHelp =
    "usage: ferrule tray [--once]\n"
    "\n"
    "The tray application: waits for the notification module to offer a notification on its pipe\n"
    "(TRAYICON_NOTIFIER in the pipe folder of this user, and in /run/ferrule for a root service): one\n"
    "socket per offer in that folder, taken in the order of their names. It reads each offer's 2048-byte\n"
    "block once, and prints one line per notification with the local time; a serialized result\n"
    "is shown as its display text. With a desktop session and notify-send it also shows a desktop\n"
    "notice: for a coded notification the severity and code as its title (\"Error ECE3006A\"), the\n"
    "display text with its causes, the theme's icon for the severity, and critical urgency for an error\n"
    "(it stays until dismissed); for plain text the first line as its title and the rest below it.\n"
    "--once exits after the first notification. The handler offers notifications only\n"
    "when its Clients count is set (ferrule notify --tray-clients N, or through the module).\n";

namespace
{
const char* const kPipe = "TRAYICON_NOTIFIER";

// The offers waiting in a pipe folder: one listening socket per offer in the folder TRAYICON_NOTIFIER,
// named so that they sort in the order they were made (hidden names are not ready yet).
std::vector<std::string> Offers(const std::string& folder)
{
    return VisibleNames(folder + "/" + kPipe);
}

// Connects to one offer's socket; -1 when it is gone or nobody listens on it.
int Connect(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (path.size() >= sizeof a.sun_path || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

// The block's text: UTF-16LE up to the first NUL; "" when the server sent nothing.
std::u16string ReadBlock(int fd)
{
    std::vector<char> block(2048, 0);
    size_t got = 0;
    pollfd p{fd, POLLIN, 0};
    while (got < block.size() && poll(&p, 1, 10000) > 0)
    {
        const ssize_t n = read(fd, block.data() + got, block.size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < got; i += 2)
    {
        const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(block[i]) |
                                                 (static_cast<unsigned char>(block[i + 1]) << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

// How the desktop shows one notification.
struct DesktopNotice
{
    std::string summary, body;
    const char* urgency = "normal";
    const char* icon = nullptr; // a standard icon of the theme, or none
};

// A serialized result: the severity and code as the summary ("Error ECE3006A"), the display text with
// its causes as the body, critical urgency for an error (it stays until dismissed) and the theme's icon
// for the severity. Plain text: its first line as the summary, the rest as the body.
DesktopNotice NoticeOf(const std::u16string& text, Module& module)
{
    DesktopNotice notice;
    std::string shown;
    Result result;
    const bool coded = TryDeserializeResult(text, result);
    shown = coded ? Readable(text, module.translator) : N(text);
    const size_t lineEnd = shown.find('\n');
    std::string first = shown.substr(0, lineEnd);
    std::string rest = lineEnd == std::string::npos ? std::string() : shown.substr(lineEnd + 1);
    if (!first.empty() && first.back() == '\r')
        first.pop_back();
    if (!coded)
    {
        notice.summary = first;
        notice.body = rest;
        return notice;
    }
    static const char* const kSeverities[] = {"Success", "Info", "Warning", "Error"};
    static const char* const kIcons[] = {"dialog-information", "dialog-information", "dialog-warning", "dialog-error"};
    const uint32_t severity = result.GetCode() >> 30;
    char summary[40];
    std::snprintf(summary, sizeof summary, "%s %08X", kSeverities[severity], result.GetCode());
    notice.summary = summary;
    // The display text begins with that same summary; the body is what follows it.
    const std::string prefix = notice.summary + ": ";
    if (first.compare(0, prefix.size(), prefix) == 0)
        first.erase(0, prefix.size());
    notice.body = rest.empty() ? first : first + "\n" + rest;
    notice.urgency = severity == 3 ? "critical" : "normal";
    notice.icon = kIcons[severity];
    return notice;
}

void ShowOnDesktop(const DesktopNotice& notice);

// One line per notification with the local time; a serialized result is shown as its display text.
void Print(const std::u16string& text, Module& module)
{
    std::string shown = N(text);
    if (module.translator && text.compare(0, 8, u"Result (") == 0)
    {
        Bstr serialized(text), display;
        if (SUCCEEDED(module.translator->Translate(serialized.Get(), display.Out(), 0)))
            shown = N(display);
    }
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::printf("%s %s\n", stamp, shown.c_str());
    std::fflush(stdout);
    ShowOnDesktop(NoticeOf(text, module));
}

void ShowOnDesktop(const DesktopNotice& notice)
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        return;
    if (system("command -v notify-send >/dev/null 2>&1") != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0)
    {
        const std::string urgency = std::string("--urgency=") + notice.urgency;
        const std::string icon = std::string("--icon=") + (notice.icon ? notice.icon : "");
        std::vector<const char*> args = {"notify-send", "--app-name=Ferrule", urgency.c_str()};
        if (notice.icon != nullptr)
            args.push_back(icon.c_str());
        args.insert(args.end(), {"--", notice.summary.c_str(), notice.body.c_str(), nullptr});
        execvp("notify-send", const_cast<char* const*>(args.data()));
        _exit(127);
    }
    if (pid > 0)
        waitpid(pid, nullptr, 0);
}
} // namespace

int CommandTray(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("tray takes no arguments");
    std::vector<std::string> folders = {PipeFolder()};
    if (folders[0] != "/run/ferrule")
        folders.push_back("/run/ferrule");
    // New sockets are noticed at once through inotify; a short poll covers folders made later.
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    for (const std::string& folder : folders)
        if (!folder.empty())
            inotify_add_watch(watcher, folder.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO);
    std::fprintf(stderr, "ferrule: waiting for notifications on %s%s\n", folders[0].c_str(),
                 folders.size() > 1 ? (" and " + folders[1]).c_str() : "");
    // The offers this client took (or found dead), by folder; an offer is taken once, then it goes.
    std::vector<std::set<std::string>> taken(folders.size());
    for (;;)
    {
        bool any = false;
        for (size_t f = 0; f < folders.size(); ++f)
        {
            if (folders[f].empty())
                continue;
            inotify_add_watch(watcher, (folders[f] + "/" + kPipe).c_str(), IN_CREATE | IN_MOVED_TO);
            const std::vector<std::string> offers = Offers(folders[f]);
            std::set<std::string> still;
            for (const std::string& offer : offers)
            {
                still.insert(offer);
                if (taken[f].count(offer))
                    continue;
                const int fd = Connect(folders[f] + "/" + kPipe + "/" + offer);
                if (fd < 0)
                    continue;
                const std::u16string text = ReadBlock(fd);
                close(fd);
                if (text.empty())
                    continue;
                Print(text, module);
                any = true;
                if (o.once)
                    return kOk;
            }
            taken[f] = std::move(still);
        }
        if (!any)
        {
            pollfd p{watcher, POLLIN, 0};
            if (poll(&p, 1, 100) > 0)
            {
                char events[4096];
                while (read(watcher, events, sizeof events) > 0)
                {
                }
            }
        }
    }
}
} // namespace tool

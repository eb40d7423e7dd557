#include "Tools/ferrule/Tool.h"
#include "Platform/Win32/Pipe.h"

#include <cerrno>
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
    "(TRAYICON_NOTIFIER in the pipe folder of this user, and in /run/ferrule for a root service), reads\n"
    "each 2048-byte block, and prints one line per notification with the local time; a serialized result\n"
    "is shown as its display text. With a desktop session and notify-send it also shows a desktop\n"
    "notification. --once exits after the first notification. The handler offers notifications only\n"
    "when its Clients count is set (ferrule notify --tray-clients N, or through the module).\n";

namespace
{
const char* const kPipe = "TRAYICON_NOTIFIER";

// A listening socket as a file: a new notification makes a new one (a reused inode number comes with a
// new change time).
struct Identity
{
    ino_t inode = 0;
    long seconds = 0;
    long nanoseconds = 0;
    bool operator==(const Identity& o) const
    {
        return inode == o.inode && seconds == o.seconds && nanoseconds == o.nanoseconds;
    }
};

Identity IdentityOf(const struct stat& st)
{
    return Identity{st.st_ino, static_cast<long>(st.st_ctim.tv_sec), static_cast<long>(st.st_ctim.tv_nsec)};
}

struct Socket
{
    std::string path;
    Identity identity;
};

// Connects to the pipe in folder; the socket's inode tells this notification's socket from the next.
int Connect(const std::string& folder, Socket& socket)
{
    socket.path = folder + "/" + kPipe;
    struct stat st;
    if (stat(socket.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket.path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    socket.identity = IdentityOf(st);
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

void ShowOnDesktop(const std::string& text)
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        return;
    if (system("command -v notify-send >/dev/null 2>&1") != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0)
    {
        execlp("notify-send", "notify-send", "Ferrule", text.c_str(), static_cast<char*>(nullptr));
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
    std::vector<Identity> served(folders.size());
    for (;;)
    {
        bool any = false;
        for (size_t f = 0; f < folders.size(); ++f)
        {
            Socket socket;
            struct stat st;
            // One block per notification: the socket this client was served by must go first.
            if (stat((folders[f] + "/" + kPipe).c_str(), &st) == 0 && IdentityOf(st) == served[f])
                continue;
            served[f] = Identity();
            const int fd = Connect(folders[f], socket);
            if (fd < 0)
                continue;
            const std::u16string text = ReadBlock(fd);
            close(fd);
            served[f] = socket.identity;
            if (text.empty())
                continue;
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
            ShowOnDesktop(shown);
            any = true;
            if (o.once)
                return kOk;
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

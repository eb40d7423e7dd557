#include "Platform/Win32/Pipe.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Handles.h"
#include "Platform/Win32/Utf.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

struct Listener
{
    int fd = -1;
    int instances = 0;
    dev_t device = 0; // the socket file bound, to remove it only while it is still ours
    ino_t inode = 0;
};

struct Pipe : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::Pipe;
    Pipe() : HandleObject(kKind) {}
    BOOL Close() override;
    std::string path;
    int listenFd = -1;
    int connection = -1;
};

std::mutex gMutex;
// Never destroyed: writer threads may still use pipes while the process exits.
std::map<std::string, Listener>& Listeners()
{
    static auto* listeners = new std::map<std::string, Listener>();
    return *listeners;
}

// A pipe instance; null (and the last error untouched) for any other handle.
Pipe* AsPipe(HANDLE h)
{
    const DWORD error = GetLastError();
    Pipe* p = HandleAs<Pipe>(h);
    if (p == nullptr)
        SetLastError(error);
    return p;
}

// "\\.\PIPE\NAME" → NAME; "" for another form.
std::string PipeName(LPCWSTR name)
{
    std::string n = Utf16ToUtf8(name ? name : u"");
    for (char& c : n)
        if (c == '/')
            c = '\\';
    const std::string prefix = "\\\\.\\pipe\\";
    if (n.size() <= prefix.size())
        return "";
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(n[i])) != prefix[i])
            return "";
    const std::string rest = n.substr(prefix.size());
    return rest.find('\\') == std::string::npos ? rest : "";
}

bool IsOurFolder(const std::string& folder, mode_t mode)
{
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0)
    {
        if (mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
            return false;
        chmod(folder.c_str(), mode);
        if (lstat(folder.c_str(), &st) != 0)
            return false;
    }
    // Ours, a folder, and not writable by others.
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

// At exit, the socket files of instances still open (a writer still blocked on a client that never
// reads): nobody will accept on them any more. Runs after the tray writers' own wait at exit.
void RemoveListenersAtExit()
{
    std::unique_lock<std::mutex> lock(gMutex, std::try_to_lock);
    if (!lock.owns_lock())
        return; // a thread is inside a pipe call: leave the files rather than race it
    for (const auto& [path, listener] : Listeners())
    {
        struct stat st;
        if (listener.fd >= 0 && lstat(path.c_str(), &st) == 0 && st.st_dev == listener.device &&
            st.st_ino == listener.inode)
            unlink(path.c_str());
    }
}

// A socket file at path that nobody listens on and that belongs to this user: left by a dead process.
bool IsStaleSocket(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != geteuid())
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    const bool stale = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == ECONNREFUSED;
    close(fd);
    return stale;
}
} // namespace

std::string PipeFolder()
{
    if (const char* configured = std::getenv("FERRULE_PIPE_DIR"); configured && *configured)
        return configured;
    if (geteuid() == 0)
        return IsOurFolder("/run/ferrule", 0755) ? "/run/ferrule" : "";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return runtime;
    const std::string folder = "/tmp/ferrule-" + std::to_string(geteuid());
    return IsOurFolder(folder, 0700) ? folder : "";
}

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD, DWORD pipeMode, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES)
{
    const std::string pipeName = PipeName(name);
    const std::string folder = PipeFolder();
    if (pipeName.empty() || folder.empty())
    {
        SetLastError(pipeName.empty() ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = folder + "/" + pipeName;
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    Listener& listener = Listeners()[path];
    if (listener.fd < 0)
    {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0)
        {
            if (!IsStaleSocket(path))
            {
                // Someone else's file, or a live server: not removed, not followed.
                Listeners().erase(path);
                SetLastError(S_ISSOCK(st.st_mode) ? ERROR_PIPE_BUSY : ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            unlink(path.c_str());
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0)
        {
            const int err = errno;
            if (fd >= 0)
                close(fd);
            Listeners().erase(path);
            errno = err;
            SetLastErrorFromErrno();
            return INVALID_HANDLE_VALUE;
        }
        // Any local user's tray application may connect, as to a Windows pipe with default security.
        chmod(path.c_str(), 0666);
        listener.fd = fd;
        if (lstat(path.c_str(), &st) == 0)
        {
            listener.device = st.st_dev;
            listener.inode = st.st_ino;
        }
        static const bool removedAtExit = std::atexit(&RemoveListenersAtExit) == 0;
        (void)removedAtExit;
    }
    ++listener.instances;
    auto* p = new Pipe();
    p->path = path;
    p->listenFd = listener.fd;
    (void)pipeMode;
    SetLastError(ERROR_SUCCESS);
    return p;
}

BOOL ConnectNamedPipe(HANDLE pipe, void*)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (p->connection >= 0)
    {
        SetLastError(ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    const int fd = accept4(p->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
    {
        p->connection = fd;
        SetLastError(ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    SetLastError(errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_PIPE_LISTENING : Win32ErrorFromErrno(errno));
    return FALSE;
}

BOOL WaitForPipeClient(HANDLE pipe, DWORD ms)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr)
        return FALSE;
    pollfd poller{p->listenFd, POLLIN, 0};
    return poll(&poller, 1, static_cast<int>(ms)) > 0;
}

BOOL DisconnectNamedPipe(HANDLE pipe)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (p->connection >= 0)
        close(p->connection);
    p->connection = -1;
    return TRUE;
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD, LPDWORD)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr || p->connection < 0)
    {
        SetLastError(p == nullptr ? ERROR_INVALID_HANDLE : ERROR_PIPE_NOT_CONNECTED);
        return FALSE;
    }
    const int flags = fcntl(p->connection, F_GETFL);
    const bool nowait = mode != nullptr && (*mode & PIPE_NOWAIT);
    fcntl(p->connection, F_SETFL, nowait ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
    return TRUE;
}

bool PipeWrite(HANDLE pipe, const void* data, DWORD bytes, DWORD* written, BOOL& result)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr)
        return false;
    result = FALSE;
    if (written)
        *written = 0;
    if (p->connection < 0)
    {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return true;
    }
    DWORD done = 0;
    while (done < bytes)
    {
        const ssize_t n = send(p->connection, static_cast<const char*>(data) + done, bytes - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            SetLastError(errno == EPIPE || errno == ECONNRESET ? ERROR_NO_DATA : Win32ErrorFromErrno(errno));
            if (written)
                *written = done;
            return true;
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    result = TRUE;
    return true;
}

bool PipeFlush(HANDLE pipe, BOOL& result)
{
    Pipe* p = AsPipe(pipe);
    if (p == nullptr)
        return false;
    result = TRUE;
    if (p->connection < 0)
        return true;
    // Until the client has read everything (the queue is empty) or gone; 5 s at most.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;)
    {
        int unread = 0;
        if (ioctl(p->connection, SIOCOUTQ, &unread) != 0 || unread == 0)
            return true;
        pollfd poller{p->connection, POLLRDHUP, 0};
        if (poll(&poller, 1, 0) > 0 && (poller.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return true;
        if (std::chrono::steady_clock::now() > deadline)
        {
            SetLastError(ERROR_TIMEOUT);
            result = FALSE;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

BOOL Pipe::Close()
{
    DisconnectNamedPipe(this);
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = Listeners().find(path);
    if (it != Listeners().end() && --it->second.instances == 0)
    {
        // The last instance takes the socket file with it, while the file is still the one it bound
        // (another file may have taken the path meanwhile).
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == it->second.device && st.st_ino == it->second.inode)
            unlink(path.c_str());
        close(it->second.fd);
        Listeners().erase(it);
    }
    return TRUE;
}

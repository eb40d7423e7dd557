#include "Platform/Win32/Pipe.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Handles.h"
#include "Platform/Win32/Utf.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{
struct Pipe : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::Pipe;
    Pipe() : HandleObject(kKind) {}
    BOOL Close() override;
    std::string path; // this instance's socket file
    dev_t device = 0; // the file bound, to remove it only while it is still this instance's
    ino_t inode = 0;
    int listenFd = -1;
    int connection = -1;
};

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
    return rest.find('\\') == std::string::npos && rest != "." && rest != ".." ? rest : "";
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

// Removes the instance sockets that processes of this user left when they died (an instance's name
// carries its process id).
void RemoveDeadInstances(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir))
    {
        unsigned long long stamp = 0;
        long pid = 0;
        unsigned long sequence = 0;
        const char* name = entry->d_name + (entry->d_name[0] == '.' ? 1 : 0);
        if (std::sscanf(name, "%20llu-%ld-%lu", &stamp, &pid, &sequence) != 3 || pid <= 0 || pid == getpid() ||
            kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const std::string path = folder + "/" + entry->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid())
            unlink(path.c_str());
    }
    closedir(dir);
}

// The next instance's file name: the time, the process and a count, so that names sort in the order
// the instances were made, within a process and across processes.
std::string InstanceName()
{
    static std::atomic<unsigned long> count{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char name[80];
    std::snprintf(name, sizeof name, "%020llu-%ld-%lu",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                  static_cast<long>(getpid()), ++count);
    return name;
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

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES)
{
    const std::string pipeName = PipeName(name);
    const std::string base = PipeFolder();
    if (pipeName.empty() || base.empty())
    {
        SetLastError(pipeName.empty() ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The name's folder: ours, or left alone (another's file or folder is neither removed nor followed).
    const std::string folder = base + "/" + pipeName;
    if (!IsOurFolder(folder, 0755))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    RemoveDeadInstances(folder);
    const std::string instance = InstanceName();
    const std::string path = folder + "/" + instance, hidden = folder + "/." + instance;
    if (hidden.size() >= sizeof(sockaddr_un{}.sun_path))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    // Bound under a hidden name and listening before it takes its name, so a client that sees the name
    // can connect.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, hidden.c_str(), sizeof a.sun_path - 1);
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        chmod(hidden.c_str(), 0666) != 0 || lstat(hidden.c_str(), &st) != 0 || rename(hidden.c_str(), path.c_str()) != 0)
    {
        const int err = errno;
        if (fd >= 0)
            close(fd);
        unlink(hidden.c_str());
        errno = err;
        SetLastErrorFromErrno();
        return INVALID_HANDLE_VALUE;
    }
    auto* p = new Pipe();
    p->path = path;
    p->device = st.st_dev;
    p->inode = st.st_ino;
    p->listenFd = fd;
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
    // Until the client has read everything (nothing of ours is queued to it any more), or went away
    // first: a client that closes with our bytes unread leaves ECONNRESET on this end. 5 s at most.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;)
    {
        // The queue first: a close that finds it empty (everything read) leaves no error.
        int unread = 0;
        const bool measured = ioctl(p->connection, SIOCOUTQ, &unread) == 0;
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(p->connection, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0)
        {
            SetLastError(ERROR_NO_DATA);
            result = FALSE;
            return true;
        }
        if (!measured || unread == 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
        {
            SetLastError(ERROR_TIMEOUT);
            result = FALSE;
            return true;
        }
        pollfd poller{p->connection, POLLRDHUP, 0};
        poll(&poller, 1, 1);
    }
}

BOOL Pipe::Close()
{
    DisconnectNamedPipe(this);
    // The instance takes its socket file with it, while the file is still the one it bound.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
        unlink(path.c_str());
    if (listenFd >= 0)
        close(listenFd);
    listenFd = -1;
    return TRUE;
}

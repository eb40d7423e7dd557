#include "Platform/Win32/Files.h"
#include "Platform/Com/Hresult.h"
#include "Platform/Win32/Handles.h"
#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Pipe.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct FileHandle : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::File;
    FileHandle() : HandleObject(kKind) {}
    BOOL Close() override
    {
        if (close(fd) != 0)
        {
            SetLastErrorFromErrno();
            return FALSE;
        }
        return TRUE;
    }
    int fd = -1;
    dev_t device = 0; // the file's identity, taken at open
    ino_t inode = 0;
};

// An internal attribute bit: the link at the path was checked and may be followed.
const DWORD kFollowTrustedLink = 0x80000000u;

size_t Length(LPCWSTR s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

bool IsSeparator(WCHAR c)
{
    return c == u'\\' || c == u'/';
}

// The name as the file system takes it ("\\" as "/", UTF-8), held without an allocation when it is a
// short ASCII name (most names the module opens are).
class PosixName
{
public:
    explicit PosixName(LPCWSTR path)
    {
        const size_t n = Length(path);
        bool ascii = n < sizeof mShort;
        for (size_t i = 0; ascii && i < n; ++i)
        {
            ascii = path[i] < 0x80;
            mShort[i] = path[i] == u'\\' ? '/' : static_cast<char>(path[i]);
        }
        if (ascii)
        {
            mShort[n] = 0;
            return;
        }
        mLong = Utf16ToUtf8(std::u16string_view(path, n));
        for (char& c : mLong)
            if (c == '\\')
                c = '/';
        mIsLong = true;
    }
    const char* c_str() const { return mIsLong ? mLong.c_str() : mShort; }
    std::string str() const { return c_str(); }

private:
    char mShort[256];
    std::string mLong;
    bool mIsLong = false;
};

std::string PosixPath(LPCWSTR path)
{
    return PosixName(path).str();
}

FileHandle* AsFile(HANDLE h)
{
    return HandleAs<FileHandle>(h);
}

// ENOENT for a file whose folder is missing is ERROR_PATH_NOT_FOUND.
DWORD MissingError(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return ERROR_FILE_NOT_FOUND;
    struct stat st;
    return stat(path.substr(0, slash).c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD OpenError(int err, const std::string& path)
{
    if (err == ENOENT)
        return MissingError(path);
    if (err == EEXIST)
        return ERROR_FILE_EXISTS;
    return Win32ErrorFromErrno(err);
}

// A folder is refused as Windows refuses it; a FIFO, socket or device is not a file the module reads
// or writes.
DWORD NotRegularError(mode_t mode)
{
    return S_ISDIR(mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
}

// Length of the root at the start of path: "C:\", "\\server\share\", "\" or "/"; 0 when relative.
size_t RootLength(LPCWSTR path)
{
    const size_t n = Length(path);
    if (n >= 2 && path[1] == u':' && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
        return (n >= 3 && IsSeparator(path[2])) ? 3 : 2;
    if (n >= 2 && path[0] == u'\\' && path[1] == u'\\')
    {
        // \\server\share\ .
        size_t i = 2;
        int separators = 0;
        while (i < n && separators < 2)
        {
            if (IsSeparator(path[i]))
                ++separators;
            ++i;
        }
        return i;
    }
    if (n >= 1 && IsSeparator(path[0]))
        return 1;
    return 0;
}
} // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD attributes, HANDLE)
{
    if (fileName == nullptr || *fileName == 0)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const PosixName path(fileName);
    const bool read = access & GENERIC_READ;
    const bool write = access & GENERIC_WRITE;
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    switch (disposition)
    {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING: break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    // Opened without blocking, so a FIFO or a device never makes the caller wait; anything but a regular
    // file is then refused. (O_NONBLOCK has no effect on a regular file.)
    flags |= O_NONBLOCK;
    if ((write || (flags & O_CREAT)) && !(attributes & kFollowTrustedLink))
        flags |= O_NOFOLLOW;
    // An existing file is opened without O_CREAT first, so OPEN_ALWAYS and CREATE_ALWAYS can tell
    // whether it existed without another system call.
    bool existed = false;
    int fd = -1;
    if (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
    {
        // Another process may create the file, and rename it away, between the attempts.
        for (int attempt = 0; attempt < 16; ++attempt)
        {
            fd = open(path.c_str(), flags & ~O_CREAT, 0666);
            existed = fd >= 0;
            if (fd >= 0 || errno != ENOENT)
                break;
            fd = open(path.c_str(), flags | O_EXCL, 0666);
            if (fd >= 0 || errno != EEXIST)
                break;
        }
    }
    else
        fd = open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW))
    {
        // A link at a path written to is followed only when it belongs to this process's user or to
        // root, so a link planted in a folder others can write does not redirect the write.
        struct stat link;
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != geteuid() && link.st_uid != 0)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        return CreateFileW(fileName, access, shareMode, nullptr, disposition, kFollowTrustedLink, nullptr);
    }
    if (fd < 0)
    {
        const int err = errno;
        struct stat st;
        if ((err == ENXIO || err == EISDIR) && stat(path.c_str(), &st) == 0)
            SetLastError(NotRegularError(st.st_mode));
        else
            SetLastError(OpenError(err, path.str()));
        return INVALID_HANDLE_VALUE;
    }
    if (write)
    {
        // flock: a lock of the open file description, and (unlike a shared fcntl lock) it needs no
        // read access for the shared kind.
        if (flock(fd, ((shareMode & FILE_SHARE_WRITE) ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        {
            const int err = errno;
            close(fd);
            SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : Win32ErrorFromErrno(err));
            return INVALID_HANDLE_VALUE;
        }
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        const DWORD e = NotRegularError(st.st_mode);
        close(fd);
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ftruncate(fd, 0) != 0)
    {
        const DWORD e = Win32ErrorFromErrno(errno);
        close(fd);
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    auto* h = new FileHandle();
    h->fd = fd;
    h->device = st.st_dev;
    h->inode = st.st_ino;
    SetLastError((existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)) ? ERROR_ALREADY_EXISTS
                                                                                         : ERROR_SUCCESS);
    return h;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED)
{
    BOOL piped = FALSE;
    if (PipeWrite(file, buffer, bytes, written, piped))
        return piped;
    FileHandle* f = AsFile(file);
    if (written)
        *written = 0;
    if (f == nullptr)
        return FALSE;
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < bytes)
    {
        const ssize_t n = write(f->fd, p + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            SetLastError(n < 0 ? Win32ErrorFromErrno(errno) : ERROR_DISK_FULL);
            if (written)
                *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD readCount, LPOVERLAPPED)
{
    FileHandle* f = AsFile(file);
    if (readCount)
        *readCount = 0;
    if (f == nullptr)
        return FALSE;
    ssize_t n;
    do
        n = read(f->fd, buffer, bytes);
    while (n < 0 && errno == EINTR);
    if (n < 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    if (readCount)
        *readCount = static_cast<DWORD>(n);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method)
{
    LARGE_INTEGER move, position;
    move.QuadPart = distanceHigh ? ((static_cast<LONGLONG>(*distanceHigh) << 32) | static_cast<DWORD>(distance))
                                 : distance;
    if (!SetFilePointerEx(file, move, &position, method))
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = position.HighPart;
    SetLastError(ERROR_SUCCESS);
    return position.LowPart;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method)
{
    FileHandle* f = AsFile(file);
    if (f == nullptr)
        return FALSE;
    const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    const off_t at = lseek(f->fd, static_cast<off_t>(distance.QuadPart), whence);
    if (at < 0)
    {
        SetLastError(errno == EINVAL ? 131 /* ERROR_NEGATIVE_SEEK */ : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (newPosition)
        newPosition->QuadPart = at;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file)
{
    FileHandle* f = AsFile(file);
    if (f == nullptr)
        return FALSE;
    const off_t at = lseek(f->fd, 0, SEEK_CUR);
    if (at < 0 || ftruncate(f->fd, at) != 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    FileHandle* f = AsFile(file);
    if (f == nullptr)
        return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(f->fd, &st) != 0)
    {
        SetLastErrorFromErrno();
        return INVALID_FILE_SIZE;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    FileHandle* f = AsFile(file);
    if (f == nullptr || size == nullptr)
        return FALSE;
    struct stat st;
    if (fstat(f->fd, &st) != 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    size->QuadPart = static_cast<LONGLONG>(st.st_size);
    return TRUE;
}

BOOL IsFileNameOfHandle(LPCWSTR name, HANDLE file)
{
    FileHandle* f = AsFile(file);
    if (f == nullptr || name == nullptr)
        return FALSE;
    struct stat named;
    if (stat(PosixName(name).c_str(), &named) != 0)
    {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return f->device == named.st_dev && f->inode == named.st_ino;
}

BOOL CloseHandle(HANDLE handle)
{
    return CloseHandleOfKind(handle, {HandleKind::File, HandleKind::Pipe, HandleKind::LogonToken});
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags)
{
    if (existing == nullptr || target == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string from = PosixPath(existing);
    const std::string to = PosixPath(target);
    struct stat st;
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && stat(to.c_str(), &st) == 0)
    {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0)
    {
        SetLastError(errno == ENOENT ? MissingError(from) : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    if (path == nullptr || *path == 0)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    const std::string p = PosixPath(path);
    if (mkdir(p.c_str(), 0777) != 0)
    {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                                                               : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path)
{
    if (path == nullptr || unlink(PosixPath(path).c_str()) != 0)
    {
        SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                                                                  : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL PathRemoveFileSpecW(LPWSTR path)
{
    if (path == nullptr)
        return FALSE;
    const size_t root = RootLength(path);
    size_t n = Length(path);
    if (n <= root)
        return FALSE;
    // The last separator after the root ends the folder.
    size_t cut = n;
    while (cut > root && !IsSeparator(path[cut - 1]))
        --cut;
    size_t end = cut > root ? cut - 1 : root;
    path[end] = 0;
    return end < n;
}

LPWSTR PathAddBackslashW(LPWSTR path)
{
    if (path == nullptr)
        return nullptr;
    const size_t n = Length(path);
    if (n == 0 || IsSeparator(path[n - 1]))
        return path + n;
    if (n + 1 >= MAX_PATH)
        return nullptr;
    path[n] = u'\\';
    path[n + 1] = 0;
    return path + n + 1;
}

LPCWSTR PathSkipRootW(LPCWSTR path)
{
    if (path == nullptr)
        return nullptr;
    const size_t root = RootLength(path);
    if (root == 0)
        return nullptr;
    if (root == 2 && path[1] == u':')
        return nullptr; // "C:x" is relative to the drive's current folder
    return path + root;
}

BOOL PathIsDirectoryW(LPCWSTR path)
{
    if (path == nullptr || *path == 0)
        return FALSE;
    struct stat st;
    return stat(PosixPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FALSE;
}

BOOL FlushFileBuffers(HANDLE file)
{
    BOOL flushed = FALSE;
    if (PipeFlush(file, flushed))
        return flushed;
    FileHandle* f = AsFile(file);
    if (f == nullptr)
        return FALSE;
    if (fsync(f->fd) != 0)
    {
        SetLastErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

HRESULT ReadWholeFile(const std::u16string& path, std::string& bytes)
{
    bytes.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return HRESULT_FROM_WIN32(GetLastError());
    char buffer[65536];
    DWORD n = 0;
    HRESULT hr = S_OK;
    for (;;)
    {
        if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr))
        {
            hr = HRESULT_FROM_WIN32(GetLastError());
            break;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    CloseHandle(file);
    return hr;
}

std::vector<std::string> VisibleNames(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str()))
    {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Files, folders and paths by their Windows names. "\" and "/" are both separators; "\" becomes "/"
// where the file system is touched; a path that begins with "/" is rooted.
#pragma once

#include <string>
#include <vector>

#include "Platform/Win32/Errors.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define MAX_PATH 260

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 0x00000001

typedef union _LARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef void* LPOVERLAPPED;

// open(2). A handle with write access takes a lock of its open file description on the whole file
// (flock): exclusive without FILE_SHARE_WRITE, shared with it, so writers that do not share with each
// other get ERROR_SHARING_VIOLATION; readers take none. Truncation happens only once the lock is held.
// A missing folder is ERROR_PATH_NOT_FOUND, a missing file ERROR_FILE_NOT_FOUND. OPEN_ALWAYS and
// CREATE_ALWAYS on an existing file succeed with the last error ERROR_ALREADY_EXISTS. Only regular files
// open: a folder is ERROR_ACCESS_DENIED, a FIFO, socket or device ERROR_NOT_SUPPORTED (opened without
// blocking, never waited on). For writing or creating, a symbolic link is followed only when it belongs
// to the process's user or to root; another's is ERROR_ACCESS_DENIED.
HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
// write(2) until done; a short write is a failure (ERROR_DISK_FULL when the system gave no reason).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped);
// lseek(2).
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method);
// ftruncate(2) at the current position.
BOOL SetEndOfFile(HANDLE file);
// fstat(2).
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// stat(2) of name against fstat(2) of the handle: TRUE when the name still refers to the open file (not
// renamed or removed meanwhile). Not a Windows operation: Windows does not rename a file held open.
BOOL IsFileNameOfHandle(LPCWSTR name, HANDLE file);
// close(2); releases the lock.
BOOL CloseHandle(HANDLE handle);
// fsync(2); for a pipe: waits until the client has read what was written.
BOOL FlushFileBuffers(HANDLE file);

// A file handle that closes itself.
class FileHandleOwner
{
public:
    explicit FileHandleOwner(HANDLE h = INVALID_HANDLE_VALUE) : mHandle(h) {}
    ~FileHandleOwner() { Reset(); }
    FileHandleOwner(const FileHandleOwner&) = delete;
    FileHandleOwner& operator=(const FileHandleOwner&) = delete;
    HANDLE Get() const { return mHandle; }
    bool Valid() const { return mHandle != INVALID_HANDLE_VALUE && mHandle != nullptr; }
    void Reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (Valid())
            CloseHandle(mHandle);
        mHandle = h;
    }

private:
    HANDLE mHandle;
};
// rename(2), atomic; without MOVEFILE_REPLACE_EXISTING an existing target is ERROR_ALREADY_EXISTS.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
// mkdir(2) 0777 less the umask; an existing one is ERROR_ALREADY_EXISTS.
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL DeleteFileW(LPCWSTR path);

// In place: the last component and its separator removed ("C:\a\b" → "C:\a", "/var/x" → "/var",
// "x" → ""); a root stays ("C:\", "\", "/"). TRUE when something was removed.
BOOL PathRemoveFileSpecW(LPWSTR path);
// Appends "\" unless the text is empty or already ends in a separator; the result must fit in
// MAX_PATH characters (null otherwise). Answers the terminator's address.
LPWSTR PathAddBackslashW(LPWSTR path);
// The text after the root ("C:\", "\\server\share\", "\" or "/"); null for a relative path.
LPCWSTR PathSkipRootW(LPCWSTR path);
// stat(2): FILE_ATTRIBUTE_DIRECTORY for a directory, else FALSE.
BOOL PathIsDirectoryW(LPCWSTR path);

// Not a Windows call: the whole content of a regular file, read through CreateFileW and ReadFile
// (shared for reading and writing); the failure as an HRESULT of the last error.
HRESULT ReadWholeFile(const std::u16string& path, std::string& bytes);
// Not a Windows call: the names in a folder, sorted, without those that begin with "." (hidden, or not
// ready yet); none when the folder cannot be read.
std::vector<std::string> VisibleNames(const std::string& folder);

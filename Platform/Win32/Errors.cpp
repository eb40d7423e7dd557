#include "Platform/Win32/Errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{
thread_local DWORD tLastError = 0;

struct ErrnoPair
{
    int err;
    DWORD win32;
};

// errno → Win32. ENOENT is "file not found"; callers that know a folder is missing use
// ERROR_PATH_NOT_FOUND themselves. EEXIST is ERROR_FILE_EXISTS; CreateDirectoryW answers
// ERROR_ALREADY_EXISTS as Windows does.
const ErrnoPair kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {EINTR, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_BUSY},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, 17 /* ERROR_NOT_SAME_DEVICE */},
    {ENODEV, ERROR_NOT_READY},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_DISK_FULL},
    {ENOSPC, ERROR_DISK_FULL},
    {ESPIPE, ERROR_INVALID_PARAMETER},
    {EROFS, 19 /* ERROR_WRITE_PROTECT */},
    {EPIPE, ERROR_NO_DATA},
    {EDEADLK, ERROR_LOCK_VIOLATION},
    {ENOLCK, ERROR_LOCK_VIOLATION},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_INVALID_NAME},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOTCONN, ERROR_PIPE_NOT_CONNECTED},
    {EADDRINUSE, 10048 /* WSAEADDRINUSE */},
    {ENETUNREACH, 10051 /* WSAENETUNREACH */},
    {ECONNRESET, WSAECONNRESET},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTUNREACH, 10065 /* WSAEHOSTUNREACH */},
};

struct MessagePair
{
    DWORD id;
    std::u16string_view text;
};

// English system message texts, as the system words them, each ending in "\r\n".
const MessagePair kSystemMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {11, u"An attempt was made to load a program with an incorrect format.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {17, u"The system cannot move the file to a different disk drive.\r\n"},
    {19, u"The media is write protected.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {30, u"The system cannot read from the specified device.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {33, u"The process cannot access the file because another process has locked a portion of the "
         u"file.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {39, u"The disk is full.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {53, u"The network path was not found.\r\n"},
    {80, u"The file exists.\r\n"},
    {86, u"The specified network password is not correct.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {109, u"The pipe has been ended.\r\n"},
    {111, u"The file name is too long.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {121, u"The semaphore timeout period has expired.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {231, u"All pipe instances are busy.\r\n"},
    {232, u"The pipe is being closed.\r\n"},
    {233, u"No process is on the other end of the pipe.\r\n"},
    {234, u"More data is available.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {535, u"There is a process on other end of the pipe.\r\n"},
    {536, u"Waiting for a process to open the other end of the pipe.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application "
          u"request.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {1012, u"The configuration registry key could not be read.\r\n"},
    {1013, u"The configuration registry key could not be written.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1223, u"The operation was canceled by the user.\r\n"},
    {1317, u"The specified account does not exist.\r\n"},
    {1325, u"Unable to update the password. The value provided for the new password does not meet the "
           u"length, complexity, or history requirements of the domain.\r\n"},
    {1326, u"The user name or password is incorrect.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
    {10048, u"Only one usage of each socket address (protocol/network address/port) is normally "
            u"permitted.\r\n"},
    {10051, u"A socket operation was attempted to an unreachable network.\r\n"},
    {10054, u"An existing connection was forcibly closed by the remote host.\r\n"},
    {10060, u"A connection attempt failed because the connected party did not properly respond after a "
            u"period of time, or established connection failed because connected host has failed to "
            u"respond.\r\n"},
    {10061, u"No connection could be made because the target machine actively refused it.\r\n"},
    {10065, u"A socket operation was attempted to an unreachable host.\r\n"},
    {11001, u"No such host is known.\r\n"},
    {15100, u"The specified resource language ID cannot be found in the image file.\r\n"},
    // The platform's own texts.
    {0x20000001, u" [cut: the entry was longer than the system log accepts]\r\n"},
    // HRESULTs of facilities other than Win32.
    {0x80004001, u"Not implemented\r\n"},
    {0x80004002, u"No such interface supported\r\n"},
    {0x80004003, u"Invalid pointer\r\n"},
    {0x80004004, u"Operation aborted\r\n"},
    {0x80004005, u"Unspecified error\r\n"},
    {0x8000FFFF, u"Catastrophic failure\r\n"},
    {0x80010106, u"Cannot change thread mode after it is set.\r\n"},
    {0x80020001, u"Unknown interface.\r\n"},
    {0x80020003, u"Member not found.\r\n"},
    {0x80020004, u"Parameter not found.\r\n"},
    {0x80020005, u"Type mismatch.\r\n"},
    {0x80020006, u"Unknown name.\r\n"},
    {0x80020007, u"No named arguments.\r\n"},
    {0x80020008, u"Bad variable type.\r\n"},
    {0x80020009, u"Exception occurred.\r\n"},
    {0x8002000A, u"Out of present range.\r\n"},
    {0x8002000B, u"Invalid index.\r\n"},
    {0x8002000C, u"Unknown language.\r\n"},
    {0x8002000D, u"Memory is locked.\r\n"},
    {0x8002000E, u"Invalid number of parameters.\r\n"},
    {0x8002000F, u"Parameter not optional.\r\n"},
    {0x80020010, u"Invalid callee.\r\n"},
    {0x80020011, u"Does not support a collection.\r\n"},
    {0x80020012, u"Division by zero.\r\n"},
    {0x8002802B, u"Element not found.\r\n"},
    {0x80040110, u"Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040111, u"ClassFactory cannot supply requested class\r\n"},
    {0x80040112, u"Class is not licensed for use\r\n"},
    {0x80040150, u"Could not read key from registry\r\n"},
    {0x80040151, u"Could not write key to registry\r\n"},
    {0x80040154, u"Class not registered\r\n"},
    {0x800401F0, u"CoInitialize has not been called.\r\n"},
    {0x800401F3, u"Invalid class string\r\n"},
    {0x800401F8, u"DLL for class not found\r\n"},
    {0x800401F9, u"Error in the DLL\r\n"},
};

const std::u16string_view* FindSystemMessage(DWORD id)
{
    // An HRESULT of FACILITY_WIN32 with failure severity has the text of its Win32 error.
    if ((id & 0xFFFF0000u) == 0x80070000u)
        id &= 0xFFFFu;
    for (const MessagePair& m : kSystemMessages)
        if (m.id == id)
            return &m.text;
    return nullptr;
}

bool IsKnownLanguage(DWORD languageId)
{
    switch (languageId)
    {
    case 0:                        // neutral: the language search order
    case LOCALE_USER_DEFAULT:      // LANG_NEUTRAL, SUBLANG_DEFAULT
    case LOCALE_SYSTEM_DEFAULT:    // LANG_NEUTRAL, SUBLANG_SYS_DEFAULT
    case 0x0409:                   // English (United States)
    case LANG_ENGLISH:             // English, neutral sublanguage
        return true;
    default:
        return false;
    }
}
} // namespace

// Per-thread variable.
DWORD GetLastError()
{
    return tLastError;
}

void SetLastError(DWORD error)
{
    tLastError = error;
}

DWORD Win32ErrorFromErrno(int err)
{
    for (const ErrnoPair& p : kErrnoTable)
        if (p.err == err)
            return p.win32;
    return ERROR_GEN_FAILURE;
}

DWORD SetLastErrorFromErrno()
{
    DWORD e = Win32ErrorFromErrno(errno);
    SetLastError(e);
    return e;
}

// Looks the number up in the compiled table; nothing here touches the C library's strerror.
DWORD FormatMessageW(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* /*arguments*/)
{
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view* text = FindSystemMessage(messageId);
    if (text == nullptr)
    {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (!IsKnownLanguage(languageId))
    {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(text->size());
    WCHAR* out = nullptr;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)
    {
        // size is then the least number of characters to allocate.
        const DWORD chars = (length + 1 > size) ? length + 1 : size;
        out = static_cast<WCHAR*>(LocalAlloc(LPTR, chars * sizeof(WCHAR)));
        if (out == nullptr)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPWSTR*>(buffer) = out;
    }
    else
    {
        if (size < length + 1)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        out = buffer;
    }
    std::memcpy(out, text->data(), length * sizeof(WCHAR));
    out[length] = 0;
    return length;
}

// malloc, zero-filled with LMEM_ZEROINIT.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (p == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

// free; returns null on success as the Windows function does.
HLOCAL LocalFree(HLOCAL mem)
{
    std::free(mem);
    return nullptr;
}

std::u16string SystemMessageText(DWORD code, bool keepLineEnd)
{
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::u16string out = n > 0 ? std::u16string(text, n) : std::u16string();
    LocalFree(text);
    while (!keepLineEnd && !out.empty() && (out.back() == u'\n' || out.back() == u'\r'))
        out.pop_back();
    return out;
}

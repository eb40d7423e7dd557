// Win32 error numbers, the per-thread last error, errno mapping and the system message texts.
#pragma once

#include <string>

#include "Platform/Win32/WinTypes.h"

#include <cstdarg>

#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_BAD_FORMAT 11
#define ERROR_INVALID_DATA 13
#define ERROR_OUTOFMEMORY 14
#define ERROR_NOT_READY 21
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_BAD_NETPATH 53
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PASSWORD 86
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_DISK_FULL 112
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_SEM_TIMEOUT 121
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BAD_PATHNAME 161
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_PIPE_BUSY 231
#define ERROR_NO_DATA 232
#define ERROR_PIPE_NOT_CONNECTED 233
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_DIRECTORY 267
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_PIPE_CONNECTED 535
#define ERROR_PIPE_LISTENING 536
#define ERROR_OPERATION_ABORTED 995
#define ERROR_BADDB 1009
#define ERROR_BADKEY 1010
#define ERROR_CANTOPEN 1011
#define ERROR_CANTREAD 1012
#define ERROR_CANTWRITE 1013
#define ERROR_KEY_DELETED 1018
#define ERROR_NOT_FOUND 1168
#define ERROR_CANCELLED 1223
#define ERROR_RETRY 1237
#define ERROR_NO_SUCH_USER 1317
#define ERROR_PASSWORD_RESTRICTION 1325
#define ERROR_LOGON_FAILURE 1326
#define ERROR_TIMEOUT 1460
#define WSAECONNRESET 10054
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAHOST_NOT_FOUND 11001
#define ERROR_RESOURCE_LANG_NOT_FOUND 15100

// Last error of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD error);

// The Win32 error number that stands for an errno value (unknown values give ERROR_GEN_FAILURE).
DWORD Win32ErrorFromErrno(int err);
// Sets the thread's last error from errno and returns it.
DWORD SetLastErrorFromErrno();

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// System message texts from a compiled English table (FORMAT_MESSAGE_FROM_SYSTEM only). The table's
// texts hold no inserts, so they are returned as stored, trailing "\r\n" included. An HRESULT of
// facility 7 (FACILITY_WIN32) has the text of its Win32 error. Unknown numbers fail with
// ERROR_MR_MID_NOT_FOUND; languages other than neutral, user/system default and English (1033) fail
// with ERROR_RESOURCE_LANG_NOT_FOUND. With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is an LPWSTR* that
// receives a LocalAlloc'ed text. Returns the number of characters stored, without the terminator.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);
// Not a Windows call: the system's text of a code as FormatMessageW gives it, with its line end only
// when keepLineEnd is set; empty when the code has no text.
std::u16string SystemMessageText(DWORD code, bool keepLineEnd = false);

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Local heap: malloc/free.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL mem);

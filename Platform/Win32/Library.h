// Shared libraries by their Windows names: "X.dll" is libX.so.
#pragma once

#include <initializer_list>
#include <string>

#include "Platform/Win32/Errors.h"

typedef void (*FARPROC)();

// "X.dll" with a folder loads libX.so from that folder. A bare "X.dll" loads libX.so from the folder
// of libPlatform.so (where every library of the product is installed), else through the loader's
// search path. Names that do not end in ".dll" are given to dlopen unchanged. Failure:
// ERROR_MOD_NOT_FOUND.
HMODULE LoadLibraryW(LPCWSTR fileName);
// dlsym; ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
// The module's file (null: the executable, /proc/self/exe). A buffer too small gets the truncated,
// terminated name, the answer is size and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
// Looks for fileName (+ extension when it has none; "X.dll" as libX.so) in the one folder path; answers the length of the
// full name, or the size needed when the buffer is too small, or 0 with ERROR_FILE_NOT_FOUND.
// Search in the default places (path null) is not offered: ERROR_INVALID_PARAMETER.
DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength, LPWSTR buffer,
                  LPWSTR* filePart);

// The calling process (a pseudo handle).
// Not a Windows call: the full path of the module (library or program) that holds address, links
// resolved (dladdr, realpath); "" when none does.
std::u16string ModuleFileOfAddress(const void* address);

HANDLE GetCurrentProcess();
// The image file of the process: /proc/self/exe for the current one. Answers the length, 0 on failure.
DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR fileName, DWORD size);

// Not a Windows call: an outside library of the system, by its versioned name (libcurl.so.4), opened
// with dlopen through the loader's search path and never closed (tables of its functions outlive every
// caller), and each function named in slots looked up into its slot. False with error saying what the
// loader said (which names the library) or which function the library lacks.
struct SystemLibrarySlot
{
    void** slot;
    const char* name;
};
bool OpenSystemLibrary(const char* soName, std::initializer_list<SystemLibrarySlot> slots, std::string& error);

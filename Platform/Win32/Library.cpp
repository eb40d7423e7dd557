#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"

#include <cstring>
#include <strings.h>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string Narrow(LPCWSTR text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return Utf16ToUtf8(std::u16string_view(text, n));
}

std::string FolderOfThisLibrary()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) == 0 || info.dli_fname == nullptr)
        return std::string();
    std::string path = info.dli_fname;
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
} // namespace

std::u16string ModuleFileOfAddress(const void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return std::u16string();
    char* resolved = realpath(info.dli_fname, nullptr);
    const std::u16string path = Utf8ToUtf16(resolved ? resolved : info.dli_fname);
    free(resolved);
    return path;
}

namespace
{

bool EndsWithDll(const std::string& s)
{
    return s.size() > 4 && strcasecmp(s.c_str() + s.size() - 4, ".dll") == 0;
}

DWORD StoreName(const std::string& utf8, LPWSTR out, DWORD size)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    if (out == nullptr || size == 0)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (wide.size() + 1 > size)
    {
        std::memcpy(out, wide.data(), (size - 1) * sizeof(WCHAR));
        out[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(out, wide.data(), wide.size() * sizeof(WCHAR));
    out[wide.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
}
} // namespace

// dlopen with RTLD_NOW.
HMODULE LoadLibraryW(LPCWSTR fileName)
{
    if (fileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = Narrow(fileName);
    for (char& c : name)
        if (c == '\\')
            c = '/';
    void* handle = nullptr;
    if (EndsWithDll(name))
    {
        const size_t slash = name.find_last_of('/');
        const std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
        const std::string soName = "lib" + base.substr(0, base.size() - 4) + ".so";
        if (slash != std::string::npos)
            handle = dlopen((name.substr(0, slash + 1) + soName).c_str(), RTLD_NOW);
        else
        {
            const std::string folder = FolderOfThisLibrary();
            if (!folder.empty())
                handle = dlopen((folder + "/" + soName).c_str(), RTLD_NOW);
            if (handle == nullptr)
                handle = dlopen(soName.c_str(), RTLD_NOW);
        }
    }
    else
        handle = dlopen(name.c_str(), RTLD_NOW);
    if (handle == nullptr)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    void* p = (module && procName) ? dlsym(module, procName) : nullptr;
    if (p == nullptr)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE module)
{
    if (module == nullptr || dlclose(module) != 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// readlink of /proc/self/exe, or the loader's link map for a library.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    std::string path;
    if (module == nullptr)
    {
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        if (n <= 0)
        {
            SetLastErrorFromErrno();
            return 0;
        }
        path.assign(buffer, static_cast<size_t>(n));
    }
    else
    {
        link_map* map = nullptr;
        if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = map->l_name;
    }
    return StoreName(path, fileName, size);
}

// stat of folder/name in the one folder given.
DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength, LPWSTR buffer,
                  LPWSTR* filePart)
{
    if (path == nullptr || fileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string folder = Narrow(path);
    for (char& c : folder)
        if (c == '\\')
            c = '/';
    std::string name = Narrow(fileName);
    if (extension && name.find('.') == std::string::npos)
        name += Narrow(extension);
    // "X.dll" is the shared library libX.so, as LoadLibraryW takes it.
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0)
        name = "lib" + name.substr(0, name.size() - 4) + ".so";
    std::string full = folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const std::u16string wide = Utf8ToUtf16(full);
    if (buffer == nullptr || bufferLength < wide.size() + 1)
        return static_cast<DWORD>(wide.size() + 1);
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(WCHAR));
    buffer[wide.size()] = 0;
    if (filePart)
        *filePart = buffer + (wide.size() - Utf8ToUtf16(name).size());
    return static_cast<DWORD>(wide.size());
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR fileName, DWORD size)
{
    if (process != GetCurrentProcess() || fileName == nullptr || size == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
    {
        SetLastErrorFromErrno();
        return 0;
    }
    const std::u16string wide = Utf8ToUtf16(std::string(path, static_cast<size_t>(n)));
    if (wide.size() + 1 > size)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(fileName, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(wide.size());
}

bool OpenSystemLibrary(const char* soName, std::initializer_list<SystemLibrarySlot> slots, std::string& error)
{
    void* handle = dlopen(soName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
        const char* why = dlerror();
        error = why ? why : std::string(soName) + ": cannot be opened";
        return false;
    }
    for (const SystemLibrarySlot& s : slots)
        if ((*s.slot = dlsym(handle, s.name)) == nullptr)
        {
            error = std::string(soName) + " has no function " + s.name;
            return false;
        }
    return true;
}

#include "Tools/ferrule/Tool.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Library.h"

#include <cstdio>

namespace tool
{
const char* const kRegisterHelp =
    "usage: ferrule register [MODULE]\n"
    "       ferrule unregister [MODULE]\n"
    "\n"
    "Loads the in-process server MODULE and calls its DllRegisterServer (or DllUnregisterServer), as the\n"
    "system's registration tool does. Without MODULE: the notification module and the message translator\n"
    "beside the tool. The entries go to the registry store (/var/lib/ferrule, or FERRULE_REGISTRY_DIR);\n"
    "writing the machine's part needs administrative rights. Exit 1 when a call fails.\n";

namespace
{
int Call(const std::u16string& module, const char* entry)
{
    HMODULE library = LoadLibraryW(module.c_str());
    if (library == nullptr)
    {
        std::fprintf(stderr, "ferrule: cannot load %s\n", N(module).c_str());
        return kFailed;
    }
    WCHAR path[4096] = {0};
    GetModuleFileNameW(library, path, 4096);
    typedef HRESULT (*Export)();
    auto call = reinterpret_cast<Export>(GetProcAddress(library, entry));
    if (call == nullptr)
    {
        std::fprintf(stderr, "ferrule: %s has no %s: it is not a server that registers itself\n", N(std::u16string(path)).c_str(), entry);
        FreeLibrary(library);
        return kFailed;
    }
    SetErrorInfo(0, nullptr);
    const HRESULT hr = call();
    FreeLibrary(library);
    if (SUCCEEDED(hr))
    {
        std::printf("%s in %s succeeded.\n", entry, N(std::u16string(path)).c_str());
        return kOk;
    }
    const std::string reason = N(SystemMessageText(static_cast<DWORD>(hr)));
    std::fprintf(stderr, "ferrule: %s in %s failed: 0x%08X %s\n", entry, N(std::u16string(path)).c_str(), static_cast<unsigned>(hr),
                 reason.c_str());
    if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
        std::fprintf(stderr, "ferrule: writing the machine registry needs administrative rights (run as root)\n");
    return kFailed;
}
} // namespace

int CommandRegister(const Options& o, bool registering)
{
    if (o.rest.size() > 1)
        throw UsageError("register takes at most one MODULE");
    const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
    if (!o.rest.empty())
        return Call(W(o.rest[0]), entry);
    int result = kOk;
    for (const char16_t* module : {u"Ferrule.dll", u"Translator.dll"})
        if (Call(module, entry) != kOk)
            result = kFailed;
    return result;
}
} // namespace tool

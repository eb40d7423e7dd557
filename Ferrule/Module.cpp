// The module: its class table, the in-process server entry points, and what happens when the library
// is loaded and unloaded.
//
// Without a registry entry, a program that loads libFerrule.so can still create every class with
// CoCreateInstance: on load the module registers its class objects for the process
// (CoRegisterClassObject), and revokes them on unload.
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Local/Localization.h"
#include "Platform/Com/Owners.h"
#include "Messages/MessageTables.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/PolicyFile.h"

#include <mutex>
#include <array>
#include <iterator>

namespace
{
constexpr size_t kClassCount = std::size(kClasses);

// The class objects of the class table's rows: built in place, nothing on the heap (the module may be
// unloaded, and what it allocated for good would then be lost).
ComClassEntry* Classes()
{
    static std::array<ComClassEntry, kClassCount> classes = [] {
        std::array<ComClassEntry, kClassCount> entries{};
        for (size_t i = 0; i < kClassCount; ++i)
            entries[i] = ComClassEntry{kClasses[i].clsid, kClasses[i].create, nullptr};
        return entries;
    }();
    return classes.data();
}
std::mutex gClassesMutex; // the module's lock for creating class factories
DWORD gCookies[kClassCount] = {};

__attribute__((constructor)) void ModuleLoad()
{
    // 1. The message tables under "Ferrule", facility 3299.
    RegisterMessageTables();
    // The type library, so each interface's type information can name it.
    NotificationHandlerTypeLib();
    // A manager of a program that only shows a policy writes nothing: no policy file, no warning.
    Config::Define(policy::kReadOnlyItem, "0",
                   "1: managers created from now on write no policy file and no warning into a log file",
                   [](const std::string& v) { return v == "0" || v == "1"; });
    // A manager that keeps nothing in the outbox: one attempt per notification (ferrule test).
    Config::Define(policy::kNoOutboxItem, "0",
                   "1: managers created from now on keep no failed mail or post in the outbox (one attempt)",
                   [](const std::string& v) { return v == "0" || v == "1"; });
    // 4. The configuration from a command line of one argument.
    Config::LoadCommandLine({"Ferrule.dll"});
    // 5. Translations from the folder "Shared" beside the program's folder; English otherwise.
    Localize(ResolveResourceFolder("[app]/../Shared"));
    // The classes, reachable by CoCreateInstance in this process.
    for (size_t i = 0; i < kClassCount; ++i)
    {
        ComPtr<IUnknown> factory;
        if (SUCCEEDED(ComGetClassObject(Classes(), kClassCount, gClassesMutex, *kClasses[i].clsid, IID_IUnknown,
                                        factory.VoidOut())))
            CoRegisterClassObject(*kClasses[i].clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &gCookies[i]);
    }
}

__attribute__((destructor)) void ModuleUnload()
{
    for (DWORD cookie : gCookies)
        if (cookie)
            CoRevokeClassObject(cookie);
    ComReleaseFactories(Classes(), kClassCount);
}
} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    return ComGetClassObject(Classes(), kClassCount, gClassesMutex, clsid, iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow()
{
    return ComCanUnloadNow();
}

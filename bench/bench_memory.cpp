// Memory through one manager with the default policy (every handler of it; the system log a socket that
// another process drains): the resident size after 10 000 notifications and after 1 000 000, which may
// grow by at most 256 KiB.
#include "DrainedSocket.h"
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Platform/Win32/Library.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace
{
long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
} // namespace

int main()
{
    char folder[] = "/tmp/ferrule-bench-memory-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 1;
    const std::string socketPath = std::string(folder) + "/journal";
    setenv("FERRULE_REGISTRY_DIR", folder, 1);
    setenv("FERRULE_JOURNAL_SOCKET", socketPath.c_str(), 1);
    DrainedSocket journal(socketPath);
    if (!journal.Bound())
        return 1;
    journal.Drain();

    RegisterMessageTables();
    LoadLibraryW(u"Translator.dll");
    INotify* manager = nullptr;
    ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, reinterpret_cast<void**>(&manager));
    BSTR app = SysAllocString(u"Bench"), none = SysAllocString(u"");
    manager->Initialize(app, none);
    BSTR d = SysAllocString(u"Backup job Nightly failed: the target volume is full."), s = SysAllocString(u"bench");
    long after10k = 0;
    int failed = 0;
    for (int i = 1; i <= 1000000; ++i)
    {
        failed += FAILED(manager->Notify(i % 3 == 0 ? NOTIFY_TYPE_ERROR : NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_MEDIUM, 0,
                                         d, s, 0));
        if (i == 10000)
            after10k = ResidentKiB();
    }
    const long after1m = ResidentKiB();
    std::printf("Resident size through one manager: %ld KiB after 10 000 notifications, %ld KiB after 1 000 000: "
                "%+ld KiB (limit +256)%s\n",
                after10k, after1m, after1m - after10k, failed ? " (some notifications failed)" : "");
    manager->Release();
    for (BSTR b : {app, none, d, s})
        SysFreeString(b);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

// Memory through one manager with the default policy (every handler of it; the system log a socket that
// another process drains): the resident size after 10 000 notifications and after 1 000 000, which may
// grow by at most 256 KiB.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Platform/Win32/Library.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const int reader = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(reader, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return 1;
    const pid_t drain = fork();
    if (drain == 0)
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        static char buffer[1 << 16];
        for (;;)
            recv(reader, buffer, sizeof buffer, 0);
    }
    close(reader);

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
    kill(drain, SIGKILL);
    waitpid(drain, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

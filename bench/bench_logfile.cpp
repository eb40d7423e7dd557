// One notification through the manager with only the log-file handler accepting, next to a bare
// open/fstat/lseek/write/close of the same UTF-16 line; and the same notification with rotation at
// MaxSize 1 KB.
#include "BenchCommon.h"

#include "Ferrule/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyLog.h"
#include "Platform/Win32/Library.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const std::u16string kDescription =
    u"Backup job Nightly finished: 1204 files, 3 skipped, 0 errors; the next run starts at 23:00 tonight.";

INotify* gManager = nullptr;

BSTR B(const std::u16string& s)
{
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

void SetFilter(const CLSID& clsid, uint32_t type, uint32_t priority)
{
    BSTR key = B(KeyOf(clsid));
    INotifyHandler* h = nullptr;
    gManager->GetHandler(key, &h);
    SysFreeString(key);
    h->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(type));
    h->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(priority));
    h->Release();
}

void SetMaxSize(ULONG kb)
{
    BSTR key = B(KeyOf(CLSID_NotifyLog));
    INotifyHandler* h = nullptr;
    gManager->GetHandler(key, &h);
    SysFreeString(key);
    INotifyLog* log = nullptr;
    h->QueryInterface(IID_INotifyLog, reinterpret_cast<void**>(&log));
    log->put_MaxSize(kb);
    log->Release();
    h->Release();
}
} // namespace

static void BM_NotifyThroughManager(benchmark::State& state)
{
    SetMaxSize(0xFFFFFFFF);
    BSTR d = B(kDescription), s = B(u"bench");
    for (auto _ : state)
        benchmark::DoNotOptimize(gManager->Notify(NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 46365.5));
    SysFreeString(d);
    SysFreeString(s);
}
BENCHMARK(BM_NotifyThroughManager);

static void BM_BareWrite(benchmark::State& state)
{
    // The same bytes the handler writes: a 100-character line as UTF-16LE.
    std::u16string line = u"12/09/2026 23:52:30 Low Priority Info: " + kDescription + u" 0x00 (bench)\r\n";
    std::string bytes;
    for (char16_t c : line)
    {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    for (auto _ : state)
    {
        const int fd = open("bare.log.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        struct stat st;
        fstat(fd, &st);
        lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(write(fd, bytes.data(), bytes.size()));
        close(fd);
    }
}
BENCHMARK(BM_BareWrite);

static void BM_NotifyWithRotation(benchmark::State& state)
{
    SetMaxSize(1);
    BSTR d = B(kDescription), s = B(u"bench");
    for (auto _ : state)
        benchmark::DoNotOptimize(gManager->Notify(NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 46365.5));
    SysFreeString(d);
    SysFreeString(s);
}
BENCHMARK(BM_NotifyWithRotation);

int main(int argc, char** argv)
{
    char folder[] = "/tmp/ferrule-bench-log-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 1;
    setenv("FERRULE_REGISTRY_DIR", folder, 1);
    RegisterMessageTables();
    LoadLibraryW(u"Translator.dll");
    ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, reinterpret_cast<void**>(&gManager));
    BSTR app = B(u"Bench"), file = B(u"");
    gManager->Initialize(app, file);
    SysFreeString(app);
    SysFreeString(file);
    // Only the log-file handler accepts.
    for (const CLSID* c : {&CLSID_NotifyConnPt, &CLSID_NotifyApp, &CLSID_NotifySNMPTrap, &CLSID_NotifyEmail,
                           &CLSID_NotifySysEvent})
        SetFilter(*c, 0, 0);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nNotify through the manager / bare open-fstat-lseek-write-close: %.2f (limit 1.5)\n",
                reporter.Time("BM_NotifyThroughManager") / reporter.Time("BM_BareWrite"));
    std::printf("Notify with rotation at MaxSize 1 KB: %.0f ns per notification\n",
                reporter.Time("BM_NotifyWithRotation"));
    gManager->Release();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

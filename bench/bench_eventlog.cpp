// One event-log entry through the handler (a registered source, the journal's protocol to a socket that
// another process drains) next to the bare operation a program without the module would do for the same
// datagram: socket, connect, send, close.
#include "BenchCommon.h"
#include "DrainedSocket.h"

#include "Messages/MessageTables.h"
#include "Ferrule/NotifySysEvent.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
INotifyHandler* gHandler = nullptr;
BSTR gApp, gDescription, gSource;
sockaddr_un gAddress{};
std::string gDatagram;

void BM_EntryThroughHandler(benchmark::State& state)
{
    for (auto _ : state)
        if (gHandler->Notify(gApp, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0x1F, gDescription, gSource, 0) != S_OK)
            state.SkipWithError("Notify failed");
}
BENCHMARK(BM_EntryThroughHandler);

void BM_BareSocketConnectSendClose(benchmark::State& state)
{
    for (auto _ : state)
    {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&gAddress), sizeof gAddress) != 0 ||
            send(fd, gDatagram.data(), gDatagram.size(), MSG_NOSIGNAL) < 0)
            state.SkipWithError("send failed");
        close(fd);
    }
}
BENCHMARK(BM_BareSocketConnectSendClose);

void RegisterSource(const std::u16string& source)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source).c_str(),
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const std::u16string file = Utf8ToUtf16(ModulePath());
    RegSetValueExW(key, u"CategoryMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>((file.size() + 1) * 2));
    RegCloseKey(key);
}
} // namespace

int main(int argc, char** argv)
{
    char folder[] = "/tmp/ferrule-bench-eventlog-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string path = std::string(folder) + "/journal";
    DrainedSocket journal(path);
    if (!journal.Bound())
        return 1;
    gAddress = journal.Address();
    setenv("FERRULE_REGISTRY_DIR", folder, 1);
    setenv("FERRULE_JOURNAL_SOCKET", path.c_str(), 1);
    RegisterMessageTables();
    RegisterSource(u"Ardentis");
    ComCreator<CNotifySysEvent>::CreateInstance(nullptr, IID_INotifyHandler, reinterpret_cast<void**>(&gHandler));
    gHandler->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    gHandler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    gApp = SysAllocString(u"Ardentis");
    gDescription = SysAllocString(u"Backup job Nightly failed: the target volume /srv/backup is full.");
    gSource = SysAllocString(u"nightly");

    // The entry the handler writes is the datagram the bare loop sends.
    if (gHandler->Notify(gApp, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0x1F, gDescription, gSource, 0) != S_OK)
        return 1;
    gDatagram = journal.ReceiveOne();
    if (gDatagram.empty())
        return 1;
    journal.Drain();

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nEvent-log entry through the handler / bare socket+connect+send+close: %.2f (limit 1.5)\n",
                reporter.Time("BM_EntryThroughHandler") / reporter.Time("BM_BareSocketConnectSendClose"));
    std::printf("(a %zu-byte journal entry)\n", gDatagram.size());
    gHandler->Release();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

// Latency from the start of Notify on the tray handler to the block read by a waiting client (a
// client that connects as soon as the pipe appears, as ferrule tray does), over 20 notifications.
#include "Messages/MessageTables.h"
#include "Ferrule/NotifyApp.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

int main()
{
    char folder[] = "/tmp/ferrule-bench-tray-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("FERRULE_PIPE_DIR", folder, 1);
    RegisterMessageTables();
    INotifyApp* tray = nullptr;
    ComCreator<CNotifyApp>::CreateInstance(nullptr, IID_INotifyApp, reinterpret_cast<void**>(&tray));
    tray->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    tray->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    tray->put_Clients(1);
    BSTR a = SysAllocString(u"Bench"), d = SysAllocString(u"Backup job Nightly finished."), s = SysAllocString(u"b");
    // The folder of the offers, made as the handler makes it, so the client can watch it from the start.
    const std::string offers = std::string(folder) + "/TRAYICON_NOTIFIER";
    mkdir(offers.c_str(), 0755);
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i)
    {
        std::atomic<bool> got{false};
        Clock::time_point read;
        // The client: inotify on the folder, connect when an offer takes its name, read the block.
        std::thread client([&] {
            const int watcher = inotify_init1(IN_CLOEXEC);
            inotify_add_watch(watcher, offers.c_str(), IN_MOVED_TO);
            alignas(inotify_event) char events[4096];
            const ssize_t n = ::read(watcher, events, sizeof events);
            // Closing an inotify descriptor waits for the kernel (milliseconds): only after the block.
            struct Closer
            {
                int fd;
                ~Closer() { close(fd); }
            } closer{watcher};
            if (n <= 0)
                return;
            const auto* event = reinterpret_cast<const inotify_event*>(events);
            const std::string path = offers + "/" + event->name;
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
            if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            {
                char block[2048];
                size_t bytes = 0;
                ssize_t r;
                while (bytes < sizeof block && (r = ::read(fd, block + bytes, sizeof block - bytes)) > 0)
                    bytes += static_cast<size_t>(r);
                read = Clock::now();
                got = bytes == sizeof block;
            }
            close(fd);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the client is waiting
        const auto started = Clock::now();
        tray->Notify(a, NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 0);
        client.join();
        if (got)
            latencies.push_back(std::chrono::duration<double, std::milli>(read - started).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty())
    {
        std::printf("no block arrived\n");
        return 1;
    }
    std::printf("Notify to block read, %zu of 20 notifications: median %.2f ms, max %.2f ms (limit 50 ms median)\n",
                latencies.size(), latencies[latencies.size() / 2], latencies.back());
    tray->Release();
    for (BSTR b : {a, d, s})
        SysFreeString(b);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

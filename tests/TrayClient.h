// A tray client as a third party writes one: the offers are the sockets in the folder TRAYICON_NOTIFIER
// of the pipe folder, taken in the order of their names, each connected to once and read until the
// server closes.
#pragma once

#include "Platform/Win32/Files.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tray
{
// The offers waiting in a pipe folder, in the order they were made.
inline std::vector<std::string> Offers(const std::string& pipeFolder)
{
    return VisibleNames(pipeFolder + "/TRAYICON_NOTIFIER");
}

// Connects to an offer; -1 when nobody listens on it.
inline int Connect(const std::string& pipeFolder, const std::string& offer)
{
    const std::string path = pipeFolder + "/TRAYICON_NOTIFIER/" + offer;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

// The next offer not taken yet, read whole (the bytes until the server closes); "(no pipe)" when none
// came within wait.
inline std::string ReadNext(const std::string& pipeFolder, std::set<std::string>& taken,
                            std::chrono::milliseconds wait = std::chrono::seconds(8))
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        for (const std::string& offer : Offers(pipeFolder))
        {
            if (!taken.insert(offer).second)
                continue;
            const int fd = Connect(pipeFolder, offer);
            if (fd < 0)
                continue;
            std::string bytes;
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0)
                bytes.append(buffer, static_cast<size_t>(n));
            close(fd);
            return bytes;
        }
    return "(no pipe)";
}
} // namespace tray

// A datagram socket bound at a path whose datagrams another process reads and drops, as a system log
// reads them (in another process, so the reading does not take the measured process's time).
#pragma once

#include <csignal>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class DrainedSocket
{
public:
    explicit DrainedSocket(const std::string& path)
    {
        mAddress.sun_family = AF_UNIX;
        std::strncpy(mAddress.sun_path, path.c_str(), sizeof mAddress.sun_path - 1);
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 4 << 20;
        setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        mBound = bind(mFd, reinterpret_cast<const sockaddr*>(&mAddress), sizeof mAddress) == 0;
    }
    ~DrainedSocket()
    {
        if (mDrain > 0)
        {
            kill(mDrain, SIGKILL);
            waitpid(mDrain, nullptr, 0);
        }
        if (mFd >= 0)
            close(mFd);
    }
    DrainedSocket(const DrainedSocket&) = delete;
    DrainedSocket& operator=(const DrainedSocket&) = delete;

    bool Bound() const { return mBound; }
    const sockaddr_un& Address() const { return mAddress; }

    // The next datagram, read here (before Drain); "" when none.
    std::string ReceiveOne()
    {
        std::string datagram(1 << 16, '\0');
        const ssize_t n = recv(mFd, &datagram[0], datagram.size(), 0);
        return n > 0 ? datagram.substr(0, static_cast<size_t>(n)) : std::string();
    }

    // From now on a child process reads and drops every datagram.
    void Drain()
    {
        mDrain = fork();
        if (mDrain == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            static char buffer[1 << 16];
            for (;;)
                recv(mFd, buffer, sizeof buffer, 0);
        }
        close(mFd);
        mFd = -1;
    }

private:
    sockaddr_un mAddress{};
    int mFd = -1;
    bool mBound = false;
    pid_t mDrain = -1;
};

// A syslog socket for the whole test program: bound in a temporary folder, named by
// FERRULE_SYSLOG_SOCKET, and drained by a thread, so that managers with the event-log handler deliver
// as they would on a machine with a syslog daemon. Tests that look at datagrams bind their own.
#pragma once

#include "TempDir.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

class SyslogSink
{
public:
    SyslogSink()
    {
        mPath = mDir.Path() + "/log";
        mSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, mPath.c_str(), sizeof a.sun_path - 1);
        bind(mSocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
        timeval wait{0, 200000};
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        setenv("FERRULE_SYSLOG_SOCKET", mPath.c_str(), 1);
        mThread = std::thread([this] {
            std::string buffer(1 << 20, '\0');
            while (!mStop)
                if (recv(mSocket, &buffer[0], buffer.size(), 0) > 0)
                    ++mReceived;
        });
    }
    ~SyslogSink()
    {
        mStop = true;
        mThread.join();
        close(mSocket);
    }
    const std::string& Path() const { return mPath; }
    long Received() const { return mReceived; }

    // The program's sink, made on first use.
    static SyslogSink& Instance()
    {
        static SyslogSink sink;
        return sink;
    }

private:
    TempDir mDir;
    std::string mPath;
    int mSocket = -1;
    std::atomic<bool> mStop{false};
    std::atomic<long> mReceived{0};
    std::thread mThread;
};

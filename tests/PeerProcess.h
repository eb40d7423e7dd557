// A test's peer program (a server on loopback): started as a child with its standard error dropped,
// ready once it has written something into its ready file, ended with SIGTERM when the object goes.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class PeerProcess
{
public:
    PeerProcess(std::vector<std::string> argv, const std::string& readyFile) : mReadyFile(readyFile)
    {
        unlink(readyFile.c_str());
        mPid = fork();
        if (mPid == 0)
        {
            alarm(300);
            if (!freopen("/dev/null", "w", stderr))
                _exit(3);
            std::vector<char*> args;
            for (std::string& a : argv)
                args.push_back(&a[0]);
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(4);
        }
        for (int i = 0; i < 400 && Ready().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // What the peer wrote into its ready file ("" before it is ready).
    std::string Ready() const
    {
        std::ifstream in(mReadyFile);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Stop()
    {
        if (mPid > 0)
        {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

private:
    std::string mReadyFile;
    pid_t mPid = -1;
};

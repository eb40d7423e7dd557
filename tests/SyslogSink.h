// A syslog socket for the whole test program: bound in a temporary folder, named by
// FERRULE_SYSLOG_SOCKET (with FERRULE_JOURNAL_SOCKET empty, so that no entry goes to a journal of the
// machine), and drained by a child process (not a thread: the tests fork, and a forked child of a
// process with other threads may hang in a lock one of them held), so that managers with the event-log
// handler deliver as they would on a machine with a syslog daemon. Tests that look at datagrams bind
// their own.
#pragma once

#include "TempDir.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class SyslogSink
{
public:
    SyslogSink()
    {
        mPath = mDir->Path() + "/log";
        const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, mPath.c_str(), sizeof a.sun_path - 1);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        setenv("FERRULE_SYSLOG_SOCKET", mPath.c_str(), 1);
        setenv("FERRULE_JOURNAL_SOCKET", "", 1); // the syslog form, also where a journal runs
        const pid_t parent = getpid();
        mDrain = fork();
        if (mDrain == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // goes with the test program
            if (getppid() != parent)
                _exit(0);
            static char buffer[1 << 20];
            for (;;)
                recv(s, buffer, sizeof buffer, 0);
        }
        close(s);
    }
    // Only the program that made the sink ends it (forked children that exit normally leave it alone).
    ~SyslogSink()
    {
        if (getpid() != mOwner)
            return;
        // A program that gave up its privileges cannot signal the drain; it ends with the program then.
        if (mDrain > 0 && kill(mDrain, SIGKILL) == 0)
            waitpid(mDrain, nullptr, 0);
        delete mDir;
    }
    const std::string& Path() const { return mPath; }

    // The program's sink, made on first use.
    static SyslogSink& Instance()
    {
        static SyslogSink sink;
        return sink;
    }

private:
    TempDir* mDir = new TempDir();
    std::string mPath;
    pid_t mOwner = getpid();
    pid_t mDrain = -1;
};

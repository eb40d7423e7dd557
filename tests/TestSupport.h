// Helpers the test files share: a file's bytes, UTF-16 as UTF-8, an environment variable set for one
// scope, and a test of this program re-run in a child process.
#pragma once

#include "Platform/Win32/Utf.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a shell command prints on its standard output.
inline std::string Output(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r"))
    {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

inline std::string Narrow(std::u16string_view s)
{
    return Utf16ToUtf8(s);
}

// Sets a variable until the scope ends, then puts back what was there (also when an assertion ends the
// test early).
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::string& value) : mName(name)
    {
        if (const char* old = std::getenv(name))
            mOld = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (mOld)
            setenv(mName, mOld->c_str(), 1);
        else
            unsetenv(mName);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* mName;
    std::optional<std::string> mOld;
};

// Runs the test named filter of this program (or of the program at path) in a child process with
// variable=1 set, and answers its exit status (-1 when it did not exit).
inline int RunChildTest(const std::string& filter, const char* variable, const std::string& path = "/proc/self/exe")
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        setenv(variable, "1", 1);
        const std::string argument = "--gtest_filter=" + filter;
        execl(path.c_str(), "child-test", argument.c_str(), static_cast<char*>(nullptr));
        _exit(4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

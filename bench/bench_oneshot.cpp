// One-shot commands timed as whole processes in alternating pairs (A B A B ...): `ferrule notify TEXT`
// with the default policy against `logger -u SOCKET TEXT` to the same socket, and `ferrule --help`
// against the same logger. Prints the median of the pairs' ratios and each command's median wall time
// and peak memory. Usage: bench_oneshot [PAIRS] (default 40).
#include "DrainedSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{
struct Run
{
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

Run Time(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    pid_t pid;
    const auto start = std::chrono::steady_clock::now();
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A B A B ...: the median of A/B pair by pair, and of each side.
void Pairs(const char* label, const std::vector<std::string>& a, const std::vector<std::string>& b, int pairs,
           double limit)
{
    std::vector<double> ratios, as, bs, peaks;
    bool ok = true;
    for (int i = 0; i < pairs + 2; ++i)
    {
        const Run ra = Time(a), rb = Time(b);
        ok = ok && ra.ok && rb.ok;
        if (i < 2)
            continue; // warm-up
        ratios.push_back(ra.seconds / rb.seconds);
        as.push_back(ra.seconds);
        bs.push_back(rb.seconds);
        peaks.push_back(static_cast<double>(ra.peakKiB));
    }
    std::printf("%s: %.2f (limit %.1f); median %.2f ms against %.2f ms; peak %.1f MiB%s\n", label, Median(ratios),
                limit, Median(as) * 1000, Median(bs) * 1000, Median(peaks) / 1024, ok ? "" : " (some runs failed)");
}
} // namespace

int main(int argc, char** argv)
{
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    char folder[] = "/tmp/ferrule-bench-oneshot-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 1;
    const std::string socketPath = std::string(folder) + "/journal";
    for (const char* variable :
         {"FERRULE_CONFIG_DIR", "FERRULE_LOG_DIR", "FERRULE_REGISTRY_DIR", "FERRULE_PIPE_DIR", "FERRULE_SPOOL_DIR"})
        setenv(variable, folder, 1);
    setenv("FERRULE_JOURNAL_SOCKET", socketPath.c_str(), 1);
    // The system log: a socket another process drains.
    DrainedSocket journal(socketPath);
    if (!journal.Bound())
        return 1;
    journal.Drain();

    const std::string ferrule = self + "/ferrule";
    const std::vector<std::string> logger = {"logger", "-u", socketPath, "Backup job Nightly finished."};
    Pairs("ferrule notify (default policy) / logger", {ferrule, "notify", "Backup job Nightly finished."}, logger,
          pairs, 2.5);
    Pairs("ferrule --help / logger", {ferrule, "--help"}, logger, pairs, 1.5);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

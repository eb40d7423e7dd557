#include "Platform/Win32/FileLock.h"

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

// One slot per lock file in the process: a recursive mutex for the threads, the flock for the
// processes, taken while the first holder of the process holds it.
struct FileLock::Slot
{
    std::recursive_timed_mutex threads;
    int fd = -1;
    int depth = 0; // holders of the current thread, under threads
};

namespace
{
std::mutex gSlotsMutex;
std::map<std::string, std::weak_ptr<FileLock::Slot>>& Slots()
{
    static auto* slots = new std::map<std::string, std::weak_ptr<FileLock::Slot>>();
    return *slots;
}
} // namespace

FileLock::FileLock(const std::string& lockFile, std::chrono::milliseconds wait)
{
    {
        std::lock_guard<std::mutex> guard(gSlotsMutex);
        // One slot per file, however the path is spelled.
        std::error_code failed;
        const std::filesystem::path canonical =
            std::filesystem::weakly_canonical(std::filesystem::absolute(lockFile, failed), failed);
        std::weak_ptr<Slot>& weak = Slots()[failed ? lockFile : canonical.string()];
        mSlot = weak.lock();
        if (!mSlot)
        {
            mSlot = std::make_shared<Slot>();
            weak = mSlot;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    if (!mSlot->threads.try_lock_until(deadline))
        return;
    if (mSlot->depth == 0)
    {
        const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (fd >= 0)
        {
            // flock(2) is polled: a blocking flock cannot be given a deadline.
            while (flock(fd, LOCK_EX | LOCK_NB) != 0)
            {
                if (std::chrono::steady_clock::now() >= deadline)
                {
                    close(fd);
                    mSlot->threads.unlock();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        mSlot->fd = fd;
    }
    ++mSlot->depth;
    mHeld = true;
}

FileLock::~FileLock()
{
    if (!mHeld)
        return;
    if (--mSlot->depth == 0 && mSlot->fd >= 0)
    {
        close(mSlot->fd);
        mSlot->fd = -1;
    }
    mSlot->threads.unlock();
}

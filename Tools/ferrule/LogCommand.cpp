#include "Tools/ferrule/Tool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tool
{
const char* const kLogHelp =
    "usage: ferrule log FILE [--all] [-f]\n"
    "\n"
    "Prints a UTF-16 log file as UTF-8. --all prints the previous generation FILE.old first. -f keeps\n"
    "printing what is appended; when the file is rotated it finishes the renamed file and goes on with\n"
    "the new one. Exit 1 when FILE cannot be read.\n";

namespace
{
const std::chrono::milliseconds kPoll(100);

// One log file being read: its descriptor, the bytes read so far and half a code unit left over.
class Reader
{
public:
    ~Reader() { Close(); }

    // Opens path in place of the file read so far; on failure the reader keeps the old one.
    bool Open(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return false;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        {
            close(fd);
            errno = EINVAL;
            return false;
        }
        Close();
        mFd = fd;
        mDevice = st.st_dev;
        mInode = st.st_ino;
        mOffset = 0;
        mPending.clear();
        return true;
    }

    void Close()
    {
        if (mFd >= 0)
            close(mFd);
        mFd = -1;
    }

    // True when the path now names another file than the one open (rotated or removed).
    bool Replaced(const std::string& path) const
    {
        struct stat st;
        return stat(path.c_str(), &st) != 0 || st.st_dev != mDevice || st.st_ino != mInode;
    }

    // Prints everything from the current position to the end.
    void PrintNew()
    {
        struct stat st;
        if (fstat(mFd, &st) == 0 && st.st_size < mOffset)
        {
            // Cut short in place: start again from its beginning.
            mOffset = 0;
            mPending.clear();
        }
        char buffer[65536];
        for (;;)
        {
            const ssize_t n = pread(mFd, buffer, sizeof buffer, mOffset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            Print(buffer, static_cast<size_t>(n));
            mOffset += n;
        }
        std::fflush(stdout);
    }

private:
    void Print(const char* bytes, size_t n)
    {
        std::string data = mPending + std::string(bytes, n);
        size_t start = 0;
        if (mOffset == static_cast<off_t>(mPending.size()) && mOffset < 2 && data.size() >= 2 &&
            static_cast<uint8_t>(data[0]) == 0xFF && static_cast<uint8_t>(data[1]) == 0xFE)
            start = 2; // the byte-order mark
        const size_t whole = start + (data.size() - start) / 2 * 2;
        std::u16string text;
        text.reserve((whole - start) / 2);
        for (size_t i = start; i < whole; i += 2)
            text += static_cast<char16_t>(static_cast<uint8_t>(data[i]) | (static_cast<uint8_t>(data[i + 1]) << 8));
        mPending = data.substr(whole);
        std::string out = N(text);
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        std::fwrite(out.data(), 1, out.size(), stdout);
    }

    int mFd = -1;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    off_t mOffset = 0;
    std::string mPending;
};
} // namespace

int CommandLog(const Options& o)
{
    if (o.rest.size() != 1)
        throw UsageError("log takes one FILE");
    const std::string& path = o.rest[0];
    if (o.all)
    {
        Reader old;
        if (old.Open(path + ".old"))
            old.PrintNew();
    }
    Reader reader;
    bool opened = reader.Open(path);
    // Followed, a file that does not exist yet is waited for.
    while (!opened && o.follow && errno == ENOENT)
    {
        std::this_thread::sleep_for(kPoll);
        opened = reader.Open(path);
    }
    if (!opened)
    {
        std::fprintf(stderr, "ferrule: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return kFailed;
    }
    reader.PrintNew();
    while (o.follow)
    {
        std::this_thread::sleep_for(kPoll);
        reader.PrintNew();
        if (reader.Replaced(path))
        {
            // Rotated: the renamed file is finished (a writer rotates while it holds the file, so
            // nothing is appended to it afterwards), then the new file is read from its start.
            reader.PrintNew();
            if (reader.Open(path))
                reader.PrintNew();
        }
    }
    return kOk;
}
} // namespace tool

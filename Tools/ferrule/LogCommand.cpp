#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Global/Result.h"
#include "Ferrule/ManagerAccess.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tool
{
const char* const kLogHelp =
    "usage: ferrule log [FILE] [--app NAME] [--policy FILE] [--all] [-n N] [-f|--follow] [--raw]\n"
    "\n"
    "Prints a log file (UTF-16LE with CR LF, as the module writes it) as UTF-8 lines. Without FILE it\n"
    "prints the log of the policy --app or --policy names (the default policy otherwise), read without\n"
    "writing anything. A failure stored as a serialized result is shown as its display text with its\n"
    "causes; --raw prints every line as stored. --all prints the previous generation FILE.old first;\n"
    "-n N only the last N lines. -f (--follow) keeps printing what is appended; when the file is\n"
    "rotated it finishes the renamed file and goes on with the new one. A generation that was rotated\n"
    "away before it could be read (the log rotating faster than it is read) is reported on stderr.\n"
    "Lines on stdout, errors on stderr; exit 0 at the end of the file, 1 when it cannot be read.\n";

namespace
{
const std::chrono::milliseconds kPoll(100);

using LineSink = std::function<void(const std::string& line)>;

// One log file being read: its descriptor, the bytes read so far, half a code unit and a part of a line
// left over; each whole line goes to the sink.
class Reader
{
public:
    explicit Reader(LineSink sink) : mSink(std::move(sink)) {}
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
        mLine.clear();
        return true;
    }

    void Close()
    {
        if (mFd >= 0)
            close(mFd);
        mFd = -1;
    }

    // The file open: its device and inode.
    std::pair<dev_t, ino_t> Identity() const { return {mDevice, mInode}; }
    off_t Offset() const { return mOffset; }

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
    }

    // A last line without its line end, at the end of a file not followed.
    void Finish()
    {
        if (!mLine.empty())
            mSink(mLine);
        mLine.clear();
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
        mLine += out;
        for (size_t end; (end = mLine.find('\n')) != std::string::npos;)
        {
            mSink(mLine.substr(0, end));
            mLine.erase(0, end + 1);
        }
    }

    int mFd = -1;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    off_t mOffset = 0;
    std::string mPending;
    std::string mLine;
    LineSink mSink;
};

// Follows a log file through its rotations: each new generation is noticed as the writer creates it
// (inotify on the folder), the renamed one is finished, a generation already renamed to FILE.old is read
// from there, and the generations that were gone before they could be read are counted and reported.
class Follower
{
public:
    Follower(const std::string& path, Reader& reader, LineSink sink)
        : mPath(path), mReader(reader), mSink(std::move(sink)), mWatch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    {
        const size_t slash = path.rfind('/');
        mName = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (mWatch >= 0)
            inotify_add_watch(mWatch, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY);
        Reader before(mSink); // the generation before the one followed: not read again
        if (before.Open(path + ".old"))
            mLastOld = before.Identity();
    }
    ~Follower()
    {
        if (mWatch >= 0)
            close(mWatch);
    }
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    [[noreturn]] void Run()
    {
        for (;;)
        {
            Wait();
            mReader.PrintNew();
            if (!mReader.Replaced(mPath))
                continue;
            // Rotated: the renamed file is finished (a writer rotates while it holds the file, so
            // nothing is appended to it afterwards); a later generation already renamed is read from
            // FILE.old; then the new file from its start.
            // Identities are compared only between files that exist (or are held open) at once: a
            // deleted generation's inode number is soon another file's.
            mReader.PrintNew();
            const off_t generationSize = mReader.Offset();
            const auto finished = mReader.Identity();
            Reader old(mSink);
            if (old.Open(mPath + ".old") && old.Identity() != finished && old.Identity() != mLastOld &&
                !Current(old.Identity()))
            {
                ++mOpened;
                mLastOld = old.Identity();
                old.PrintNew();
                old.Finish();
            }
            if (mReader.Open(mPath))
            {
                ++mOpened;
                mReader.PrintNew();
            }
            ReportMissed(generationSize);
        }
    }

private:
    // Until the folder changes, or a poll's time passed; counts the generations created meanwhile.
    void Wait()
    {
        pollfd p{mWatch, POLLIN, 0};
        if (mWatch < 0 || poll(&p, 1, static_cast<int>(kPoll.count())) <= 0)
            return;
        alignas(inotify_event) char events[16384];
        for (ssize_t n; (n = read(mWatch, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < n;)
            {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                if ((e->mask & (IN_CREATE | IN_MOVED_TO)) && e->len > 0 && mName == e->name)
                    ++mCreated;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
    }

    bool Current(const std::pair<dev_t, ino_t>& id) const
    {
        struct stat st;
        return stat(mPath.c_str(), &st) == 0 && st.st_dev == id.first && st.st_ino == id.second;
    }

    // Every generation created at the path and never opened went away unread.
    void ReportMissed(off_t generationSize)
    {
        if (mWatch < 0 || mCreated <= mOpened + mReported)
            return;
        const size_t missed = mCreated - mOpened - mReported;
        mReported += missed;
        std::fprintf(stderr,
                     "ferrule: %zu generation%s of %s rotated away before %s could be read (about %lld bytes, "
                     "as large as the one before): %s lines are missing here\n",
                     missed, missed == 1 ? "" : "s", mPath.c_str(), missed == 1 ? "it" : "they",
                     static_cast<long long>(missed) * static_cast<long long>(generationSize),
                     missed == 1 ? "its" : "their");
        std::fflush(stderr);
    }

    std::string mPath, mName;
    Reader& mReader;
    LineSink mSink;
    int mWatch;
    std::pair<dev_t, ino_t> mLastOld{};      // the last generation read as FILE.old (or there at the start)
    size_t mOpened = 0;                      // the generations opened after the first
    size_t mCreated = 0;                     // the generations created at the path while followed
    size_t mReported = 0;                    // of those, the ones reported as missed
};

// A line as a person reads it: a serialized result in it (a failure warning, as the manager stores it)
// shown as its display text, its causes on lines of their own below.
std::string ReadableLine(const std::string& line, IMessageTranslator* translator)
{
    const size_t start = line.find("Result (");
    if (start == std::string::npos || translator == nullptr)
        return line;
    // The serialized text: the shortest that reads whole up to a ")", with its context ("<...>") when
    // one follows.
    auto reads = [&](size_t end) {
        Result parsed;
        return TryDeserializeResult(W(line.substr(start, end - start)), parsed);
    };
    for (size_t end = line.find(')', start); end != std::string::npos; end = line.find(')', end + 1))
    {
        if (!reads(end + 1))
            continue;
        ++end;
        const size_t close = line.find('>', end);
        if (line.compare(end, 1, "<") == 0 && close != std::string::npos && reads(close + 1))
            end = close + 1;
        const std::u16string serialized = W(line.substr(start, end - start));
        std::string shown = Readable(serialized, translator);
        for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 5))
            shown.replace(at, 1, "\n    ");
        return line.substr(0, start) + shown + line.substr(end);
    }
    return line;
}

// The log file of the policy the options name, found without writing anything.
std::string PolicyLogFile(const Options& o, Module& module)
{
    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Show);
    if (!notify)
        return "";
    const ComPtr<INotifyLog> log = HandlerOf<INotifyLog>(notify.Get(), CLSID_NotifyLog, IID_INotifyLog);
    Bstr path, name;
    if (!log)
        return "";
    log->get_FilePath(path.Out());
    log->get_FileName(name.Out());
    std::string folder = N(path);
    std::replace(folder.begin(), folder.end(), '\\', '/');
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder + (name.Empty() ? o.app + ".log.txt" : N(name));
}
} // namespace

int CommandLog(const Options& o, Module& module)
{
    if (o.rest.size() > 1)
        throw UsageError("log takes one FILE, or none for the policy's log");
    const std::string path = o.rest.empty() ? PolicyLogFile(o, module) : o.rest[0];
    if (path.empty())
        return kFailed;
    const size_t last = o.values.count("lines") ? ParseNumber(o.values.at("lines"), "number of lines") : SIZE_MAX;
    IMessageTranslator* translator = o.raw ? nullptr : module.translator.Get();
    // The lines already there, of which -n keeps the last N; then, followed, each line as it comes.
    std::deque<std::string> kept;
    bool following = false;
    const LineSink sink = [&](const std::string& line) {
        const std::string shown = ReadableLine(line, translator);
        if (following)
        {
            std::printf("%s\n", shown.c_str());
            std::fflush(stdout);
            return;
        }
        kept.push_back(shown);
        if (kept.size() > last)
            kept.pop_front();
    };
    if (o.all)
    {
        Reader old(sink);
        if (old.Open(path + ".old"))
        {
            old.PrintNew();
            old.Finish();
        }
    }
    Reader reader(sink);
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
    if (!o.follow)
        reader.Finish();
    for (const std::string& line : kept)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    following = true;
    if (o.follow)
        Follower(path, reader, sink).Run();
    return kOk;
}
} // namespace tool

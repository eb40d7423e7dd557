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
    "rotated it finishes the renamed file and goes on with the new one. Lines on stdout, errors on\n"
    "stderr; exit 0 at the end of the file, 1 when it cannot be read.\n";

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

#include "Ferrule/Outbox.h"
#include "Base/Dev/Config/Places.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace outbox
{
namespace
{
const char kDownFolder[] = "down";

std::string Spool()
{
    return Places::SpoolFolder();
}

// FNV-1a, 64 bits, as 16 hexadecimal digits: a name for a text (a policy's path, a destination).
std::string NameOf(const std::string& text)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text)
        h = (h ^ c) * 0x100000001b3ull;
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
    return name;
}

// A folder of the spool, made 0700 with the spool itself; "" when there is no spool.
std::string Folder(const std::string& name, bool make, std::string* why = nullptr)
{
    const std::string spool = Spool();
    if (spool.empty())
    {
        if (why)
            *why = "there is no spool folder for this user (no home folder; FERRULE_SPOOL_DIR names one)";
        return "";
    }
    const std::string folder = spool + "/" + name;
    if (make)
    {
        Places::MakeFolders(folder);
        chmod(spool.c_str(), 0700);
        chmod(folder.c_str(), 0700);
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        {
            if (why)
                *why = "cannot make " + folder + ": " + std::strerror(errno);
            return "";
        }
    }
    return folder;
}

bool SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// Writes text to path through a temporary file in the same folder: whole or not at all.
bool WriteWhole(const std::string& folder, const std::string& name, const std::string& text, std::string& why)
{
    const std::string temporary = folder + "/.tmp-" + name, path = folder + "/" + name;
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
    {
        why = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < text.size())
    {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const int error = written < text.size() ? (errno ? errno : ENOSPC) : fsync(fd) != 0 ? errno : 0;
    close(fd);
    if (error != 0 || rename(temporary.c_str(), path.c_str()) != 0)
    {
        why = "cannot write " + path + ": " + std::strerror(error != 0 ? error : errno);
        unlink(temporary.c_str());
        return false;
    }
    SyncFolder(folder);
    return true;
}

nlohmann::json ToJson(const Entry& e)
{
    return {{"version", 1},          {"id", e.id},
            {"policy", e.policy},    {"application", e.application},
            {"channel", e.channel},  {"handler", e.handler},
            {"destination", e.destination},
            {"recipient", e.recipient}, {"created", e.created},
            {"due", e.due},          {"giveUpAt", e.giveUpAt},
            {"attempts", e.attempts}, {"lastFailure", e.lastFailure},
            {"payload", e.payload}};
}

bool FromJson(const std::string& text, Entry& e)
{
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || j.value("version", 0) != 1)
        return false;
    try
    {
        e.id = j.at("id").get<std::string>();
        e.policy = j.at("policy").get<std::string>();
        e.application = j.value("application", "");
        e.channel = j.at("channel").get<std::string>();
        e.handler = j.value("handler", "");
        e.destination = j.value("destination", "");
        e.recipient = j.value("recipient", "");
        e.created = j.at("created").get<int64_t>();
        e.due = j.at("due").get<int64_t>();
        e.giveUpAt = j.at("giveUpAt").get<int64_t>();
        e.attempts = j.value("attempts", 1u);
        e.lastFailure = j.value("lastFailure", "");
        e.payload = j.at("payload");
    }
    catch (const nlohmann::json::exception&)
    {
        return false;
    }
    return true;
}

bool ReadText(const std::string& path, std::string& text)
{
    return SUCCEEDED(ReadWholeFile(Utf8ToUtf16(path), text));
}

// The file of an entry: the folder of its policy is found by looking (ids are unique in the spool).
std::string PathOf(const std::string& id)
{
    if (id.empty() || id.find('/') != std::string::npos || id[0] == '.')
        return "";
    const std::string spool = Spool();
    for (const std::string& folder : VisibleNames(spool))
    {
        const std::string path = spool + "/" + folder + "/" + id + ".json";
        if (access(path.c_str(), F_OK) == 0)
            return path;
    }
    return "";
}

std::string NewId()
{
    static std::atomic<unsigned> counter{0};
    timeval now;
    gettimeofday(&now, nullptr);
    char id[64];
    std::snprintf(id, sizeof id, "%010lld%06ld-%d-%u", static_cast<long long>(now.tv_sec),
                  static_cast<long>(now.tv_usec), static_cast<int>(getpid()), counter++);
    return id;
}
} // namespace

int64_t Now()
{
    const char* offset = std::getenv("FERRULE_OUTBOX_CLOCK_OFFSET");
    return static_cast<int64_t>(time(nullptr)) + (offset ? std::strtoll(offset, nullptr, 10) : 0);
}

std::string TimeText(int64_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

int64_t WaitAfter(uint32_t attempts)
{
    int64_t wait = kFirstWait;
    for (uint32_t i = 1; i < attempts && wait < kLongestWait; ++i)
        wait *= 2;
    return std::min(wait, kLongestWait);
}

bool Keep(Entry& entry, std::string& why, std::vector<std::string>& dropped)
{
    const std::string folder = Folder(NameOf(entry.policy), true, &why);
    if (folder.empty())
        return false;
    entry.id = NewId();
    const std::string text = Text(entry);
    // The bounds: the oldest entries of this policy go first.
    std::vector<std::pair<std::string, uint64_t>> kept;
    uint64_t bytes = text.size();
    for (const std::string& name : VisibleNames(folder))
    {
        struct stat st;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0 &&
            stat((folder + "/" + name).c_str(), &st) == 0)
        {
            kept.emplace_back(name, static_cast<uint64_t>(st.st_size));
            bytes += static_cast<uint64_t>(st.st_size);
        }
    }
    for (size_t i = 0; i < kept.size() && (kept.size() - i + 1 > kMaxEntriesPerPolicy || bytes > kMaxBytesPerPolicy); ++i)
    {
        if (unlink((folder + "/" + kept[i].first).c_str()) == 0)
            dropped.push_back(kept[i].first.substr(0, kept[i].first.size() - 5));
        bytes -= kept[i].second;
    }
    return WriteWhole(folder, entry.id + ".json", text, why);
}

std::vector<Entry> List()
{
    std::vector<Entry> entries;
    const std::string spool = Spool();
    if (spool.empty())
        return entries;
    for (const std::string& folder : VisibleNames(spool))
    {
        if (folder == kDownFolder)
            continue;
        for (const std::string& name : VisibleNames(spool + "/" + folder))
        {
            std::string text;
            Entry e;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0 &&
                ReadText(spool + "/" + folder + "/" + name, text) && FromJson(text, e))
                entries.push_back(std::move(e));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
    return entries;
}

std::string Text(const Entry& entry)
{
    return ToJson(entry).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool Read(const std::string& id, Entry& entry)
{
    std::string text;
    const std::string path = PathOf(id);
    return !path.empty() && ReadText(path, text) && FromJson(text, entry);
}

bool Rewrite(const Entry& entry)
{
    const std::string path = PathOf(entry.id);
    if (path.empty())
        return false;
    std::string why;
    return WriteWhole(path.substr(0, path.rfind('/')), entry.id + ".json", Text(entry), why);
}

bool Remove(const std::string& id)
{
    const std::string path = PathOf(id);
    if (path.empty() || unlink(path.c_str()) != 0)
        return false;
    SyncFolder(path.substr(0, path.rfind('/')));
    return true;
}

Claim::Claim(const std::string& id)
{
    const std::string path = PathOf(id);
    if (path.empty())
        return;
    mFd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat held, now;
    if (mFd >= 0 && (flock(mFd, LOCK_EX | LOCK_NB) != 0 || fstat(mFd, &held) != 0 || stat(path.c_str(), &now) != 0 ||
                     held.st_ino != now.st_ino || held.st_dev != now.st_dev))
    {
        close(mFd);
        mFd = -1;
    }
}

Claim::~Claim()
{
    if (mFd >= 0)
        close(mFd);
}

DownState Down(const std::string& destination)
{
    DownState state;
    const std::string spool = Spool();
    if (spool.empty())
        return state;
    const std::string path = spool + "/" + kDownFolder + "/" + NameOf(destination);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || Now() - static_cast<int64_t>(st.st_mtime) >= kDownSeconds)
        return state;
    std::string text;
    if (!ReadText(path, text))
        return state;
    state.down = true;
    state.since = std::strtoll(text.c_str(), nullptr, 10);
    return state;
}

void MarkDown(const std::string& destination)
{
    const std::string folder = Folder(kDownFolder, true);
    if (folder.empty())
        return;
    // Down since the first failure of this spell; the window runs from the last one (the file's time).
    const DownState before = Down(destination);
    const int64_t since = before.down ? before.since : Now();
    std::string why;
    WriteWhole(folder, NameOf(destination), std::to_string(since) + "\n", why); // no URL: it may hold a secret
    const std::string path = folder + "/" + NameOf(destination);
    const timespec times[2] = {{static_cast<time_t>(Now()), 0}, {static_cast<time_t>(Now()), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MarkUp(const std::string& destination)
{
    const std::string spool = Spool();
    if (!spool.empty())
        unlink((spool + "/" + kDownFolder + "/" + NameOf(destination)).c_str());
}
} // namespace outbox

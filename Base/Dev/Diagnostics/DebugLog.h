// The debug log: the process-wide diagnostic trace. An entry carries a debug context (who speaks) and
// a message type; it is accepted only when the context's type mask has that type. Entries are kept in
// memory (1 MiB before the limit is reported once), can be streamed to a file, and render as text or
// XML.
//
//   DEBUG_LOG(Debug::APPLICATION, Debug::LOWINFO) << "text";   // one mask test when disabled
#pragma once

#include "Base/Dev/Global/Types.h"

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace Debug
{
enum ContextId : uint32_t
{
    FILESYSTEM = 1, FILE_ACCESS, FAT, HPFS, NTFS, NSS, NWTRAD, LINUX_SWAP, EXT, EXT4, REISER, XFS, JFS, VOLUME_MGT,
    RESIZE, IMAGING, CAN, VMWARE, SME_VIRTUAL_DISK, DISCO, OPERATION, DEVICE, OS, ASSERT, BASE, CONFIG, GEM, INF,
    PROCESS, RESULT_CLASS, TIMING, UNIT_TEST, UTIL_MON, BIT_MAP, CDVD, GLOBAL, LDM, CONTEXT_38, LOCAL, REGISTRY,
    RETARGET, RDD, SECTOR_BUFFER, SME, SNAPSHOT, WDM, FILE_BACKUP, VIRTUAL_DISK, FTP_ACCESSOR, WINOS_SUPPORT, UI,
    APPLICATION,
    kLastContext = APPLICATION
};

enum MessageType : uint32_t
{
    INFO = 0x1,
    LOWINFO = 0x2,
    WARN = 0x4,
    ERR = 0x8,
    MEMORY = 0x10,
    HANDLE = 0x20,
    POINTER = 0x40,
    FENTRY = 0x80,
    FEXIT = 0x100,
    CONSTRUCTOR = 0x200,
    DESTRUCTOR = 0x400,
    SYSCALL = 0x800,
    SYNC = 0x1000,
    THREAD = 0x2000,
    TYPE_IO = 0x4000,
    RESULT = 0x8000,
    FLOW = 0x10000,
    ALWAYS = 0x80000000,
};

// Name of a context; 38 and numbers outside 1..52 raise CheckFailure "Unknown Debug::ContextId".
const char* ContextName(uint32_t context);
std::string ContextNames(const std::vector<uint32_t>& contexts);
// "ERR|RESULT" for 0x8008; "" for 0.
std::string MaskToText(uint32_t mask);
// "", "0" → 0; "ALL" → 0xFFFFFFFF; names (any case) or numbers joined by "|"; NO_TYPE adds nothing.
// false for an unknown name.
bool TextToMask(const std::string& text, uint32_t& mask);

// Per-context type masks, read without locking.
extern std::atomic<uint32_t> gContextMasks[kLastContext + 1];
inline bool IsEnabled(uint32_t context, uint32_t type)
{
    return context <= kLastContext && (gContextMasks[context].load(std::memory_order_relaxed) & type) != 0;
}
void SetContextMask(uint32_t context, uint32_t mask);
uint32_t GetContextMask(uint32_t context);

// One entry.
struct DebugItem
{
    int64_t time = 0; // microseconds since the epoch, UTC
    std::string file;
    std::string function;
    std::string text;
    uint32_t line = 0;
    uint32_t contextCount = 0;
    uint32_t contexts[3] = {0, 0, 0};
    uint32_t type = 0;
    uint32_t thread = 0;
    // The size counted against the memory limit.
    size_t Size() const { return 144 + file.size() + function.size() + text.size(); }
};

// Renders one entry: format 0 text, format 1 XML; others raise CheckFailure "unsupported log format".
std::string RenderEntry(const DebugItem& item, int format);

// The generic in-memory log.
class Log
{
public:
    explicit Log(StringId fullMessageId);
    virtual ~Log() = default;

    // Adds an entry; when the memory limit is reached the first time, raises the limit event once
    // (after the lock is released). Entries are never dropped for the limit.
    void Add(std::unique_ptr<DebugItem> item);
    std::string Render(int format) const;
    size_t Count() const;
    size_t CurrentSize() const;
    bool LimitReported() const;
    void SetMemoryLimit(size_t bytes);
    // Drops all entries and the limit flag (tests and hosts that collect the log).
    void Clear();
    std::vector<DebugItem> Entries() const;

    // Receives (full-message identifier, current size); the default writes the message to stderr.
    using LimitEvent = std::function<void(StringId id, uint32_t size)>;
    void SetLimitEvent(LimitEvent event);

protected:
    // Under the lock, after the entry was added.
    virtual void Added(const DebugItem& /*item*/) {}

    mutable std::recursive_mutex mLock;
    size_t mMemoryLimit = 0x100000;
    size_t mCurrentSize = 0;
    StringId mFullMessageId;
    bool mLimitReported = false;
    bool mEnabled = true;
    std::vector<std::unique_ptr<DebugItem>> mEntries;
    LimitEvent mLimitEvent;
};

class DebuggingLog : public Log
{
public:
    DebuggingLog();
    ~DebuggingLog() override;
    // Opens name and streams the entries held so far and every later one to it; "" closes it. A file
    // that cannot be opened is reported once (stderr and an entry) and logging goes on in memory.
    void SetDirectFile(const std::string& name);
    const std::string& DirectFileName() const { return mDirectName; }
    uint64_t EntriesWritten() const { return mEntryCount; }

protected:
    void Added(const DebugItem& item) override;

private:
    std::ofstream mDirect;
    std::string mDirectName;
    std::string mReportedName;
    uint64_t mEntryCount = 0;
};

extern bool s_bDebugLogInitialized;

// The process's debug log, created on first use; after it was destroyed at exit raises CheckFailure.
DebuggingLog& DebugLog();

// The entry builder: the caller writes the text into Stream(); the entry is added when the builder
// goes. Without a context the entry is added whatever the masks say.
class Entry
{
public:
    // Cold: the compiler moves the code of an entry out of its caller's hot path.
    __attribute__((cold)) Entry(uint32_t context, uint32_t type, const char* file, int line, const char* function);
    Entry();
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    std::ostringstream& Stream() { return mStream; }

private:
    std::unique_ptr<DebugItem> mItem;
    std::ostringstream mStream;
};

// The file name as recorded: without the source-tree root when it lies inside the tree.
std::string TrimSourceFile(const char* file);
} // namespace Debug

// The compiler is told that a disabled context is the expected case: the test falls through to the code
// after the entry, and the entry's code lies apart from the hot path. (A one-pass for, so that the macro
// is one statement that an else cannot attach to.)
#define DEBUG_LOG(context, type)                                                                             \
    for (bool debugLogOn_ = __builtin_expect(Debug::IsEnabled(context, type), 0); debugLogOn_;            \
         debugLogOn_ = false)                                                                              \
        Debug::Entry(context, type, __FILE__, __LINE__, __func__).Stream()

// The debug log. This file's own path locates the source-tree root that entries' file names lose.
#include "Base/Dev/Diagnostics/DebugLog.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/Exceptions.h"
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Platform/Win32/Utf.h"

#include <boost/format.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Debug
{
std::atomic<uint32_t> gContextMasks[kLastContext + 1];
bool s_bDebugLogInitialized = false;

namespace
{
const char* const kContextNames[kLastContext + 1] = {
    nullptr,        "FILESYSTEM", "FILE_ACCESS",  "FAT",           "HPFS",     "NTFS",      "NSS",
    "NWTRAD",       "LINUX_SWAP", "EXT",          "EXT4",          "REISER",   "XFS",       "JFS",
    "VOLUME_MGT",   "RESIZE",     "IMAGING",      "CAN",           "VMWARE",   "SME_VIRTUAL_DISK",
    "DISCO",        "OPERATION",  "DEVICE",       "OS",            "ASSERT",   "BASE",      "CONFIG",
    "GEM",          "INF",        "PROCESS",      "RESULT_CLASS",  "TIMING",   "UNIT_TEST", "UTIL_MON",
    "BIT_MAP",      "CDVD",       "GLOBAL",       "LDM",           nullptr,    "LOCAL",     "REGISTRY",
    "RETARGET",     "RDD",        "SECTOR_BUFFER", "SME",          "SNAPSHOT", "WDM",       "FILE_BACKUP",
    "VIRTUAL_DISK", "FTP_ACCESSOR", "WINOS_SUPPORT", "UI",         "APPLICATION",
};

struct TypeName
{
    uint32_t bit;
    const char* name;
};
const TypeName kTypeNames[] = {
    {INFO, "INFO"},       {LOWINFO, "LOWINFO"},         {WARN, "WARN"},         {ERR, "ERR"},
    {MEMORY, "MEMORY"},   {HANDLE, "HANDLE"},           {POINTER, "POINTER"},   {FENTRY, "FENTRY"},
    {FEXIT, "FEXIT"},     {CONSTRUCTOR, "CONSTRUCTOR"}, {DESTRUCTOR, "DESTRUCTOR"}, {SYSCALL, "SYSCALL"},
    {SYNC, "SYNC"},       {THREAD, "THREAD"},           {TYPE_IO, "TYPE_IO"},   {RESULT, "RESULT"},
    {FLOW, "FLOW"},       {ALWAYS, "ALWAYS"},
};

bool EqualNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == 0;
}

std::string TimeText(int64_t microseconds)
{
    const time_t seconds = static_cast<time_t>(microseconds / 1000000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<long long>(microseconds % 1000000));
    return buffer;
}

// The source-tree root: this file's build path less its known relative form.
const std::string& SourceRoot()
{
    static const std::string root = [] {
        const std::string self = __FILE__;
        const std::string relative = "Base/Dev/Diagnostics/DebugLogEvent.cpp";
        if (self.size() < relative.size())
            return std::string();
        auto same = [](char a, char b) {
            if (a == '\\')
                a = '/';
            if (b == '\\')
                b = '/';
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        };
        for (size_t i = 0; i < relative.size(); ++i)
            if (!same(self[self.size() - 1 - i], relative[relative.size() - 1 - i]))
                return std::string();
        return self.substr(0, self.size() - relative.size());
    }();
    return root;
}

std::vector<uint32_t> ContextList(const DebugItem& item)
{
    return std::vector<uint32_t>(item.contexts, item.contexts + std::min<uint32_t>(item.contextCount, 3));
}

// The creation entry of a failing Result (the suppression rules were applied by the caller).
void ResultCreationEntry(const Result& result, const char* file, int line, const char* function, bool fromInit)
{
    if (!IsEnabled(RESULT_CLASS, RESULT))
        return;
    Entry entry(RESULT_CLASS, RESULT, file, line, function);
    std::ostringstream& text = entry.Stream();
    text << Utf16ToUtf8(DisplayText(result));
    const uint32_t code = result.GetCode();
    if (fromInit)
    {
        text << "\n" << HexCode(code);
        if (const ArgumentList* args = result.Arguments())
            for (size_t i = 0; i < args->size() && i < 9; ++i)
                text << "\n\t" << (i + 1) << ": " << Utf16ToUtf8(DisplayText((*args)[i]));
    }
    // The caller part names no frame here: the call-stack naming facility answers empty names.
    if ((code >> 30) == 3 || code < kNativeFlag)
        text << "\n(UMI:Q-*-" << ((code >> 16) & 0xFFF) << "-" << (code & 0xFFFF) << ")";
}

// Configuration: "DX_<context>", "DX_ALL" and "direct_debug_file", applied when they change.
bool DefineConfigItems()
{
    auto validMask = [](const std::string& v) {
        uint32_t mask;
        return TextToMask(v, mask);
    };
    for (uint32_t c = 1; c <= kLastContext; ++c)
        if (kContextNames[c])
            Config::Define(std::string("DX_") + kContextNames[c], "",
                           std::string("Set Debug::ContextId ") + kContextNames[c] + ".", validMask);
    Config::Define("DX_ALL", "", "Set all Debug::ContextIds.", validMask);
    Config::Define("direct_debug_file", "", "Write debug data directly to disk (slow)");
    Config::AddListener([](const std::string& name) {
        if (name == "direct_debug_file")
        {
            DebugLog().SetDirectFile(Config::Get(name));
            return;
        }
        if (name.rfind("DX_", 0) != 0)
            return;
        uint32_t mask = 0;
        if (!TextToMask(Config::Get(name), mask))
            return;
        if (name == "DX_ALL")
        {
            for (uint32_t c = 1; c <= kLastContext; ++c)
                SetContextMask(c, mask);
            return;
        }
        for (uint32_t c = 1; c <= kLastContext; ++c)
            if (kContextNames[c] && name == std::string("DX_") + kContextNames[c])
                SetContextMask(c, mask);
    });
    SetResultEntryFunction(&ResultCreationEntry);
    return true;
}
const bool kConfigItemsDefined = DefineConfigItems();

uint32_t ThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

// Text for a CDATA section: a "]]>" inside is split across two sections, so the XML stays well formed.
std::string Cdata(const std::string& text)
{
    std::string out;
    size_t start = 0, at;
    while ((at = text.find("]]>", start)) != std::string::npos)
    {
        out.append(text, start, at - start);
        out += "]]]]><![CDATA[>";
        start = at + 3;
    }
    out.append(text, start, std::string::npos);
    return out;
}

// The text identifier a host registers to have the machine described in the log.
const StringId kMachineDescriptionId = 0x10E10004;

// Operating system, processors and memory, one per line.
std::string MachineDescription()
{
    struct utsname name;
    std::string text;
    if (uname(&name) == 0)
        text += std::string("Operating system: ") + name.sysname + " " + name.release + " " + name.version + " (" +
                name.machine + ")\n";
    text += "Processors: " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + "\n";
    const long long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    text += "Memory: " + std::to_string(pages * pageSize / (1024 * 1024)) + " MB\n";
    return text;
}

int64_t NowMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Holder
{
    DebuggingLog log;
    Holder()
    {
        s_bDebugLogInitialized = true;
        // The start entry.
        auto item = std::make_unique<DebugItem>();
        item->time = NowMicroseconds();
        item->thread = ThreadId();
        item->text = (boost::format("%1%\nStarting Application Debug Log\n") % std::string(45, '*')).str();
        log.Add(std::move(item));
        // The machine, once, when the host has registered a text that asks for it.
        const String heading = StringRepository::GetString(kMachineDescriptionId);
        if (!heading.empty())
        {
            auto machine = std::make_unique<DebugItem>();
            machine->time = NowMicroseconds();
            machine->thread = ThreadId();
            machine->text = Utf16ToUtf8(heading) + "\n" + MachineDescription();
            log.Add(std::move(machine));
        }
    }
    ~Holder() { s_bDebugLogInitialized = false; }
};
} // namespace

const char* ContextName(uint32_t context)
{
    if (context == 0 || context > kLastContext || kContextNames[context] == nullptr)
        CHECK_FAILED("Unknown Debug::ContextId");
    return kContextNames[context];
}

std::string ContextNames(const std::vector<uint32_t>& contexts)
{
    std::string out;
    for (uint32_t c : contexts)
        out += (out.empty() ? "" : "|") + std::string(ContextName(c));
    return out;
}

std::string MaskToText(uint32_t mask)
{
    std::string out;
    for (const TypeName& t : kTypeNames)
        if (mask & t.bit)
            out += (out.empty() ? "" : "|") + std::string(t.name);
    return out;
}

bool TextToMask(const std::string& text, uint32_t& mask)
{
    mask = 0;
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text == "0")
        return true;
    size_t pos = 0;
    while (pos <= text.size())
    {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '|')
            ++end;
        const std::string name = text.substr(pos, end - pos);
        pos = end;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        if (pos < text.size() && text[pos] != '|')
            return false; // two words without "|"
        ++pos;
        if (name.empty())
            return false;
        if (EqualNoCase(name, "ALL"))
        {
            mask = 0xFFFFFFFF;
            continue;
        }
        if (EqualNoCase(name, "NO_TYPE"))
            continue;
        if (std::isdigit(static_cast<unsigned char>(name[0])))
        {
            char* end2 = nullptr;
            const unsigned long long v = std::strtoull(name.c_str(), &end2, 0);
            if (*end2 != 0 || v > 0xFFFFFFFFull)
                return false;
            mask |= static_cast<uint32_t>(v);
            continue;
        }
        bool known = false;
        for (const TypeName& t : kTypeNames)
            if (EqualNoCase(name, t.name))
            {
                mask |= t.bit;
                known = true;
                break;
            }
        if (!known)
            return false;
    }
    return true;
}

void SetContextMask(uint32_t context, uint32_t mask)
{
    if (context <= kLastContext)
        gContextMasks[context].store(mask, std::memory_order_relaxed);
}

uint32_t GetContextMask(uint32_t context)
{
    return context <= kLastContext ? gContextMasks[context].load(std::memory_order_relaxed) : 0;
}

std::string TrimSourceFile(const char* file)
{
    if (file == nullptr || *file == 0)
        return std::string();
    const std::string& root = SourceRoot();
    const std::string name = file;
    if (!root.empty() && name.size() >= root.size() && strncasecmp(name.c_str(), root.c_str(), root.size()) == 0)
        return name.substr(root.size());
    return name;
}

std::string RenderEntry(const DebugItem& item, int format)
{
    std::string out;
    const std::string time = TimeText(item.time);
    if (format == 0)
    {
        out += (boost::format("* %1%\t%2%\t") % time % item.thread).str();
        if (item.type != 0)
            out += (boost::format("    Context: %1% : %2%\n") % ContextNames(ContextList(item)) % MaskToText(item.type))
                       .str();
        else
            out += "\n";
        if (!item.file.empty())
        {
            out += (boost::format("  %1%(%2%") % item.file % item.line).str();
            out += item.function.empty() ? std::string(")\n")
                                         : (boost::format(")   Function: %1%\n") % item.function).str();
        }
        out += item.text + "\n\n";
        return out;
    }
    if (format == 1)
    {
        out += (boost::format("<event>\n<date>%1%</date>\n<thread>%2%</thread>\n") % time % item.thread).str();
        if (item.type != 0)
            out += (boost::format("<context>%1%</context>\n<type>%2%</type>\n") % ContextNames(ContextList(item)) %
                    MaskToText(item.type))
                       .str();
        if (!item.file.empty())
            out += (boost::format("<file>%1%</file>\n<line>%2%</line>\n") % item.file % item.line).str();
        if (!item.function.empty())
            out += (boost::format("<func><![CDATA[%1%]]></func>\n") % Cdata(item.function)).str();
        out += (boost::format("<data><![CDATA[%1%]]></data>\n</event>\n\n") % Cdata(item.text)).str();
        return out;
    }
    CHECK_FAILED("unsupported log format");
}

// ---- Log

Log::Log(StringId fullMessageId) : mFullMessageId(fullMessageId)
{
    mLimitEvent = [](StringId id, uint32_t size) {
        std::fprintf(stderr, "%s\n",
                     Utf16ToUtf8(StringRepository::FormatEnglishString(id, {Argument(size)})).c_str());
    };
}

void Log::Add(std::unique_ptr<DebugItem> item)
{
    LimitEvent event;
    uint32_t size = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        if (!mEnabled || !item)
            return;
        mCurrentSize += item->Size();
        mEntries.push_back(std::move(item));
        Added(*mEntries.back());
        if (mCurrentSize >= mMemoryLimit && !mLimitReported)
        {
            mLimitReported = true;
            event = mLimitEvent;
            size = static_cast<uint32_t>(mCurrentSize);
        }
    }
    if (event)
        event(mFullMessageId, size); // outside the lock
}

std::string Log::Render(int format) const
{
    if (format != 0 && format != 1)
        CHECK_FAILED("unsupported log format");
    std::lock_guard<std::recursive_mutex> lock(mLock);
    std::string out = format == 1 ? "<log>\n" : "";
    for (const auto& e : mEntries)
        out += RenderEntry(*e, format);
    if (format == 1)
        out += "</log>\n";
    return out;
}

size_t Log::Count() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mEntries.size();
}

size_t Log::CurrentSize() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mCurrentSize;
}

bool Log::LimitReported() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mLimitReported;
}

void Log::SetMemoryLimit(size_t bytes)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mMemoryLimit = bytes;
}

void Log::Clear()
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mEntries.clear();
    mCurrentSize = 0;
    mLimitReported = false;
}

std::vector<DebugItem> Log::Entries() const
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    std::vector<DebugItem> copy;
    for (const auto& e : mEntries)
        copy.push_back(*e);
    return copy;
}

void Log::SetLimitEvent(LimitEvent event)
{
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mLimitEvent = std::move(event);
}

// ---- DebuggingLog

DebuggingLog::DebuggingLog() : Log(DEBUGLOG_FULL_MESSAGE)
{
}

DebuggingLog::~DebuggingLog() = default;

void DebuggingLog::Added(const DebugItem& item)
{
    ++mEntryCount;
    if (mDirect.is_open())
    {
        mDirect << RenderEntry(item, 0) << "\n";
        mDirect.flush();
    }
}

void DebuggingLog::SetDirectFile(const std::string& name)
{
    std::string failure;
    {
        std::lock_guard<std::recursive_mutex> lock(mLock);
        if (name == mDirectName)
            return;
        if (mDirect.is_open())
            mDirect.close();
        mDirectName = name;
        if (name.empty())
            return;
        mDirect.open(name, std::ios::out | std::ios::app);
        if (!mDirect.is_open())
        {
            if (mReportedName != name)
            {
                mReportedName = name;
                failure = "Unable to open the direct debug file " + name + "; entries stay in memory.";
            }
        }
        else
        {
            for (const auto& e : mEntries)
                mDirect << RenderEntry(*e, 0) << "\n";
            mDirect.flush();
        }
    }
    if (!failure.empty())
    {
        std::fprintf(stderr, "%s\n", failure.c_str());
        Entry entry;
        entry.Stream() << failure;
    }
}

DebuggingLog& DebugLog()
{
    static Holder holder;
    if (!s_bDebugLogInitialized)
        throw CheckFailure(__FILE__, __LINE__, "DebugLog", "Debug::s_bDebugLogInitialized");
    return holder.log;
}

// ---- Entry

Entry::Entry(uint32_t context, uint32_t type, const char* file, int line, const char* function)
    : mItem(std::make_unique<DebugItem>())
{
    mItem->time = NowMicroseconds();
    mItem->thread = ThreadId();
    mItem->file = TrimSourceFile(file);
    mItem->line = mItem->file.empty() ? 0 : static_cast<uint32_t>(line);
    mItem->function = function ? function : "";
    mItem->contextCount = context ? 1 : 0;
    mItem->contexts[0] = context;
    mItem->type = type;
}

Entry::Entry() : Entry(0, 0, nullptr, 0, nullptr)
{
}

Entry::~Entry()
{
    try
    {
        mItem->text = mStream.str();
        if (mItem->contextCount == 0 || IsEnabled(mItem->contexts[0], mItem->type))
            DebugLog().Add(std::move(mItem));
    }
    catch (...)
    {
        // A diagnostic never fails its caller.
    }
}
} // namespace Debug

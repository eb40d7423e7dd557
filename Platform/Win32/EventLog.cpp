#include "Platform/Win32/EventLog.h"
#include "Platform/Win32/Handles.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include "Platform/Win32/SystemLog.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace
{
// The journal's MESSAGE_ID of an entry, one per event type (listed in ferrule(1) and the catalog).
const char* MessageIdOf(WORD type)
{
    switch (type)
    {
    case EVENTLOG_ERROR_TYPE: return "b821000f79d64b2899cc233d1cdfb414";
    case EVENTLOG_WARNING_TYPE: return "3a7efc690d5d4660878bf597b3ddd005";
    case EVENTLOG_INFORMATION_TYPE: return "13b49749a87f41e8850f96875e448f5c";
    case EVENTLOG_AUDIT_SUCCESS: return "cbf6f88e006042ef88061e19c35d9e35";
    default: return "222c5def27934d8a8049aed22925146c";
    }
}

// How often a process looks whether the registry changed under the sources it knows.
const std::chrono::seconds kRegistrationRecheck(1);

struct EventSource : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::EventSource;
    EventSource() : HandleObject(kKind) {}
    std::u16string source;
    std::string ident; // UTF-8
};

EventSource* AsSource(HANDLE h)
{
    return HandleAs<EventSource>(h);
}

std::string Canonical(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string out = resolved;
    free(resolved);
    return out;
}

using MessageTable = std::map<std::pair<DWORD, LANGID>, std::u16string>;
std::mutex gResourcesMutex;
std::map<std::string, MessageTable>& Resources()
{
    static auto* resources = new std::map<std::string, MessageTable>();
    return *resources;
}

bool FindText(const std::string& canonicalPath, DWORD id, LANGID language, std::u16string& text)
{
    std::lock_guard<std::mutex> lock(gResourcesMutex);
    auto module = Resources().find(canonicalPath);
    if (module == Resources().end())
        return false;
    for (LANGID l : {language, static_cast<LANGID>(1033)})
    {
        auto it = module->second.find({id, l});
        if (it != module->second.end())
        {
            text = it->second;
            return true;
        }
    }
    return false;
}

// The registered category message file of a source (its canonical path), or "", as the registry
// says.
std::string RegisteredCategoryFile(const std::u16string& source)
{
    HKEY key = nullptr;
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    WCHAR value[1024] = {0};
    DWORD size = sizeof value - sizeof(WCHAR), type = 0;
    const LSTATUS rc = RegQueryValueExW(key, u"CategoryMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || value[0] == 0)
        return "";
    return Canonical(Utf16ToUtf8(value));
}

// The category message file of each source the process has written for, kept until the machine's hive
// changes (looked at no more than once every kRegistrationRecheck), so that an entry reads no registry.
std::mutex gRegistrationsMutex;
std::map<std::u16string, std::string> gCategoryFiles;
unsigned long long gRegistryStamp = 0;
std::chrono::steady_clock::time_point gRegistryCheckedAt;

std::string CategoryFile(const std::u16string& source)
{
    std::lock_guard<std::mutex> lock(gRegistrationsMutex);
    const auto now = std::chrono::steady_clock::now();
    if (gRegistryStamp == 0 || now - gRegistryCheckedAt >= kRegistrationRecheck)
    {
        gRegistryCheckedAt = now;
        const unsigned long long stamp = RegistryHiveStamp(HKEY_LOCAL_MACHINE);
        if (stamp != gRegistryStamp)
            gCategoryFiles.clear();
        gRegistryStamp = stamp;
    }
    auto known = gCategoryFiles.find(source);
    if (known != gCategoryFiles.end())
        return known->second;
    return gCategoryFiles[source] = RegisteredCategoryFile(source);
}

int Severity(WORD type)
{
    switch (type)
    {
    case EVENTLOG_ERROR_TYPE: return 3;   // err
    case EVENTLOG_WARNING_TYPE: return 4; // warning
    case EVENTLOG_AUDIT_SUCCESS: return 5; // notice
    default: return 6;                    // info
    }
}

// Line breaks as the journal and syslog readers take them: CR LF and a lone CR become LF.
std::string WithLineFeeds(const std::u16string& text)
{
    std::string out = Utf16ToUtf8(text);
    size_t write = 0;
    for (size_t read = 0; read < out.size(); ++read)
    {
        if (out[read] == '\r')
        {
            out[write++] = '\n';
            if (read + 1 < out.size() && out[read + 1] == '\n')
                ++read;
        }
        else
            out[write++] = out[read];
    }
    out.resize(write);
    return out;
}
} // namespace

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source)
{
    if ((server != nullptr && *server != 0) || source == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* s = new EventSource();
    s->source = source;
    s->ident = Utf16ToUtf8(source);
    SetLastError(ERROR_SUCCESS);
    return s;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    return CloseHandleOfKind(eventLog, {HandleKind::EventSource});
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings, DWORD,
                  LPCWSTR* strings, LPVOID)
{
    return ReportEventWithFields(eventLog, type, category, eventId, numStrings, strings, {});
}

BOOL ReportEventWithFields(HANDLE eventLog, WORD type, WORD category, DWORD eventId, WORD numStrings,
                           LPCWSTR* strings, std::vector<std::pair<std::string, std::string>> fields)
{
    EventSource* s = AsSource(eventLog);
    if (s == nullptr)
        return FALSE;
    SystemLogEntry entry;
    entry.severity = Severity(type);
    entry.identifier = s->ident;
    entry.messageId = MessageIdOf(type);
    std::u16string message;
    for (WORD i = 0; i < numStrings; ++i)
        message += (i ? u"\n" : u"") + std::u16string(strings && strings[i] ? strings[i] : u"");
    entry.message = WithLineFeeds(message);
    entry.fields = std::move(fields);
    entry.fields.emplace_back("FERRULE_EVENT_ID", std::to_string(eventId));
    entry.fields.emplace_back("FERRULE_CATEGORY", std::to_string(category));
    const std::string file = category != 0 ? CategoryFile(s->source) : std::string();
    std::u16string name;
    if (!file.empty() && FindText(file, category, MessageLanguage(), name))
    {
        const std::string text = WithLineFeeds(name);
        const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
        entry.heading = "[" + trimmed + "] ";
        entry.fields.emplace_back("FERRULE_CATEGORY_NAME", trimmed);
    }
    return SendToSystemLog(entry) ? TRUE : FALSE;
}

void RegisterMessageResource(const char* modulePath, const MessageResourceEntry* entries, size_t count)
{
    std::map<std::pair<DWORD, LANGID>, std::u16string> table;
    for (size_t i = 0; i < count; ++i)
        table[{entries[i].id, entries[i].language}] = entries[i].text;
    std::lock_guard<std::mutex> lock(gResourcesMutex);
    Resources()[Canonical(modulePath)] = std::move(table);
}

bool FindMessageResourceText(const char* modulePath, DWORD id, LANGID language, std::u16string& text)
{
    return FindText(Canonical(modulePath), id, language, text);
}

LANGID MessageLanguage()
{
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != 0)
        {
            name = value;
            break;
        }
    }
    static const std::pair<const char*, LANGID> kLanguages[] = {
        {"zh_TW", 1028}, {"zh_HK", 1028}, {"zh", 2052}, {"de", 1031}, {"es", 1034}, {"fr", 1036}, {"it", 1040},
        {"ja", 1041},    {"ko", 1042},    {"nl", 1043}, {"pl", 1045}, {"pt", 1046}, {"sv", 1053},
    };
    for (const auto& [prefix, id] : kLanguages)
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return id;
    return 1033;
}

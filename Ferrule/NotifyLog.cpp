#include "Ferrule/NotifyLog.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Files.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace
{
// How long a writer waits for another writer's lock on the log file before it reports the sharing
// violation. An entry holds the lock for one write, so this is only reached when a writer hangs.
const std::chrono::milliseconds kLockWait(2000);
// How often the name may turn out to refer to another file (rotated by another writer) before giving up.
const int kMaxReopen = 16;

// Opens the log file for appending with the exclusive share mode, retrying while another writer holds
// it, until the deadline.
HANDLE OpenWaiting(const String& name, std::chrono::steady_clock::time_point deadline)
{
    std::chrono::microseconds pause(50);
    for (;;)
    {
        HANDLE file =
            CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            std::chrono::steady_clock::now() >= deadline)
            return file;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}
} // namespace

CNotifyLog::CNotifyLog()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_LOG));
}

CNotifyLog::~CNotifyLog() = default;

FERRULE_CLASS_FACTORY(NotifyLog, CNotifyLog)

const IID* const* CNotifyLog::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifyLog, nullptr};
    return iids;
}

STDMETHODIMP CNotifyLog::get_MaxSize(ULONG* value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = mMaxSize;
    return S_OK;
}

STDMETHODIMP CNotifyLog::put_MaxSize(ULONG value)
{
    if (value == 0)
        return E_INVALIDARG;
    mMaxSize = value;
    return S_OK;
}

STDMETHODIMP CNotifyLog::get_FileName(BSTR* value)
{
    return CopyOut(mFileName, value);
}

STDMETHODIMP CNotifyLog::put_FileName(BSTR value)
{
    return CopyIn(value, mFileName);
}

STDMETHODIMP CNotifyLog::get_FilePath(BSTR* value)
{
    return CopyOut(mFilePath, value);
}

STDMETHODIMP CNotifyLog::put_FilePath(BSTR value)
{
    HRESULT hr = CopyIn(value, mFilePath);
    const String path = mFilePath.Str();
    if (SUCCEEDED(hr) && !path.empty() && path.back() != u'\\')
    {
        mFilePath = Bstr(path + u'\\');
        if (mFilePath.Get() == nullptr)
            hr = E_OUTOFMEMORY;
    }
    return hr;
}

bool CreateFolderPath(const WCHAR* path)
{
    WCHAR buffer[MAX_PATH + 1] = {0};
    const size_t length = path ? std::char_traits<char16_t>::length(path) : 0;
    if (length > MAX_PATH)
        return false;
    if (length)
        std::memcpy(buffer, path, length * sizeof(WCHAR));
    PathRemoveFileSpecW(buffer);
    if (PathAddBackslashW(buffer) == nullptr)
        return false;
    LPCWSTR afterRoot = PathSkipRootW(buffer);
    if (afterRoot == nullptr)
        return true;
    for (WCHAR* p = buffer + (afterRoot - buffer); *p; ++p)
    {
        if (*p != u'\\' && *p != u'/')
            continue;
        const WCHAR separator = *p;
        *p = 0;
        if (!PathIsDirectoryW(buffer))
        {
            // A UNC path is named "\\?\UNC\" + server\share\... to create its folders.
            String name = buffer;
            if (name.size() > 2 && name[0] == u'\\' && name[1] == u'\\')
                name = u"\\\\?\\UNC\\" + name.substr(2);
            // An existing name that is not a folder (a regular file) fails too; one created meanwhile by
            // another process is a folder.
            if (!CreateDirectoryW(name.c_str(), nullptr) &&
                (GetLastError() != ERROR_ALREADY_EXISTS || !PathIsDirectoryW(buffer)))
                return false;
        }
        *p = separator;
    }
    return true;
}

const String& CNotifyLog::LogFileName(BSTR application, bool remake)
{
    auto view = [](BSTR b) { return ToView(b); };
    if (!remake && mLogName.made && view(mFilePath.Get()) == mLogName.path && view(mFileName.Get()) == mLogName.file &&
        view(application) == mLogName.application)
        return mLogName.name;
    mLogName.path = view(mFilePath.Get());
    mLogName.file = view(mFileName.Get());
    mLogName.application = view(application);
    String name;
    if (CreateFolderPath(mFilePath.Get()) && mFilePath.Get() != nullptr)
        name = mLogName.path;
    if (mLogName.file.empty())
        name += mLogName.application + StringRepository::GetString(IDS_DEFAULT_LOG_EXTENSION);
    else
        name += mLogName.file;
    mLogName.name = std::move(name);
    mLogName.made = true;
    return mLogName.name;
}

HRESULT CNotifyLog::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    const String* name = &LogFileName(application, false);

    // Another writer holds the file only for one entry; wait for it up to kLockWait, then fail as a
    // sharing violation. After the lock is taken the name must still refer to the file held (another
    // writer may have rotated it meanwhile), and rotation happens while the lock is held, so ".old" is
    // always a generation that reached the limit.
    FileHandleOwner file;
    LARGE_INTEGER size;
    size.QuadPart = 0;
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (int attempt = 0;; ++attempt)
    {
        file.Reset(OpenWaiting(*name, deadline));
        // A folder removed since the name was made is made again.
        if (!file.Valid() && GetLastError() == ERROR_PATH_NOT_FOUND && attempt == 0)
        {
            name = &LogFileName(application, true);
            file.Reset(OpenWaiting(*name, deadline));
        }
        if (!file.Valid())
        {
            const HRESULT hr = LastErrorHresult();
            return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyLog", "CNotifyLog::Notify", NOTIFY_ERROR_LOG_CREATE_FAILED));
        }
        if (!IsFileNameOfHandle(name->c_str(), file.Get()))
        {
            if (attempt < kMaxReopen)
                continue;
            SetLastError(ERROR_SHARING_VIOLATION);
            const HRESULT hr = LastErrorHresult();
            return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyLog", "CNotifyLog::Notify", NOTIFY_ERROR_LOG_CREATE_FAILED));
        }
        // The size, and the place the entry goes: the end, where the file pointer now stands.
        const LARGE_INTEGER fromEnd{};
        if (!SetFilePointerEx(file.Get(), fromEnd, &size, FILE_END))
            size.QuadPart = 0;
        const uint64_t limit = static_cast<uint64_t>(mMaxSize) * 1024u;
        if (mMaxSize == 0xFFFFFFFF || static_cast<uint64_t>(size.QuadPart) <= limit || attempt >= kMaxReopen)
            break;
        // A failed rename is ignored: the entry goes to the file as it is.
        if (!MoveFileExW(name->c_str(), (*name + u".old").c_str(), MOVEFILE_REPLACE_EXISTING))
            break;
    }

    const std::u16string_view descriptionText = ToView(description);
    String entry = StringRepository::FormatTexts(
        IDS_LOG_ENTRY_FORMAT, {TimeStampText(timeStamp), PriorityText(priority), TypeText(type), descriptionText,
                               CodeText(code), ToView(source)});
    if (type == NOTIFY_TYPE_ERROR)
        entry += UmiSuffix(String(descriptionText));

    // UTF-16 little-endian code units, written in one call; a new file begins with the byte-order mark.
    if (size.QuadPart == 0)
        entry.insert(entry.begin(), u'\uFEFF');
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
        for (char16_t& c : entry)
            c = static_cast<char16_t>((c >> 8) | (c << 8));
    DWORD written = 0;
    if (!WriteFile(file.Get(), entry.data(), static_cast<DWORD>(entry.size() * 2), &written, nullptr))
    {
        const HRESULT hr = LastErrorHresult();
        // Nothing of a partial entry stays: the file goes back to its size before the write.
        if (SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN))
            SetEndOfFile(file.Get());
        file.Reset();
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyLog", "CNotifyLog::Notify", NOTIFY_ERROR_LOG_WRITE_FAILED));
    }
    return S_OK;
}

#include "Ferrule/NotifyLog.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"
#include "Platform/Win32/Files.h"

#include <cstring>

CNotifyLog::CNotifyLog()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_LOG));
}

CNotifyLog::~CNotifyLog()
{
    SysFreeString(mFileName);
    SysFreeString(mFilePath);
}

PersistTable CNotifyLog::PersistRows()
{
    static const PersistRow rows[] = {
        {u"TypeFilter", 0x102, VT_UI4}, {u"PriorityFilter", 0x103, VT_UI4}, {u"Path", 0x302, VT_BSTR},
        {u"File", 0x301, VT_BSTR},      {u"MaxSize", 0x300, VT_UI4},
    };
    return {rows, sizeof rows / sizeof rows[0]};
}

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
    const UINT length = SysStringLen(mFilePath);
    if (SUCCEEDED(hr) && length > 0 && mFilePath[length - 1] != u'\\')
    {
        String withSeparator(mFilePath, length);
        withSeparator += u'\\';
        if (!SysReAllocStringLen(&mFilePath, withSeparator.data(), static_cast<UINT>(withSeparator.size())))
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
            if (!CreateDirectoryW(name.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
        }
        *p = separator;
    }
    return true;
}

STDMETHODIMP CNotifyLog::Notify(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                                BSTR description, BSTR source, DATE timeStamp)
{
    if (!FilterTest(type, priority))
        return S_FALSE;
    return Boundary("CNotifyLog::Notify", [&]() -> HRESULT {
        auto failure = [](uint32_t resultCode) {
            Result r;
            r.Init("NotifyLog", __LINE__, "CNotifyLog::Notify", resultCode);
            return r;
        };
        String name;
        if (CreateFolderPath(mFilePath) && mFilePath != nullptr)
            name = String(mFilePath, SysStringLen(mFilePath));
        if (SysStringLen(mFileName) == 0)
            name += String(application ? application : u"", SysStringLen(application)) +
                    StringRepository::GetString(IDS_DEFAULT_LOG_EXTENSION);
        else
            name += String(mFileName, SysStringLen(mFileName));

        auto open = [&name]() {
            return CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE file = open();
        if (file == INVALID_HANDLE_VALUE)
            return ReportHandlerFailure(LastErrorHresult(), failure(NOTIFY_ERROR_LOG_CREATE_FAILED));
        DWORD size = GetFileSize(file, nullptr);
        if (mMaxSize != 0xFFFFFFFF && size > mMaxSize * 1024u)
        {
            CloseHandle(file);
            MoveFileExW(name.c_str(), (name + u".old").c_str(), MOVEFILE_REPLACE_EXISTING); // a failure is ignored
            file = open();
            if (file == INVALID_HANDLE_VALUE)
                return ReportHandlerFailure(LastErrorHresult(), failure(NOTIFY_ERROR_LOG_CREATE_FAILED));
            size = GetFileSize(file, nullptr);
        }

        ArgumentList inserts;
        inserts.reserve(6);
        inserts.emplace_back(TimeStampText(timeStamp));
        inserts.emplace_back(PriorityText(priority));
        inserts.emplace_back(TypeText(type));
        inserts.emplace_back(String(description ? description : u"", SysStringLen(description)));
        inserts.emplace_back(CodeText(code));
        inserts.emplace_back(String(source ? source : u"", SysStringLen(source)));
        String entry = StringRepository::FormatString(IDS_LOG_ENTRY_FORMAT, inserts);
        if (type == NOTIFY_TYPE_ERROR)
            entry += UmiSuffix(String(description ? description : u"", SysStringLen(description)));

        // UTF-16 little-endian code units, written in one call.
        const size_t mark = size == 0 ? 2 : 0;
        std::string bytes(mark + entry.size() * 2, '\0');
        if (mark)
            bytes[0] = '\xFF', bytes[1] = '\xFE';
        if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
            std::memcpy(&bytes[mark], entry.data(), entry.size() * 2);
        else
            for (size_t i = 0; i < entry.size(); ++i)
            {
                bytes[mark + 2 * i] = static_cast<char>(entry[i] & 0xFF);
                bytes[mark + 2 * i + 1] = static_cast<char>(entry[i] >> 8);
            }
        LARGE_INTEGER end;
        end.QuadPart = 0;
        SetFilePointerEx(file, end, nullptr, FILE_END);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        {
            const HRESULT hr = LastErrorHresult();
            // Nothing of a partial entry stays: the file goes back to its size before the write.
            LARGE_INTEGER before;
            before.QuadPart = size;
            if (SetFilePointerEx(file, before, nullptr, FILE_BEGIN))
                SetEndOfFile(file);
            CloseHandle(file);
            return ReportHandlerFailure(hr, failure(NOTIFY_ERROR_LOG_WRITE_FAILED));
        }
        CloseHandle(file);
        return S_OK;
    });
}

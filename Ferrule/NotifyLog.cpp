#include "Ferrule/NotifyLog.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/MessageTables.h"

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

#include "Platform/Com/OleAuto.h"
#include "Platform/Com/Owners.h"

#include <atomic>
#include <new>

namespace
{
// The error object: written through ICreateErrorInfo, read through IErrorInfo.
class ErrorObject final : public ICreateErrorInfo, public IErrorInfo
{
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ICreateErrorInfo)
            *object = static_cast<ICreateErrorInfo*>(this);
        else if (riid == IID_IErrorInfo)
            *object = static_cast<IErrorInfo*>(this);
        else
        {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++mCount; }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG n = --mCount;
        if (n == 0)
            delete this;
        return n;
    }

    STDMETHOD(SetGUID)(REFGUID guid) override
    {
        mGuid = guid;
        return S_OK;
    }
    STDMETHOD(SetSource)(LPOLESTR text) override { return Store(mSource, text); }
    STDMETHOD(SetDescription)(LPOLESTR text) override { return Store(mDescription, text); }
    STDMETHOD(SetHelpFile)(LPOLESTR text) override { return Store(mHelpFile, text); }
    STDMETHOD(SetHelpContext)(DWORD context) override
    {
        mHelpContext = context;
        return S_OK;
    }

    STDMETHOD(GetGUID)(GUID* guid) override
    {
        if (guid == nullptr)
            return E_INVALIDARG;
        *guid = mGuid;
        return S_OK;
    }
    STDMETHOD(GetSource)(BSTR* out) override { return Copy(mSource, out); }
    STDMETHOD(GetDescription)(BSTR* out) override { return Copy(mDescription, out); }
    STDMETHOD(GetHelpFile)(BSTR* out) override { return Copy(mHelpFile, out); }
    STDMETHOD(GetHelpContext)(DWORD* context) override
    {
        if (context == nullptr)
            return E_INVALIDARG;
        *context = mHelpContext;
        return S_OK;
    }

private:
    ~ErrorObject()
    {
        SysFreeString(mSource);
        SysFreeString(mDescription);
        SysFreeString(mHelpFile);
    }

    static HRESULT Store(BSTR& field, LPOLESTR text)
    {
        BSTR copy = nullptr;
        if (text != nullptr && (copy = SysAllocString(text)) == nullptr)
            return E_OUTOFMEMORY;
        SysFreeString(field);
        field = copy;
        return S_OK;
    }

    static HRESULT Copy(BSTR field, BSTR* out)
    {
        if (out == nullptr)
            return E_INVALIDARG;
        *out = nullptr;
        if (field == nullptr)
            return S_OK;
        *out = SysAllocStringLen(field, SysStringLen(field));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    std::atomic<ULONG> mCount{1};
    GUID mGuid = GUID_NULL;
    BSTR mSource = nullptr;
    BSTR mDescription = nullptr;
    BSTR mHelpFile = nullptr;
    DWORD mHelpContext = 0;
};

// The calling thread's error information; released when the thread ends.
struct ThreadErrorInfo
{
    IErrorInfo* info = nullptr;
    ~ThreadErrorInfo()
    {
        if (info)
            info->Release();
    }
};
thread_local ThreadErrorInfo tErrorInfo;
} // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** errorInfo)
{
    if (errorInfo == nullptr)
        return E_INVALIDARG;
    *errorInfo = new (std::nothrow) ErrorObject();
    return *errorInfo ? S_OK : E_OUTOFMEMORY;
}

// A thread-local slot.
HRESULT SetErrorInfo(ULONG /*reserved*/, IErrorInfo* errorInfo)
{
    if (errorInfo)
        errorInfo->AddRef();
    IErrorInfo* old = tErrorInfo.info;
    tErrorInfo.info = errorInfo;
    if (old)
        old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG /*reserved*/, IErrorInfo** errorInfo)
{
    if (errorInfo == nullptr)
        return E_INVALIDARG;
    *errorInfo = tErrorInfo.info;
    tErrorInfo.info = nullptr;
    return *errorInfo ? S_OK : S_FALSE;
}

void SetErrorDescription(const std::u16string& description, REFIID iid, const char16_t* source)
{
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return;
    create->SetGUID(iid);
    if (source)
        create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))))
    {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

std::u16string TakeErrorDescription()
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr)
        return std::u16string();
    BSTR d = nullptr;
    std::u16string text;
    if (SUCCEEDED(info->GetDescription(&d)))
        text = ToString(d);
    SysFreeString(d);
    info->Release();
    return text;
}

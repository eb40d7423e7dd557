// A small dual interface and its class, built into the test program and into the test in-process
// server (libTestServer.so).
#pragma once

#include "Platform/Com/Dispatch.h"

#include <string>

inline constexpr IID IID_ISample = {0x5EB1A0C1, 0x17F3, 0x4D2E, {0x9A, 0x61, 0x30, 0x0B, 0x6E, 0x4C, 0x11, 0x01}};
inline constexpr CLSID CLSID_Sample = {0x5EB1A0C1, 0x17F3, 0x4D2E, {0x9A, 0x61, 0x30, 0x0B, 0x6E, 0x4C, 0x11, 0x02}};

struct ISample : public IDispatch
{
    STDMETHOD(Add)(LONG a, LONG b, LONG* sum) = 0;
    STDMETHOD(get_Size)(ULONG* size) = 0;
    STDMETHOD(put_Size)(ULONG size) = 0;
    STDMETHOD(get_Label)(BSTR* label) = 0;
    STDMETHOD(put_Label)(BSTR label) = 0;
    STDMETHOD(Fail)(BSTR description) = 0;
    STDMETHOD(get_Self)(ISample** self) = 0;
};
DECLARE_INTERFACE_IID(ISample, IID_ISample)

template <>
inline const DispatchTable& DispatchTableOf<ISample>()
{
    static const DispatchTable table(IID_ISample, u"ISample", u"A sample.",
                                     {
                                         DispMethod<&ISample::Add>(1, u"Add", {VT_I4, VT_I4}, VT_I4, u"Adds."),
                                         DispPropGet<&ISample::get_Size>(2, u"Size", VT_UI4),
                                         DispPropPut<&ISample::put_Size>(2, u"Size", VT_UI4),
                                         DispPropGet<&ISample::get_Label>(3, u"Label", VT_BSTR),
                                         DispPropPut<&ISample::put_Label>(3, u"Label", VT_BSTR),
                                         DispMethod<&ISample::Fail>(4, u"Fail", {VT_BSTR}),
                                         DispPropGet<&ISample::get_Self>(5, u"Self", VT_DISPATCH),
                                     });
    return table;
}

class CSample : public ComObjectRoot, public IDispatchImpl<ISample>, public ISupportErrorInfo
{
public:
    BEGIN_COM_MAP(CSample)
    COM_INTERFACE_ENTRY(ISample)
    COM_INTERFACE_ENTRY2(IDispatch, ISample)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    ~CSample() { SysFreeString(mLabel); }

    STDMETHOD(Add)(LONG a, LONG b, LONG* sum) override
    {
        if (sum == nullptr)
            return E_POINTER;
        *sum = a + b;
        return S_OK;
    }
    STDMETHOD(get_Size)(ULONG* size) override
    {
        if (size == nullptr)
            return E_POINTER;
        *size = mSize;
        return S_OK;
    }
    STDMETHOD(put_Size)(ULONG size) override
    {
        mSize = size;
        return S_OK;
    }
    STDMETHOD(get_Label)(BSTR* label) override
    {
        if (label == nullptr)
            return E_POINTER;
        *label = SysAllocStringLen(mLabel, SysStringLen(mLabel));
        return S_OK;
    }
    STDMETHOD(put_Label)(BSTR label) override
    {
        SysReAllocStringLen(&mLabel, label, SysStringLen(label));
        return S_OK;
    }
    STDMETHOD(Fail)(BSTR description) override
    {
        ICreateErrorInfo* create = nullptr;
        CreateErrorInfo(&create);
        create->SetDescription(description);
        create->SetSource(const_cast<LPOLESTR>(u"Sample"));
        IErrorInfo* info = nullptr;
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
        SetErrorInfo(0, info);
        info->Release();
        create->Release();
        return E_FAIL;
    }
    STDMETHOD(get_Self)(ISample** self) override
    {
        if (self == nullptr)
            return E_POINTER;
        *self = this;
        (*self)->AddRef();
        return S_OK;
    }
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override { return riid == IID_ISample ? S_OK : S_FALSE; }

private:
    ULONG mSize = 0;
    BSTR mLabel = nullptr;
};

#include "Sample.h"
#include "TempDir.h"

#include "Platform/Win32/Library.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
class Activation : public ::testing::Test
{
protected:
    void SetUp() override { setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1); }
    TempDir mDir;
};

// Writes HKCR\CLSID\{...}\InprocServer32 = path and the ProgID keys, as a registration would.
void RegisterServer(REFCLSID clsid, const std::u16string& path, const std::u16string& progId)
{
    OLECHAR text[39];
    StringFromGUID2(clsid, text, 39);
    const std::u16string clsidText(text);
    auto setDefault = [](const std::u16string& subKey, const std::u16string& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 DWORD((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    };
    setDefault(u"CLSID\\" + clsidText + u"\\InprocServer32", path);
    setDefault(progId + u"\\CLSID", clsidText);
}

std::u16string ServerPath()
{
    return Utf8ToUtf16(TEST_SERVER_PATH);
}

// Drives a dispatch interface by name, as a script would.
class ByName
{
public:
    explicit ByName(IDispatch* d) : mDispatch(d) {}

    DISPID Id(const char16_t* name)
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 12345;
        EXPECT_EQ(mDispatch->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id), S_OK) << Utf16ToUtf8(name);
        return id;
    }
    HRESULT Put(const char16_t* name, VARIANT value)
    {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params = {&value, &named, 1, 1};
        return mDispatch->Invoke(Id(name), IID_NULL, 0x409, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                                 &argErr);
    }
    HRESULT Get(const char16_t* name, VARIANT* result)
    {
        DISPPARAMS params = {nullptr, nullptr, 0, 0};
        return mDispatch->Invoke(Id(name), IID_NULL, 0x409, DISPATCH_PROPERTYGET, &params, result, nullptr,
                                 &argErr);
    }
    // Arguments in call order; Invoke receives them last first.
    HRESULT Call(const char16_t* name, std::vector<VARIANT> args, VARIANT* result, EXCEPINFO* excep = nullptr)
    {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.data(), nullptr, UINT(reversed.size()), 0};
        return mDispatch->Invoke(Id(name), IID_NULL, 0x409, DISPATCH_METHOD, &params, result, excep, &argErr);
    }
    UINT argErr = 999;

private:
    IDispatch* mDispatch;
};

VARIANT I4(LONG x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = x;
    return v;
}

// Not owned: the caller's BSTR lives in a std::u16string-backed BSTR it frees.
VARIANT Str(BSTR b)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = b;
    return v;
}
} // namespace

TEST_F(Activation, ThroughTheRegistry)
{
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Sample, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);

    RegisterServer(CLSID_Sample, ServerPath(), u"Test.Sample.1");
    ISample* sample = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Sample, nullptr, CLSCTX_INPROC_SERVER, IID_ISample,
                               reinterpret_cast<void**>(&sample)),
              S_OK);
    LONG sum = 0;
    EXPECT_EQ(sample->Add(2, 40, &sum), S_OK);
    EXPECT_EQ(sum, 42);

    // The server's DllCanUnloadNow sees the live object.
    HMODULE module = LoadLibraryW(ServerPath().c_str());
    ASSERT_NE(module, nullptr);
    auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE);
    sample->Release();
    EXPECT_EQ(canUnload(), S_OK);
    FreeLibrary(module);

    CLSID clsid;
    ASSERT_EQ(CLSIDFromString(u"Test.Sample.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Sample);
    ASSERT_EQ(CLSIDFromString(u"{5eb1a0c1-17f3-4d2e-9a61-300b6e4c1102}", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Sample);
    EXPECT_EQ(CLSIDFromString(u"No.Such.Class", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
}

TEST_F(Activation, MissingLibraryOrEntryPoint)
{
    const CLSID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    RegisterServer(other, Utf8ToUtf16(mDir.Path() + "/Missing.dll"), u"Test.Missing");
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    // libPlatform.so loads but has no DllGetClassObject.
    HMODULE self = LoadLibraryW(u"Platform.dll");
    ASSERT_NE(self, nullptr);
    WCHAR path[1024];
    ASSERT_GT(GetModuleFileNameW(self, path, 1024), 0u);
    RegisterServer(other, path, u"Test.Missing");
    EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
              CO_E_ERRORINDLL);
    EXPECT_EQ(GetProcAddress(self, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    FreeLibrary(self);
}

TEST_F(Activation, RegisteredClassObjectComesFirstAndCanBeRevoked)
{
    auto* factory = new ComClassFactory(&ComCreator<CSample>::CreateInstance);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_Sample, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    factory->Release(); // the class table holds it now

    const LONG before = ModuleLockCount();
    ISample* sample = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Sample, nullptr, CLSCTX_INPROC_SERVER, IID_ISample,
                               reinterpret_cast<void**>(&sample)),
              S_OK);
    EXPECT_EQ(ModuleLockCount(), before + 1); // created by this program's code
    IClassFactory* cf = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_Sample, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&cf)),
              S_OK);
    cf->LockServer(TRUE);
    sample->Release();
    EXPECT_EQ(ModuleLockCount(), before + 1);
    cf->LockServer(FALSE);
    EXPECT_EQ(ModuleLockCount(), before);
    // A request for an interface the class lacks destroys the new object.
    IClassFactory* wrong = nullptr;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(&wrong)), E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(ModuleLockCount(), before);
    cf->Release();

    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(CoCreateInstance(CLSID_Sample, nullptr, CLSCTX_INPROC_SERVER, IID_ISample,
                               reinterpret_cast<void**>(&sample)),
              REGDB_E_CLASSNOTREG);
}

namespace
{
// An outer object that aggregates a CSample and exposes its ISample as its own.
class Outer final : public IUnknown
{
public:
    ULONG refs = 1;
    IUnknown* inner = nullptr;
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown)
        {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (iid == IID_ISample)
            return inner->QueryInterface(iid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
};
} // namespace

TEST_F(Activation, AggregationKeepsTheOuterIdentity)
{
    Outer outer;
    void* p = nullptr;
    // Aggregation asks for IUnknown only.
    EXPECT_EQ(ComCreator<CSample>::CreateInstance(&outer, IID_ISample, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(ComCreator<CSample>::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    EXPECT_EQ(outer.refs, 1u); // the inner object holds no reference on its outer one

    ISample* sample = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_ISample, reinterpret_cast<void**>(&sample)), S_OK);
    EXPECT_EQ(outer.refs, 2u); // counted on the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(sample->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    // Reflexive through the outer object: ISample → IDispatch answers the outer object's QI, which
    // does not offer IDispatch.
    IDispatch* dispatch = nullptr;
    EXPECT_EQ(sample->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), E_NOINTERFACE);
    sample->Release();
    EXPECT_EQ(outer.refs, 1u);

    // The inner unknown itself answers for the inner object's interfaces.
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ISample), S_OK);
    support->Release();
    EXPECT_EQ(outer.inner->Release(), 0u);
}

TEST(ComIdentity, EveryInterfaceLeadsToOneUnknown)
{
    ISample* sample = nullptr;
    ASSERT_EQ(ComCreator<CSample>::CreateInstance(nullptr, IID_ISample, reinterpret_cast<void**>(&sample)), S_OK);
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    IDispatch* dispatch = nullptr;
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(sample->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    ASSERT_EQ(dispatch->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    ASSERT_EQ(support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
    ASSERT_EQ(sample->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)), S_OK);
    EXPECT_EQ(a, b);
    ISample* back = nullptr;
    ASSERT_EQ(support->QueryInterface(IID_ISample, reinterpret_cast<void**>(&back)), S_OK); // symmetric
    EXPECT_EQ(back, sample);
    back->Release();
    EXPECT_EQ(sample->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&back)), E_NOINTERFACE);
    EXPECT_EQ(back, nullptr);
    for (IUnknown* u : {static_cast<IUnknown*>(dispatch), static_cast<IUnknown*>(support), a, b})
        u->Release();
    EXPECT_EQ(sample->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    sample->Release();
}

TEST(Dispatch, DrivenByName)
{
    ISample* sample = nullptr;
    ASSERT_EQ(ComCreator<CSample>::CreateInstance(nullptr, IID_ISample, reinterpret_cast<void**>(&sample)), S_OK);
    ByName d(sample);

    // Method with a result; arguments are converted to the declared types.
    VARIANT result;
    BSTR two = SysAllocString(u"2");
    ASSERT_EQ(d.Call(u"add", {I4(40), Str(two)}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 42);

    // Setter with VT_BSTR "7" for an unsigned property, then the getter.
    BSTR seven = SysAllocString(u"7");
    ASSERT_EQ(d.Put(u"SIZE", Str(seven)), S_OK);
    ASSERT_EQ(d.Get(u"Size", &result), S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.ulVal, 7u);

    // Text that is no number: type mismatch naming the argument.
    BSTR junk = SysAllocString(u"seven");
    EXPECT_EQ(d.Put(u"Size", Str(junk)), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(d.argErr, 0u);
    EXPECT_EQ(d.Call(u"Add", {I4(1), Str(junk)}, &result), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(d.argErr, 0u); // the second argument is rgvarg[0]
    EXPECT_EQ(d.Call(u"Add", {Str(junk), I4(1)}, &result), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(d.argErr, 1u);
    EXPECT_EQ(d.Put(u"Size", I4(-1)), DISP_E_OVERFLOW);

    // String property round trip; the result belongs to the caller.
    BSTR label = SysAllocString(u"nightly");
    ASSERT_EQ(d.Put(u"Label", Str(label)), S_OK);
    ASSERT_EQ(d.Get(u"label", &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"nightly");
    VariantClear(&result);

    // An interface result comes back as VT_DISPATCH holding a reference.
    ASSERT_EQ(d.Get(u"Self", &result), S_OK);
    ASSERT_EQ(result.vt, VT_DISPATCH);
    EXPECT_EQ(result.pdispVal, static_cast<IDispatch*>(sample));
    VariantClear(&result);

    // Counts, names and kinds.
    EXPECT_EQ(d.Call(u"Add", {I4(1)}, &result), DISP_E_BADPARAMCOUNT);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(sample->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(sample->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND); // Add is no property
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Nothing")};
    DISPID id = 0;
    EXPECT_EQ(sample->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);

    // A failing method: DISP_E_EXCEPTION with the thread's error information in EXCEPINFO.
    BSTR why = SysAllocString(u"Unable to send notification e-mail.");
    EXCEPINFO excep;
    EXPECT_EQ(d.Call(u"Fail", {Str(why)}, nullptr, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_FAIL);
    EXPECT_EQ(std::u16string(excep.bstrDescription), u"Unable to send notification e-mail.");
    EXPECT_EQ(std::u16string(excep.bstrSource), u"Sample");
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE); // moved into EXCEPINFO

    for (BSTR b : {two, seven, junk, label, why})
        SysFreeString(b);
    sample->Release();
}

TEST(Dispatch, TypeInformation)
{
    ISample* sample = nullptr;
    ASSERT_EQ(ComCreator<CSample>::CreateInstance(nullptr, IID_ISample, reinterpret_cast<void**>(&sample)), S_OK);
    UINT count = 0;
    ASSERT_EQ(sample->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(sample->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(sample->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(sample->GetTypeInfo(0, 0, &info), S_OK);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ISample);
    EXPECT_EQ(attr->cFuncs, 7);
    info->ReleaseTypeAttr(attr);

    FUNCDESC* desc = nullptr;
    ASSERT_EQ(info->GetFuncDesc(2, &desc), S_OK); // the Size setter
    EXPECT_EQ(desc->memid, 2);
    EXPECT_EQ(desc->invkind, INVOKE_PROPERTYPUT);
    ASSERT_EQ(desc->cParams, 1);
    EXPECT_EQ(desc->lprgelemdescParam[0].tdesc.vt, VT_UI4);
    info->ReleaseFuncDesc(desc);

    BSTR name = nullptr;
    UINT names = 0;
    ASSERT_EQ(info->GetNames(1, &name, 1, &names), S_OK);
    EXPECT_EQ(std::u16string(name), u"Add");
    SysFreeString(name);
    BSTR doc = nullptr;
    ASSERT_EQ(info->GetDocumentation(1, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(doc), u"Adds.");
    SysFreeString(doc);
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"ISample");
    SysFreeString(name);

    // Invoke through the type information reaches the same object.
    VARIANT args[2] = {I4(3), I4(4)};
    DISPPARAMS params = {args, nullptr, 2, 0};
    VARIANT result;
    ASSERT_EQ(info->Invoke(static_cast<IDispatch*>(sample), 1, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 7);
    info->Release();
    sample->Release();
}

TEST(Library, NamesAndSearch)
{
    WCHAR exe[1024];
    const DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
    ASSERT_GT(n, 0u);
    EXPECT_NE(Utf16ToUtf8(exe).find("test_platform"), std::string::npos);
    WCHAR tiny[4];
    EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tiny[3], 0);

    EXPECT_EQ(LoadLibraryW(u"NoSuchLibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

    // SearchPathW in one folder: the server library is found by name + extension.
    std::string folder = TEST_SERVER_PATH;
    folder = folder.substr(0, folder.find_last_of('/'));
    WCHAR found[1024];
    LPWSTR part = nullptr;
    const DWORD length = SearchPathW(Utf8ToUtf16(folder).c_str(), u"libTestServer", u".so", 1024, found, &part);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(Utf16ToUtf8(found), TEST_SERVER_PATH);
    EXPECT_EQ(std::u16string(part), u"libTestServer.so");
    EXPECT_EQ(SearchPathW(Utf8ToUtf16(folder).c_str(), u"libTestServer", u".so", 3, found, &part), length + 1);
    EXPECT_EQ(SearchPathW(Utf8ToUtf16(folder).c_str(), u"absent.txt", nullptr, 1024, found, &part), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

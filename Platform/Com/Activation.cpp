#include "Platform/Com/Activation.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Registry.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace
{
struct Registration
{
    CLSID clsid;
    IUnknown* object;
};

struct ClassTable
{
    std::mutex mutex;
    std::map<DWORD, Registration> byCookie;
    DWORD nextCookie = 1;
    std::map<std::u16string, HMODULE> libraries; // loaded in-process servers, kept loaded
};

ClassTable& Table()
{
    static ClassTable* table = new ClassTable(); // outlives every static destructor that may use it
    return *table;
}

thread_local int tInitCount = 0;

std::u16string KeyText(REFCLSID clsid)
{
    OLECHAR text[39];
    StringFromGUID2(clsid, text, 39);
    return u"CLSID\\" + std::u16string(text) + u"\\InprocServer32";
}

// The default REG_SZ value of HKCR\subKey, or false.
bool ReadDefaultValue(const std::u16string& subKey, std::u16string& value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS st = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
    std::u16string data(size / sizeof(WCHAR), u'\0');
    if (st == ERROR_SUCCESS && size > 0)
        st = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size);
    RegCloseKey(key);
    if (st != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    while (!data.empty() && data.back() == 0)
        data.pop_back();
    value = data;
    return true;
}

HRESULT FromRegistry(REFCLSID clsid, REFIID riid, void** object)
{
    std::u16string path;
    if (!ReadDefaultValue(KeyText(clsid), path) || path.empty())
        return REGDB_E_CLASSNOTREG;
    HMODULE module = nullptr;
    ClassTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.libraries.find(path);
        if (it != table.libraries.end())
            module = it->second;
    }
    if (module == nullptr)
    {
        // Loaded outside the lock: a server registers its class objects while it loads.
        module = LoadLibraryW(path.c_str());
        if (module == nullptr)
            return HRESULT_FROM_WIN32(GetLastError());
        std::lock_guard<std::mutex> lock(table.mutex);
        if (!table.libraries.emplace(path, module).second)
            FreeLibrary(module); // loaded meanwhile by another thread; the loader counts both
        module = table.libraries[path];
    }
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
    if (get == nullptr)
        return CO_E_ERRORINDLL;
    return get(clsid, riid, object);
}
} // namespace

HRESULT CoInitializeEx(void* /*reserved*/, DWORD /*coInit*/)
{
    return tInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (tInitCount > 0)
        --tInitCount;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD /*clsContext*/, DWORD /*flags*/,
                              LPDWORD cookie)
{
    if (object == nullptr || cookie == nullptr)
        return E_INVALIDARG;
    ClassTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    object->AddRef();
    *cookie = table.nextCookie++;
    table.byCookie[*cookie] = Registration{clsid, object};
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
    IUnknown* object = nullptr;
    {
        ClassTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.byCookie.find(cookie);
        if (it == table.byCookie.end())
            return E_INVALIDARG;
        object = it->second.object;
        table.byCookie.erase(it);
    }
    object->Release(); // outside the lock: the object may revoke others while it goes
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD /*clsContext*/, void* /*serverInfo*/, REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    IUnknown* registered = nullptr;
    {
        ClassTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        for (auto& [cookie, r] : table.byCookie)
            if (r.clsid == clsid)
            {
                registered = r.object;
                registered->AddRef();
                break;
            }
    }
    if (registered)
    {
        HRESULT hr = registered->QueryInterface(riid, object);
        registered->Release();
        return hr;
    }
    return FromRegistry(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid)
{
    if (progId == nullptr || clsid == nullptr)
        return E_INVALIDARG;
    *clsid = GUID_NULL;
    std::u16string text;
    if (!ReadDefaultValue(std::u16string(progId) + u"\\CLSID", text))
        return CO_E_CLASSSTRING;
    return GuidFromBracedString(text.c_str(), clsid);
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid)
{
    if (clsid == nullptr)
        return E_INVALIDARG;
    if (text != nullptr && text[0] == u'{')
        return GuidFromBracedString(text, clsid);
    *clsid = GUID_NULL;
    if (text == nullptr)
        return S_OK; // the null class identifier, as Windows answers
    if (text[0] == 0)
        return CO_E_CLASSSTRING;
    return CLSIDFromProgID(text, clsid);
}

void* CoTaskMemAlloc(SIZE_T bytes)
{
    return std::malloc(bytes ? bytes : 1);
}

void CoTaskMemFree(void* p)
{
    std::free(p);
}

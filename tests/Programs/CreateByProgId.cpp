// A client that knows only the ProgID "Quellon.Notify": it links the platform library alone and lets the
// registry lead it to the module. Prints what happened, one line per step; exit 0 when all worked.
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Com/Owners.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>

int main()
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(u"Quellon.Notify", &clsid);
    std::printf("CLSIDFromProgID: 0x%08X\n", static_cast<unsigned>(hr));
    if (FAILED(hr))
        return 1;
    ComPtr<INotify> notify;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, notify.VoidOut());
    std::printf("CoCreateInstance: 0x%08X\n", static_cast<unsigned>(hr));
    if (FAILED(hr))
        return 1;
    // The module the registry named, to ask it whether it can be unloaded.
    OLECHAR text[39];
    StringFromGUID2(clsid, text, 39);
    HKEY key = nullptr;
    WCHAR path[1024] = {0};
    DWORD size = sizeof path - 2, type = 0;
    RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + std::u16string(text) + u"\\InprocServer32").c_str(), 0, KEY_READ, &key);
    RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(path), &size);
    RegCloseKey(key);
    HMODULE module = LoadLibraryW(path);
    typedef HRESULT (*CanUnload)();
    auto canUnload = reinterpret_cast<CanUnload>(GetProcAddress(module, "DllCanUnloadNow"));
    std::printf("DllCanUnloadNow while the manager lives: %d\n", canUnload ? static_cast<int>(canUnload()) : -1);

    const Bstr app(u"byprogid"), none(u""), d(u"created by ProgID"), s(u"client");
    hr = notify->Initialize(app, none);
    std::printf("Initialize: 0x%08X\n", static_cast<unsigned>(hr));
    const HRESULT sent = notify->Notify(NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 0);
    std::printf("Notify: 0x%08X\n", static_cast<unsigned>(sent));
    notify.Reset();
    std::printf("DllCanUnloadNow after the release: %d\n", canUnload ? static_cast<int>(canUnload()) : -1);
    return SUCCEEDED(hr) && SUCCEEDED(sent) ? 0 : 1;
}

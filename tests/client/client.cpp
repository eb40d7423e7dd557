// Creates the notification manager of an installed Ferrule and sends one notification.
// Usage: client POLICY-FILE
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    // The module lies beside the platform library; loading it offers its classes to this process.
    if (LoadLibraryW(u"Ferrule.dll") == nullptr)
    {
        std::printf("the module was not found\n");
        return 1;
    }
    INotify* notify = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Notify, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, reinterpret_cast<void**>(&notify));
    if (FAILED(hr))
    {
        std::printf("CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    const std::u16string policy = Utf8ToUtf16(argv[1]);
    BSTR app = SysAllocString(u"client"), file = SysAllocString(policy.c_str()), d = SysAllocString(u"hello from a client"),
         s = SysAllocString(u"client");
    hr = notify->Initialize(app, file);
    if (SUCCEEDED(hr))
        hr = notify->Notify(NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_MEDIUM, 0, d, s, 0);
    std::printf("Notify: 0x%08X\n", static_cast<unsigned>(hr));
    notify->Release();
    for (BSTR b : {app, file, d, s})
        SysFreeString(b);
    return SUCCEEDED(hr) ? 0 : 1;
}

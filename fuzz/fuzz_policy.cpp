// Arbitrary bytes as the policy file, through Initialize and the release that writes it back.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifyLog.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Platform/Win32/Utf.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace
{
std::string Setup()
{
    RegisterMessageTables();
    char dir[] = "/tmp/ferrule-fuzz-policy-XXXXXX";
    static const std::string folder = mkdtemp(dir) ? dir : "/tmp/ferrule-fuzz-policy";
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    setenv("FERRULE_REGISTRY_DIR", folder.c_str(), 1);
    const std::pair<const CLSID*, ComCreatorFunction> classes[] = {
        {&CLSID_NotifyLog, &ComCreator<CNotifyLog>::CreateInstance},
        {&CLSID_NotifyEmail, &ComCreator<CNotifyEmail>::CreateInstance},
        {&CLSID_NotifySysEvent, &ComCreator<CNotifySysEvent>::CreateInstance},
        {&CLSID_NotifyApp, &ComCreator<CNotifyApp>::CreateInstance},
        {&CLSID_NotifySNMPTrap, &ComCreator<CNotifySNMPTrap>::CreateInstance},
        {&CLSID_NotifyConnPt, &ComCreator<CNotifyConnPt>::CreateInstance},
    };
    for (auto [clsid, create] : classes)
    {
        auto* factory = new ComClassFactory(create);
        DWORD cookie;
        CoRegisterClassObject(*clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        factory->Release();
    }
    return folder + "/fuzz.notify.xml";
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = Setup();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
    INotify* notify = nullptr;
    if (FAILED(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, reinterpret_cast<void**>(&notify))))
        return 0;
    BSTR app = SysAllocString(u"fuzz");
    BSTR file = SysAllocString(Utf8ToUtf16(path).c_str());
    notify->Initialize(app, file);
    SysFreeString(app);
    SysFreeString(file);
    notify->Release();
    SetErrorInfo(0, nullptr);
    return 0;
}

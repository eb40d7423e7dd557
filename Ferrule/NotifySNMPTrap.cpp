#include "Ferrule/NotifySNMPTrap.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Locale.h"

#include <string>
#include <vector>

namespace
{
const char16_t* const kTrapOid = u"1.3.6.1.4.1.64999.3.1.4.4.2.1";
const char16_t* const kEnterpriseOid = u"1.3.6.1.4.1.64999.3.1.4.4.2";
const char16_t* const kMessageOid = u"1.3.6.1.4.1.64999.3.3.5";
const char16_t* const kComputerOid = u"1.3.6.1.4.1.64999.3.3.1";
const char16_t* const kApplicationOid = u"1.3.6.1.4.1.64999.3.3.2";
const uint32_t kTrapFailed = 0x6C8F1C25;

// The trap library's exports: the trap's contract, and the same with where to send it.
typedef bool (*SendTrapFunction)(BSTR* error, const std::vector<std::u16string>& bindings, bool version2,
                                 LPCWSTR trapOid, LPCWSTR enterprise);
typedef bool (*SendTrapToFunction)(BSTR* error, const std::vector<std::u16string>& bindings, bool version2,
                                   LPCWSTR trapOid, LPCWSTR enterprise, LPCWSTR destination, UINT port,
                                   LPCWSTR community);
} // namespace

CNotifySNMPTrap::CNotifySNMPTrap()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_SNMP_TRAP));
}

CNotifySNMPTrap::~CNotifySNMPTrap() = default;

FERRULE_CLASS_FACTORY(NotifySNMPTrap, CNotifySNMPTrap)

const IID* const* CNotifySNMPTrap::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifySNMPTrap, nullptr};
    return iids;
}

STDMETHODIMP CNotifySNMPTrap::get_Destination(BSTR* value)
{
    return CopyOut(mDestination, value);
}

STDMETHODIMP CNotifySNMPTrap::put_Destination(BSTR value)
{
    return CopyIn(value, mDestination);
}

STDMETHODIMP CNotifySNMPTrap::get_TrapPort(UINT* value)
{
    return ValueOut(mTrapPort, value);
}

STDMETHODIMP CNotifySNMPTrap::put_TrapPort(UINT value)
{
    mTrapPort = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_SNMPVersionV2(VARIANT_BOOL* value)
{
    return ValueOut(mVersion2, value);
}

STDMETHODIMP CNotifySNMPTrap::put_SNMPVersionV2(VARIANT_BOOL value)
{
    mVersion2 = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_CommunityString(BSTR* value)
{
    return CopyOut(mCommunityString, value);
}

STDMETHODIMP CNotifySNMPTrap::put_CommunityString(BSTR value)
{
    return CopyIn(value, mCommunityString);
}

STDMETHODIMP CNotifySNMPTrap::put_SNMPTrapEnabled(VARIANT_BOOL value)
{
    mEnabled = value;
    return S_OK;
}

STDMETHODIMP CNotifySNMPTrap::get_SNMPTrapEnabled(VARIANT_BOOL* value)
{
    return ValueOut(mEnabled, value);
}

CNotifySNMPTrap::Dll::~Dll()
{
    if (handle)
        FreeLibrary(handle);
}

bool CNotifySNMPTrap::LoadTrapLibrary(const WCHAR* fileName)
{
    if (mTrapLibrary.handle != nullptr)
        return true;
    if (!mTrapLibrary.name.empty() && (mTrapLibrary.handle = LoadLibraryW(mTrapLibrary.name.c_str())) != nullptr)
        return true;
    WCHAR program[MAX_PATH + 1] = {0};
    String folder;
    const DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
    {
        folder = program;
        const size_t slash = folder.find_last_of(u"\\/");
        folder = slash == String::npos ? String() : folder.substr(0, slash) + u"\\";
    }
    const String searchFolder = folder + u"\\..\\Shared";
    if (searchFolder.size() > MAX_PATH + 1)
        return false;
    WCHAR found[MAX_PATH + 1] = {0};
    const DWORD length = SearchPathW(searchFolder.c_str(), fileName, nullptr, MAX_PATH, found, nullptr);
    if (length == 0 || length > MAX_PATH)
        return false;
    mTrapLibrary.name = found;
    mTrapLibrary.handle = LoadLibraryW(found);
    return mTrapLibrary.handle != nullptr;
}

std::optional<HRESULT> CNotifySNMPTrap::BeforeFilter()
{
    if (mEnabled == VARIANT_FALSE)
        return S_OK; // not enabled: nothing to do, whatever the filters say
    return std::nullopt;
}

HRESULT CNotifySNMPTrap::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    WCHAR computer[16] = {0};
    DWORD size = 16;
    if (!GetComputerNameW(computer, &size))
        computer[0] = 0;
    // The code's text: the system's message for a code with bit 31 set, else nothing.
    String codeText;
    if (static_cast<int32_t>(code) < 0)
    {
        codeText = SystemMessageText(code, true);
        if (codeText.empty())
            codeText = CodeText(code);
    }
    if (!LoadTrapLibrary(u"Wicket.dll"))
        return S_OK;
    auto sendTrap = reinterpret_cast<SendTrapFunction>(GetProcAddress(mTrapLibrary.handle, "SendTrap"));
    if (sendTrap == nullptr)
        return S_OK;
    // Where to send it: the configured destination, port and community, when the library can take them.
    auto sendTrapTo = reinterpret_cast<SendTrapToFunction>(GetProcAddress(mTrapLibrary.handle, "SendTrapTo"));

    const std::vector<std::u16string> bindings = {
        String(kMessageOid) + u";" + ToString(description) + codeText,
        String(kComputerOid) + u";" + computer,
        String(kApplicationOid) + u";" + ToString(application),
    };
    Bstr error;
    const bool version2 = mVersion2 == VARIANT_TRUE;
    const String destination = mDestination.Str(), community = mCommunityString.Str();
    const bool sent = sendTrapTo ? sendTrapTo(error.Out(), bindings, version2, kTrapOid, kEnterpriseOid,
                                              destination.c_str(), mTrapPort, community.c_str())
                                 : sendTrap(error.Out(), bindings, version2, kTrapOid, kEnterpriseOid);
    if (sent)
        return S_OK;
    return ReportHandlerFailure(E_UNEXPECTED, HANDLER_FAILURE("NotifySNMPTrap", "CNotifySNMPTrap::Notify", kTrapFailed,
                                                              Argument(error.Str())));
}

// The C++ client: a manager of the module behind a COM-free class.
#include "ferrule/NotifierCom.h"

#include "Ferrule/ManagerAccess.h"
#include "Ferrule/PolicyFile.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"
#include "Platform/Xml/XmlDocument.h"

#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrule
{
// The public header restates the module's bits for its callers; they are the module's.
static_assert(static_cast<uint32_t>(Type::Error) == NOTIFY_TYPE_ERROR &&
              static_cast<uint32_t>(Type::Warning) == NOTIFY_TYPE_WARNING &&
              static_cast<uint32_t>(Type::Info) == NOTIFY_TYPE_INFO &&
              static_cast<uint32_t>(Type::Test) == NOTIFY_TYPE_TEST);
static_assert(static_cast<uint32_t>(Priority::High) == NOTIFY_PRIORITY_HIGH &&
              static_cast<uint32_t>(Priority::Medium) == NOTIFY_PRIORITY_MEDIUM &&
              static_cast<uint32_t>(Priority::Low) == NOTIFY_PRIORITY_LOW &&
              static_cast<uint32_t>(Priority::Test) == NOTIFY_PRIORITY_TEST);

namespace
{
const char* const kMovedFrom = "this Notifier was moved from and holds no manager";

// The failure hr with the calling thread's error information as its message.
Status FromErrorInfo(HRESULT hr, const char* fallback)
{
    if (SUCCEEDED(hr))
        return Status(hr, std::string());
    const std::string text = Utf16ToUtf8(TakeErrorDescription());
    return Status(hr, text.empty() ? fallback : text);
}

// An OLE date in local time, as the module's handlers show it.
DATE LocalDate(std::chrono::system_clock::time_point when)
{
    const time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    SYSTEMTIME st{static_cast<WORD>(tm.tm_year + 1900), static_cast<WORD>(tm.tm_mon + 1), 0,
                  static_cast<WORD>(tm.tm_mday),        static_cast<WORD>(tm.tm_hour),
                  static_cast<WORD>(tm.tm_min),         static_cast<WORD>(tm.tm_sec), 0};
    DATE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Why settings kept in the policy file will not last, or "" when the file can be read and written.
// The manager reads the same file and, as its rule is, tells its caller nothing of it.
Status PolicyProblem(const std::string& policy)
{
    const std::string tail = ": notifications go to the default handlers, and settings will not be kept";
    const std::string folder = FolderOf(policy);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Status(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                      "the policy file's folder " + folder + " does not exist" + tail);
    if (stat(policy.c_str(), &st) != 0)
    {
        if (access(folder.c_str(), W_OK) != 0)
            return Status(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                          "the policy file " + policy + " cannot be created in " + folder + tail);
        return Status();
    }
    if (!S_ISREG(st.st_mode))
        return Status(HRESULT_FROM_WIN32(ERROR_DIRECTORY), "the policy file " + policy + " is not a regular file" + tail);
    XmlDocument document;
    bool loaded = false;
    loaded = SUCCEEDED(document.Load(Utf8ToUtf16(policy), loaded)) && loaded;
    XmlNode handlers;
    if (!loaded || document.Root().FirstChild().Name() != policy::kRootElement ||
        document.Root().FirstChild().SelectSingleNode(policy::kHandlersElement, handlers) != S_OK)
        return Status(HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
                      "the policy file " + policy + " is not a policy" +
                          (document.Problem().empty() ? std::string() : " (" + document.Problem() + ")") +
                          ": notifications go to the default handlers, and the file is replaced by the defaults "
                          "(its text kept as " + policy + ".unreadable) when the policy is written");
    if (access(policy.c_str(), W_OK) != 0)
        return Status(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                      "the policy file " + policy + " cannot be written: settings changed through the manager will not be kept");
    return Status();
}

} // namespace

struct Notifier::Manager
{
    ComPtr<INotify> notify;
};

void* detail::ManagerOf(const Notifier& notifier)
{
    return notifier.mManager ? notifier.mManager->notify.Get() : nullptr;
}

Notifier::Notifier(std::string_view application, std::string_view policyFile) : mManager(new Manager)
{
    // The module offers its classes to the process when it is loaded; it stays loaded.
    if (LoadLibraryW(u"Ferrule.dll") == nullptr)
    {
        mStatus = Status(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "the notification module (libFerrule.so) was not found");
        return;
    }
    ComPtr<INotify> notify;
    HRESULT hr = CoCreateInstance(CLSID_Notify, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, notify.VoidOut());
    if (FAILED(hr))
    {
        mStatus = Status(hr, "the notification manager could not be created");
        return;
    }
    // The file the manager reads: the one given, else the application's own in the current folder.
    const std::string policy =
        policyFile.empty() ? std::string(application) + Utf16ToUtf8(policy::kExtension) : std::string(policyFile);
    // A policy it makes, or the defaults it uses in place of a file it cannot use, log into the log folder.
    const Status problem = PolicyProblem(policy);
    struct stat st;
    const bool creates = stat(policy.c_str(), &st) != 0 || !problem.ok();
    const Bstr app(Utf8ToUtf16(application)), file(Utf8ToUtf16(policyFile));
    SetErrorInfo(0, nullptr);
    hr = notify->Initialize(app.Get(), file.Get());
    if (FAILED(hr))
    {
        mStatus = FromErrorInfo(hr, "Initialize failed");
        return;
    }
    if (creates)
        GiveLogFolder(notify.Get(), true);
    mManager->notify = std::move(notify);
    mStatus = problem;
}

Notifier::~Notifier() = default;

Notifier::Notifier(Notifier&& other) noexcept
    : mManager(std::move(other.mManager)), mStatus(std::move(other.mStatus))
{
    other.mStatus = Status(E_UNEXPECTED, kMovedFrom);
}

Notifier& Notifier::operator=(Notifier&& other) noexcept
{
    if (this != &other)
    {
        mManager = std::move(other.mManager);
        mStatus = std::move(other.mStatus);
        other.mStatus = Status(E_UNEXPECTED, kMovedFrom);
    }
    return *this;
}

Status Notifier::notify(Type type, Priority priority, uint32_t code, std::string_view description,
                        std::string_view source, std::chrono::system_clock::time_point when) const
{
    if (!mManager)
        return Status(E_UNEXPECTED, kMovedFrom);
    if (!mManager->notify)
        return mStatus.ok() ? Status(E_UNEXPECTED, "this Notifier holds no manager") : mStatus;
    const Bstr d(Utf8ToUtf16(description)), s(Utf8ToUtf16(source));
    SetErrorInfo(0, nullptr);
    const HRESULT hr = mManager->notify->Notify(static_cast<eZD_NOTIFY_TYPE>(type),
                                                static_cast<eZD_NOTIFY_PRIORITY>(priority), code, d.Get(), s.Get(),
                                                LocalDate(when));
    return FromErrorInfo(hr, "Notify failed");
}
} // namespace ferrule

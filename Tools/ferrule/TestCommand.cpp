#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Config/Config.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/PolicyFile.h"
#include "Platform/Win32/SystemLog.h"

#include <cstdio>
#include <ctime>
#include <sys/stat.h>

namespace tool
{
const char* const kTestHelp =
    "usage: ferrule test [--app NAME] [--policy FILE]\n"
    "\n"
    "Sends one test notification (type test, priority test) to every handler of the policy on its own\n"
    "(through NotifySerialized where the handler offers it) and prints one line per handler:\n"
    "  delivered             the handler sent it (the event log: to the journal, or to syslog, and where)\n"
    "  accepted, not sent    the handler's own rule kept it (and which rule)\n"
    "  filtered out          a filter of none rejects it (and which filter), for every handler alike\n"
    "  FAILED                with the readable error\n"
    "Exit 1 when any handler failed.\n";

namespace
{
// Why a handler that accepted the notification sent nothing by its own rule, or "" when it sent it.
std::string OwnRule(INotifyHandler* handler, const CLSID& clsid)
{
    const ClassRow* row = ClassRowOf(clsid);
    return row && row->texts.ownRule ? row->texts.ownRule(handler) : "";
}
} // namespace

int CommandTest(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("test takes no arguments");
    struct stat st;
    if (stat(o.policy.c_str(), &st) != 0)
        std::fprintf(stderr, "ferrule: no policy file %s exists yet: testing the defaults it would start with\n",
                     o.policy.c_str());
    // A test tells how each channel is now: one attempt, nothing kept in the outbox.
    Config::Set(policy::kNoOutboxItem, "1");
    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Send);
    Config::Reset(policy::kNoOutboxItem);
    if (!notify)
        return kFailed;
    const DATE now = ParseTime("now");
    const Bstr app = B(o.app), description = B("Test notification from ferrule"), source = B("ferrule test");
    bool anyFailed = false;
    for (const HandlerInfo& h : LoadedHandlers(notify.Get(), o))
    {
        CLSID clsid;
        CLSIDFromString(h.key.c_str(), &clsid);
        SetErrorInfo(0, nullptr);
        ComPtr<INotifySerialized> serialized;
        const eZD_NOTIFY_TYPE type = NOTIFY_TYPE_TEST;
        const eZD_NOTIFY_PRIORITY priority = NOTIFY_PRIORITY_TEST;
        const HRESULT hr =
            SUCCEEDED(h.handler->QueryInterface(IID_INotifySerialized, serialized.VoidOut()))
                ? serialized->NotifySerialized(app.Get(), type, priority, 0, description.Get(), source.Get(), now)
                : h.handler->Notify(app.Get(), type, priority, 0, description.Get(), source.Get(), now);
        std::printf("%-12s ", h.name.c_str());
        if (FAILED(hr))
        {
            anyFailed = true;
            std::printf("FAILED 0x%08X: %s\n", static_cast<unsigned>(hr), ReadableError(module.translator.Get()).c_str());
            continue;
        }
        // The same words for every handler: a filter of none filters out, whatever the handler's own rule.
        eZD_NOTIFY_TYPE types = NOTIFY_TYPE_UNKNOWN;
        eZD_NOTIFY_PRIORITY priorities = NOTIFY_PRIORITY_UNKNOWN;
        h.handler->get_TypeFilter(&types);
        h.handler->get_PriorityFilter(&priorities);
        if (hr == S_FALSE || types == 0 || priorities == 0)
        {
            std::printf("filtered out (%s)\n", types == 0 && priorities == 0 ? "TypeFilter and PriorityFilter are none"
                                               : types == 0                  ? "TypeFilter is none"
                                               : priorities == 0             ? "PriorityFilter is none"
                                                                             : "by its filters");
            continue;
        }
        const std::string rule = OwnRule(h.handler.Get(), clsid);
        if (rule.empty() && clsid == CLSID_NotifySysEvent)
            std::printf("delivered to %s\n", SystemLogDestination().c_str());
        else if (rule.empty())
            std::printf("delivered\n");
        else
            std::printf("accepted, not sent: %s\n", rule.c_str());
    }
    return anyFailed ? kFailed : kOk;
}
} // namespace tool

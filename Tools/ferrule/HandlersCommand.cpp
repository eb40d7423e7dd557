#include "Tools/ferrule/Tool.h"
#include "Ferrule/ClassTable.h"
#include "Platform/Cdo/Http.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace tool
{
const char* const kHandlersHelp =
    "usage: ferrule handlers [--app NAME] [--policy FILE] [--settings]\n"
    "\n"
    "Lists the policy in use and the log folder of new policies, then the loaded handlers in dispatch\n"
    "order: name, class id, type and priority filters, every property that can be read (passwords are\n"
    "never shown), and the handler's state: whether it delivers, and where. Settings go by the policy\n"
    "file's names. --settings lists every setting set takes instead, one a line: HANDLER, NAME and the\n"
    "words its value may be, separated by tabs.\n";

namespace
{
// Whether and where a handler delivers: its class's own text.
std::string State(const HandlerInfo& h, const Options& o, uint32_t types, uint32_t priorities)
{
    if (types == 0 || priorities == 0)
        return std::string("off (") + (types == 0 ? "TypeFilter" : "PriorityFilter") + " is none)";
    CLSID clsid;
    CLSIDFromString(h.key.c_str(), &clsid);
    const ClassRow* row = ClassRowOf(clsid);
    return row && row->texts.state ? row->texts.state(h.handler.Get(), o.app) : "delivers";
}
} // namespace

// Every setting a set takes, one a line: HANDLER, NAME and the words its value may be, tab-separated;
// the handlers of the policy and the classes a set adds. The completion reads it.
int ListSettings(INotify* notify, const Options& o)
{
    std::vector<std::pair<std::string, ComPtr<INotifyHandler>>> handlers;
    std::vector<std::u16string> keys;
    for (const HandlerInfo& h : LoadedHandlers(notify, o))
    {
        handlers.emplace_back(h.name, h.handler);
        keys.push_back(h.key);
    }
    for (const ClassRow& c : kClasses)
    {
        ComPtr<INotifyHandler> fresh;
        Bstr name;
        if (c.presence != ClassRow::Presence::Added ||
            std::find(keys.begin(), keys.end(), GuidText(*c.clsid)) != keys.end() ||
            FAILED(CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INotifyHandler, fresh.VoidOut())) ||
            FAILED(fresh->get_Name(name.Out())))
            continue;
        handlers.emplace_back(N(name), fresh);
    }
    for (const auto& [name, handler] : handlers)
    {
        Bstr key;
        CLSID clsid{};
        ComPtr<IPersist> persist;
        if (SUCCEEDED(handler->QueryInterface(IID_IPersist, persist.VoidOut())))
            persist->GetClassID(&clsid);
        for (const Property& p : Properties(handler.Get(), clsid))
            if (p.writable)
            {
                const char* words = p.setting ? p.setting->words : p.type == VT_BOOL ? "true false" : "";
                std::printf("%s\t%s\t%s\n", name.c_str(), ShownName(p).c_str(), words);
            }
    }
    std::printf("Outbox\tRetryMinutes\t\n"); // the policy's outbox, set beside the handlers
    return kOk;
}

int CommandHandlers(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("handlers takes no arguments");
    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Show);
    if (!notify)
        return kFailed;
    if (o.settings)
        return ListSettings(notify.Get(), o);
    struct stat st;
    const bool exists = stat(o.policy.c_str(), &st) == 0;
    std::printf("policy: %s%s\nlog folder of new policies: %s\n", o.policy.c_str(),
                exists ? "" : " (no file exists yet: the defaults it would start with)", LogFolder().c_str());
    for (const HandlerInfo& h : LoadedHandlers(notify.Get(), o))
    {
        eZD_NOTIFY_TYPE type = NOTIFY_TYPE_UNKNOWN;
        eZD_NOTIFY_PRIORITY priority = NOTIFY_PRIORITY_UNKNOWN;
        h.handler->get_TypeFilter(&type);
        h.handler->get_PriorityFilter(&priority);
        std::printf("%s %s\n  types: %s\n  priorities: %s\n", h.name.c_str(), N(h.key).c_str(),
                    Words(static_cast<uint32_t>(type), kTypes).c_str(),
                    Words(static_cast<uint32_t>(priority), kPriorities).c_str());
        CLSID clsid;
        CLSIDFromString(h.key.c_str(), &clsid);
        const std::vector<Property> properties = Properties(h.handler.Get(), clsid);
        for (const Property& p : properties)
        {
            if (!p.readable || IsSecret(p) || p.name == "Name" || p.name == "TypeFilter" ||
                p.name == "PriorityFilter")
                continue;
            const std::string value = ReadProperty(h.handler.Get(), p.id);
            // A URL's path often holds its secret: scheme, host and port only.
            std::printf("  %s = %s\n", ShownName(p).c_str(), ShownValue(p, value).c_str());
        }
        std::printf("  state: %s\n", State(h, o, static_cast<uint32_t>(type), static_cast<uint32_t>(priority)).c_str());
    }
    return kOk;
}

} // namespace tool

#include "Tools/ferrule/Tool.h"
#include "Platform/Cdo/Http.h"
#include "Platform/Win32/SystemLog.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace tool
{
const char* const kHandlersHelp =
    "usage: ferrule handlers [--app NAME] [--policy FILE]\n"
    "\n"
    "Lists the policy in use and the log folder of new policies, then the loaded handlers in dispatch\n"
    "order: name, class id, type and priority filters, every property that can be read (passwords are\n"
    "never shown), and the handler's state: whether it delivers, and where.\n";

namespace
{
std::string PropertyText(INotifyHandler* handler, const std::vector<tool::Property>& properties, const char* name)
{
    for (const tool::Property& p : properties)
        if (p.name == name && p.readable)
            return ReadProperty(handler, p.id);
    return "";
}

// Whether and where a handler delivers.
std::string State(const HandlerInfo& h, const std::vector<tool::Property>& properties, const Options& o,
                  uint32_t types, uint32_t priorities)
{
    if (types == 0 || priorities == 0)
        return std::string("off (") + (types == 0 ? "TypeFilter" : "PriorityFilter") + " is none)";
    CLSID clsid;
    CLSIDFromString(h.key.c_str(), &clsid);
    auto get = [&](const char* name) { return PropertyText(h.handler.Get(), properties, name); };
    if (clsid == CLSID_NotifyLog)
    {
        std::string path = get("FilePath");
        for (char& c : path)
            if (c == '\\')
                c = '/';
        const std::string file = get("FileName").empty() ? o.app + ".log.txt" : get("FileName");
        return "delivers to " + (path.empty() ? "the current folder's " + file : path + file);
    }
    if (clsid == CLSID_NotifySysEvent)
    {
        return "delivers to " + SystemLogDestination();
    }
    if (clsid == CLSID_NotifyApp)
        return "offers to tray applications only when Clients is set at run time (ferrule notify --tray-clients N)";
    if (clsid == CLSID_NotifyConnPt)
        return "fires to event sinks connected in the notifying process";
    if (clsid == CLSID_NotifySNMPTrap)
    {
        if (get("SNMPTrapEnabled") != "-1" && get("SNMPTrapEnabled") != "True" && get("SNMPTrapEnabled") != "true")
            return "off (SNMPTrapEnabled=false)";
        if (get("Destination").empty())
            return "enabled, but no Destination is set: traps fail";
        return "sends " + std::string(get("SNMPVersionV2") == "0" ? "v1" : "v2c") + " traps to " + get("Destination") +
               ":" + get("TrapPort");
    }
    if (clsid == CLSID_NotifyEmail)
    {
        if (get("SMTPServer").empty() || get("Address").empty())
            return "not configured (set SMTPServer and Address)";
        const std::string encryption = get("Encryption"), authentication = get("Authentication");
        std::string transports;
        if (encryption == "0" || encryption == "1" || encryption == "2")
            transports += std::string("the mail library") + (encryption == "0" ? "" : " over TLS");
        if (authentication == "0" || authentication == "1" || authentication == "2")
            transports += std::string(transports.empty() ? "" : " and ") + "the CDO sender";
        if (transports.empty())
            return "off (Encryption and Authentication are 9999)";
        return "sends mail to " + get("Address") + " through " + get("SMTPServer") + ":" + get("ServerPort") + " by " +
               transports;
    }
    if (clsid == CLSID_NotifyWebhook)
    {
        const std::string url = ShownUrl(get("URL"));
        if (url.empty())
            return "not configured (set URL, e.g. ferrule set Webhook URL=-)";
        return "posts " + get("Format") + " to " + url + " (times out after " + get("TimeoutSeconds") + " s)";
    }
    return "delivers";
}
} // namespace

int CommandHandlers(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("handlers takes no arguments");
    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Show);
    if (!notify)
        return kFailed;
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
        const std::vector<Property> properties = Properties(h.handler.Get());
        for (const Property& p : properties)
        {
            if (!p.readable || IsSecret(p.name) || p.name == "Name" || p.name == "TypeFilter" ||
                p.name == "PriorityFilter")
                continue;
            const std::string value = ReadProperty(h.handler.Get(), p.id);
            // A URL's path often holds its secret: scheme, host and port only.
            std::printf("  %s = %s\n", p.name.c_str(), p.name == "URL" && !value.empty() ? ShownUrl(value).c_str() : value.c_str());
        }
        std::printf("  state: %s\n", State(h, properties, o, static_cast<uint32_t>(type), static_cast<uint32_t>(priority))
                                         .c_str());
    }
    return kOk;
}

} // namespace tool

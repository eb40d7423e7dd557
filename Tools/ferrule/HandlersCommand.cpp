#include "Tools/ferrule/Tool.h"

#include <cstdio>

namespace tool
{
const char* const kHandlersHelp =
    "usage: ferrule handlers [--app NAME] [--policy FILE]\n"
    "\n"
    "Lists the loaded handlers in dispatch order: name, class id, type and priority filters, and\n"
    "every property that can be read (passwords are never shown).\n";

int CommandHandlers(const Options& o, Module& module)
{
    if (!o.rest.empty())
        throw UsageError("handlers takes no arguments");
    Ref<INotify> notify = OpenManager(o, module.translator.get());
    if (!notify)
        return kFailed;
    for (const HandlerInfo& h : LoadedHandlers(notify.get(), o))
    {
        eZD_NOTIFY_TYPE type = NOTIFY_TYPE_UNKNOWN;
        eZD_NOTIFY_PRIORITY priority = NOTIFY_PRIORITY_UNKNOWN;
        h.handler->get_TypeFilter(&type);
        h.handler->get_PriorityFilter(&priority);
        std::printf("%s %s\n  types: %s\n  priorities: %s\n", h.name.c_str(), N(h.key).c_str(),
                    Words(static_cast<uint32_t>(type), kTypes).c_str(),
                    Words(static_cast<uint32_t>(priority), kPriorities).c_str());
        for (const Property& p : Properties(h.handler.get()))
        {
            if (!p.readable || IsSecret(p.name) || p.name == "Name" || p.name == "TypeFilter" ||
                p.name == "PriorityFilter")
                continue;
            std::printf("  %s = %s\n", p.name.c_str(), ReadProperty(h.handler.get(), p.id).c_str());
        }
    }
    return kOk;
}

} // namespace tool

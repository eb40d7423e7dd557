// What the tool says of a handler of each class that has something of its own to say: the texts the
// class table's rows name (HandlerTexts).
#include "Tools/ferrule/Tool.h"
#include "Ferrule/ClassTable.h"
#include "Platform/Cdo/Http.h"
#include "Platform/Win32/SystemLog.h"

namespace
{
std::string Get(INotifyHandler* handler, const Setting& s)
{
    return tool::ReadProperty(handler, s.id);
}

bool Yes(const std::string& value)
{
    return value == "-1" || value == "True" || value == "true";
}

// The e-mail transports selected: the mail library by Encryption, the CDO-style sender by Authentication.
bool LibrarySelected(const std::string& encryption)
{
    return encryption == "0" || encryption == "1" || encryption == "2";
}
bool CdoSelected(const std::string& authentication)
{
    return authentication == "0" || authentication == "1" || authentication == "2";
}
} // namespace

std::string EmailState(INotifyHandler* handler, const std::string&)
{
    if (Get(handler, setting::SMTPServer).empty() || Get(handler, setting::Address).empty())
        return "not configured (set SMTPServer and Address)";
    const std::string encryption = Get(handler, setting::Encryption), authentication = Get(handler, setting::Authentication);
    std::string transports;
    if (LibrarySelected(encryption))
        transports += std::string("the mail library") + (encryption == "0" ? "" : " over TLS");
    if (CdoSelected(authentication))
        transports += std::string(transports.empty() ? "" : " and ") + "the CDO sender";
    if (transports.empty())
        return "off (Encryption and Authentication are 9999)";
    return "sends mail to " + Get(handler, setting::Address) + " through " + Get(handler, setting::SMTPServer) + ":" +
           Get(handler, setting::ServerPort) + " by " + transports;
}

std::string EmailOwnRule(INotifyHandler* handler)
{
    if (!LibrarySelected(Get(handler, setting::Encryption)) && !CdoSelected(Get(handler, setting::Authentication)))
        return "both e-mail transports are off (Encryption and Authentication not 0, 1 or 2)";
    return "";
}

std::string EmailAfterSet(INotifyHandler* handler)
{
    eZD_NOTIFY_TYPE types = NOTIFY_TYPE_UNKNOWN;
    eZD_NOTIFY_PRIORITY priorities = NOTIFY_PRIORITY_UNKNOWN;
    handler->get_TypeFilter(&types);
    handler->get_PriorityFilter(&priorities);
    const bool on = types != 0 && priorities != 0 && !Get(handler, setting::SMTPServer).empty() &&
                    !Get(handler, setting::Address).empty();
    if (on && LibrarySelected(Get(handler, setting::Encryption)) && CdoSelected(Get(handler, setting::Authentication)))
        return "both e-mail transports are selected, so each mail goes out twice (the mail library by Encryption, "
               "the CDO-style sender by Authentication); Encryption=9999 keeps the CDO-style sender alone, "
               "Authentication=9999 the mail library alone";
    return "";
}

std::string LogState(INotifyHandler* handler, const std::string& application)
{
    std::string path = Get(handler, setting::FilePath);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    const std::string name = Get(handler, setting::FileName);
    const std::string file = name.empty() ? application + ".log.txt" : name;
    return "delivers to " + (path.empty() ? "the current folder's " + file : path + file);
}

std::string SysEventState(INotifyHandler*, const std::string&)
{
    return "delivers to " + SystemLogDestination();
}

std::string AppState(INotifyHandler*, const std::string&)
{
    return "offers to tray applications only when Clients is set at run time (ferrule notify --tray-clients N)";
}

std::string AppOwnRule(INotifyHandler*)
{
    return "the tray application handler never sends test notifications";
}

std::string TrapState(INotifyHandler* handler, const std::string&)
{
    if (!Yes(Get(handler, setting::SNMPTrapEnabled)))
        return "off (SNMPTrapEnabled=false)";
    if (Get(handler, setting::Destination).empty())
        return "enabled, but no Destination is set: traps fail";
    return "sends " + std::string(Get(handler, setting::SNMPVersionV2) == "0" ? "v1" : "v2c") + " traps to " +
           Get(handler, setting::Destination) + ":" + Get(handler, setting::TrapPort);
}

std::string TrapOwnRule(INotifyHandler* handler)
{
    return Yes(Get(handler, setting::SNMPTrapEnabled)) ? "" : "SNMP traps are disabled (SNMPTrapEnabled=false)";
}

std::string ConnPtState(INotifyHandler*, const std::string&)
{
    return "fires to event sinks connected in the notifying process";
}

std::string ConnPtOwnRule(INotifyHandler*)
{
    return "no event sink is connected in this process";
}

std::string WebhookState(INotifyHandler* handler, const std::string&)
{
    const std::string url = ShownUrl(Get(handler, setting::URL));
    if (url.empty())
        return "not configured (set URL, e.g. ferrule set Webhook URL=-)";
    return "posts " + Get(handler, setting::Format) + " to " + url + " (times out after " +
           Get(handler, setting::TimeoutSeconds) + " s)";
}

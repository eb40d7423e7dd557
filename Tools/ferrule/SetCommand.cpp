#include "Tools/ferrule/Tool.h"

#include <cstdio>
#include <fstream>
#include <strings.h>
#include <unistd.h>

namespace tool
{
const char* const kSetHelp =
    "usage: ferrule set [--app NAME] [--policy FILE] HANDLER NAME=VALUE...\n"
    "\n"
    "Sets handler properties by name; the policy file is written when the manager is released.\n"
    "HANDLER is a handler name (LogFile), a class id or a ProgID (Quellon.Notify.NotifyLog).\n"
    "An unknown handler or property lists what exists, changes nothing and exits 2.\n";

// The policy file as it was, to put back when the command changes nothing.
struct FileSnapshot
{
    std::string path;
    bool existed = false;
    std::string content;

    explicit FileSnapshot(const std::string& p) : path(p)
    {
        std::ifstream in(p, std::ios::binary);
        existed = static_cast<bool>(in);
        if (existed)
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Restore() const
    {
        if (existed)
            std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        else
            unlink(path.c_str());
    }
};

int CommandSet(const Options& o, Module& module)
{
    if (o.rest.size() < 2)
        throw UsageError("set takes HANDLER and at least one NAME=VALUE");
    const std::string policyPath = o.policy.empty() ? o.app + ".notify.xml" : o.policy;
    const FileSnapshot snapshot(policyPath);
    int result = kOk;
    std::string message;
    {
        Ref<INotify> notify = OpenManager(o, module.translator.get());
        if (!notify)
            return kFailed;
        std::vector<HandlerInfo> handlers = LoadedHandlers(notify.get(), o);

        // The handler: by name, class id or ProgID.
        const std::string& wanted = o.rest[0];
        std::u16string key;
        CLSID clsid;
        if (SUCCEEDED(CLSIDFromString(W(wanted).c_str(), &clsid)))
            key = KeyText(clsid);
        for (const auto& [progId, id] : BuiltInProgIds())
            if (wanted == progId || wanted == progId + ".1")
                key = KeyText(id);
        HandlerInfo* target = nullptr;
        for (HandlerInfo& h : handlers)
            if (h.name == wanted || h.key == key || h.key == Upper(W(wanted)))
                target = &h;
        if (target == nullptr)
        {
            message = "ferrule: no handler " + wanted + "; the loaded handlers are:";
            for (const HandlerInfo& h : handlers)
                message += "\n  " + h.name + " " + N(h.key);
            result = kUsage;
        }
        else
        {
            // Every name is checked before anything is set.
            const std::vector<Property> properties = Properties(target->handler.get());
            std::vector<std::pair<const Property*, std::string>> changes;
            for (size_t i = 1; i < o.rest.size() && result == kOk; ++i)
            {
                const size_t eq = o.rest[i].find('=');
                const std::string name = o.rest[i].substr(0, eq);
                const Property* found = nullptr;
                for (const Property& p : properties)
                    if (strcasecmp(p.name.c_str(), name.c_str()) == 0 && p.writable)
                        found = &p;
                if (eq == std::string::npos || found == nullptr)
                {
                    message = "ferrule: " + target->name + " has no property " + o.rest[i] +
                              " (expected NAME=VALUE); its properties are:";
                    for (const Property& p : properties)
                        if (p.writable)
                            message += "\n  " + p.name;
                    result = kUsage;
                }
                else
                    changes.emplace_back(found, o.rest[i].substr(eq + 1));
            }
            for (const auto& [property, value] : changes)
            {
                if (result != kOk)
                    break;
                VARIANT v;
                VariantInit(&v);
                v.vt = VT_BSTR;
                v.bstrVal = SysAllocString(W(value).c_str());
                DISPID named = DISPID_PROPERTYPUT;
                DISPPARAMS params = {&v, &named, 1, 1};
                UINT argErr = 0;
                EXCEPINFO excep{};
                const HRESULT hr = target->handler->Invoke(property->id, IID_NULL, 0x409, DISPATCH_PROPERTYPUT,
                                                           &params, nullptr, &excep, &argErr);
                VariantClear(&v);
                if (FAILED(hr))
                {
                    // A failing setter comes back as DISP_E_EXCEPTION with its own code in EXCEPINFO.
                    const HRESULT code = hr == DISP_E_EXCEPTION ? excep.scode : hr;
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
                    std::string reason = N(excep.bstrDescription);
                    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
                        reason.pop_back();
                    message = "ferrule: " + target->name + "." + property->name + " = " + value + " was refused (" +
                              hex + (reason.empty() ? "" : ": " + reason) + ")";
                    result = kFailed;
                }
                SysFreeString(excep.bstrDescription);
                SysFreeString(excep.bstrSource);
                SysFreeString(excep.bstrHelpFile);
            }
        }
    } // the manager writes the policy file here
    if (result != kOk)
    {
        snapshot.Restore(); // nothing changes when the command fails
        std::fprintf(stderr, "%s\n", message.c_str());
    }
    return result;
}

} // namespace tool

#include "Tools/ferrule/Tool.h"
#include "Ferrule/ManagerAccess.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace tool
{
const char* const kNotifyHelp =
    "usage: ferrule notify [--app NAME] [--policy FILE] [--type T] [--priority P] [--code N]\n"
    "                      [--source TEXT] [--time ISO-8601|now] DESCRIPTION\n"
    "       ferrule notify --stdin [--app NAME] [--policy FILE] [--tray-clients N]\n"
    "\n"
    "Sends a notification through every handler of the policy. Defaults: --app ferrule, --policy\n"
    "<app>.notify.xml, --type info, --priority medium, --code 0, --source ferrule, --time now.\n"
    "  --type      error | warning | info | test | a number\n"
    "  --priority  high | medium | low | test | a number\n"
    "  --code      decimal or 0x hexadecimal; with bit 31 set the description becomes a result\n"
    "  --time      YYYY-MM-DDTHH:MM:SS (local time) or now\n"
    "  --tray-clients N  offer the notification to N tray applications (ferrule tray); each offer\n"
    "              waits up to 5 s for its client\n"
    "With --stdin each input line is one notification of five fields separated by tabs:\n"
    "  TYPE <tab> PRIORITY <tab> CODE <tab> SOURCE <tab> DESCRIPTION\n"
    "Empty fields take the defaults; lines that are empty or start with # are skipped. A summary\n"
    "(sent, failed) ends the run. A line longer than 1 MiB is refused as that line's failure.\n"
    "Prints nothing on success; on failure the HRESULT and the error description (exit 1).\n";

namespace
{
// The longest input line --stdin accepts; a longer one is that line's failure and is skipped, never
// held in memory whole.
const size_t kMaxLine = 1024 * 1024;

// One line without its "\n"; tooLong when it had more than kMaxLine bytes (the rest is skipped).
bool ReadLine(FILE* in, std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c;
    bool any = false;
    while ((c = getc_unlocked(in)) != EOF)
    {
        any = true;
        if (c == '\n')
            return true;
        if (line.size() < kMaxLine)
            line += static_cast<char>(c);
        else
            tooLong = true;
    }
    return any;
}
} // namespace

HRESULT SendOne(INotify* notify, uint32_t type, uint32_t priority, uint32_t code, const std::string& source,
                const std::string& description, DATE when)
{
    const Bstr d = B(description), s = B(source);
    return notify->Notify(static_cast<eZD_NOTIFY_TYPE>(type), static_cast<eZD_NOTIFY_PRIORITY>(priority), code,
                          d.Get(), s.Get(), when);
}

namespace
{
// What a line of --stdin leaves empty takes these.
struct Defaults
{
    uint32_t type;
    uint32_t priority;
    uint32_t code;
    std::string source;
};

// A line's TYPE, PRIORITY, CODE, SOURCE and DESCRIPTION, separated by tabs; false when it has fewer fields.
bool SplitLine(const std::string& line, std::vector<std::string>& fields)
{
    fields.clear();
    size_t start = 0;
    for (int i = 0; i < 4; ++i)
    {
        const size_t tab = line.find('\t', start);
        if (tab == std::string::npos)
            return false;
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return true;
}

// One notification per line of standard input, with progress on a terminal and a summary at the end.
int NotifyLines(INotify* notify, const Defaults& d, IMessageTranslator* translator)
{
    const bool terminal = isatty(STDERR_FILENO);
    auto started = std::chrono::steady_clock::now();
    auto lastProgress = started;
    unsigned long sent = 0, failed = 0, lineNumber = 0;
    std::string line;
    std::vector<std::string> fields;
    bool tooLong = false;
    while (ReadLine(stdin, line, tooLong))
    {
        ++lineNumber;
        if (tooLong)
        {
            std::fprintf(stderr, "ferrule: line %lu: longer than %zu bytes; not sent\n", lineNumber, kMaxLine);
            ++failed;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        if (!SplitLine(line, fields))
        {
            std::fprintf(stderr, "ferrule: line %lu: expected TYPE, PRIORITY, CODE, SOURCE and DESCRIPTION "
                                 "separated by tabs\n", lineNumber);
            ++failed;
            continue;
        }
        try
        {
            const uint32_t t = fields[0].empty() ? d.type : ParseWord(fields[0], kTypes, "type");
            const uint32_t p = fields[1].empty() ? d.priority : ParseWord(fields[1], kPriorities, "priority");
            const uint32_t c = fields[2].empty() ? d.code : ParseNumber(fields[2], "code");
            const HRESULT hr = SendOne(notify, t, p, c, fields[3].empty() ? d.source : fields[3], fields[4],
                                       ParseTime("now"));
            if (FAILED(hr))
            {
                ++failed;
                PrintFailure("Notify", hr, translator, "line " + std::to_string(lineNumber));
            }
            else
                ++sent;
        }
        catch (const UsageError& e)
        {
            ++failed;
            std::fprintf(stderr, "ferrule: line %lu: %s\n", lineNumber, e.what());
        }
        const auto now = std::chrono::steady_clock::now();
        if (terminal && now - lastProgress > std::chrono::milliseconds(500))
        {
            lastProgress = now;
            std::fprintf(stderr, "\r%lu sent, %lu failed...", sent, failed);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (terminal)
        std::fprintf(stderr, "\r");
    std::printf("%lu sent, %lu failed in %.2f s (%.0f notifications/s)\n", sent, failed, seconds,
                seconds > 0 ? (sent + failed) / seconds : 0.0);
    return failed ? kFailed : kOk;
}

// Clients is not persisted: --tray-clients sets it on the tray handler of this manager.
void SetTrayClients(INotify* notify, uint32_t clients)
{
    if (const ComPtr<INotifyApp> tray = HandlerOf<INotifyApp>(notify, CLSID_NotifyApp, IID_INotifyApp))
        tray->put_Clients(clients);
}
} // namespace

int CommandNotify(const Options& o, Module& module)
{
    if (o.stdinMode ? !o.rest.empty() : o.rest.size() != 1)
        throw UsageError("notify takes one DESCRIPTION (quote it), or --stdin");
    const Defaults d{o.values.count("type") ? ParseWord(o.values.at("type"), kTypes, "type") : 4,
                     o.values.count("priority") ? ParseWord(o.values.at("priority"), kPriorities, "priority") : 2,
                     o.values.count("code") ? ParseNumber(o.values.at("code"), "code") : 0,
                     o.values.count("source") ? o.values.at("source") : "ferrule"};
    const DATE when = ParseTime(o.values.count("time") ? o.values.at("time") : "now");

    ComPtr<INotify> notify = OpenManager(o, module.translator.Get(), Access::Change);
    if (!notify)
        return kFailed;
    if (o.values.count("tray-clients"))
        SetTrayClients(notify.Get(), ParseNumber(o.values.at("tray-clients"), "number of tray clients"));
    if (o.stdinMode)
        return NotifyLines(notify.Get(), d, module.translator.Get());
    const HRESULT hr = SendOne(notify.Get(), d.type, d.priority, d.code, d.source, o.rest[0], when);
    if (FAILED(hr))
    {
        PrintFailure("Notify", hr, module.translator.Get());
        return kFailed;
    }
    return kOk;
}

} // namespace tool

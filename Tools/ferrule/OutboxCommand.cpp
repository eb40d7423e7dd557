// ferrule flush, ferrule outbox and ferrule set Outbox: the outbox of mail and webhook posts that
// failed for a cause that may pass.
#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/ManagerAccess.h"
#include "Ferrule/Outbox.h"
#include "Ferrule/PolicyFile.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/FileLock.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Xml/XmlDocument.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <sys/stat.h>

namespace tool
{
const char* const kFlushHelp =
    "usage: ferrule flush\n"
    "\n"
    "Delivers what the outbox holds (mail and webhook posts that failed for a cause that may pass),\n"
    "oldest first, each through its transport with the current settings of its policy. An entry is due\n"
    "when it is kept; each failed try doubles its wait, from a minute to an hour. An entry past its\n"
    "retry period, or refused for good, is given up and reported in its policy's log file and the\n"
    "system log. A flush ends within 5 minutes and on SIGTERM between entries; it writes no policy\n"
    "file. Exit 0 when everything due was delivered, 1 otherwise. The outbox: FERRULE_SPOOL_DIR, else\n"
    "/var/spool/ferrule for root and ~/.local/state/ferrule/outbox for others.\n";

const char* const kOutboxHelp =
    "usage: ferrule outbox\n"
    "       ferrule outbox drop ID... | --all\n"
    "\n"
    "Lists the outbox's entries: ID, policy, channel, recipient or host, age, attempts, when it is next\n"
    "tried and its last failure (why it waits). drop removes entries without sending them.\n";

namespace
{
const std::chrono::seconds kFlushBound(300);
std::atomic<bool> gStop{false};

std::string Age(int64_t seconds)
{
    if (seconds < 120)
        return std::to_string(seconds) + " s";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds / 3600) + " h";
}

// The managers of the entries' policies, each opened once, read-only.
class Policies
{
public:
    explicit Policies(Module& module) : mModule(module) {}
    INotify* Of(const outbox::Entry& e, std::string& why)
    {
        auto found = mOpen.find(e.policy);
        if (found == mOpen.end())
        {
            struct stat st;
            ComPtr<INotify> notify;
            if (stat(e.policy.c_str(), &st) == 0)
            {
                Options o;
                o.app = e.application.empty() ? "ferrule" : e.application;
                o.policy = e.policy;
                notify = OpenManager(o, mModule.translator.Get(), Access::Show);
            }
            found = mOpen.emplace(e.policy, std::move(notify)).first;
        }
        if (!found->second)
            why = "its policy " + e.policy + " is gone or cannot be read";
        return found->second.Get();
    }

private:
    Module& mModule;
    std::map<std::string, ComPtr<INotify>> mOpen;
};

// A given-up entry is reported as any failure is: a warning in its policy's log file and an entry in the
// system log (the local channels; nothing is mailed or posted about it).
void GiveUp(const outbox::Entry& e, INotify* notify, const std::string& why)
{
    Result r;
    r.Init(__FILE__, __LINE__, "ferrule flush", NOTIFY_ERROR_GIVEN_UP, Argument(W(std::to_string(e.attempts))),
           Argument(W(outbox::TimeText(e.created))), Argument(W(e.channel)), Argument(W(e.recipient)), Argument(W(e.id)),
           Argument(W(why)));
    std::fprintf(stderr, "ferrule: %s\n", N(DisplayText(r)).c_str());
    if (notify != nullptr)
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        DATE when = 0;
        SystemTimeToVariantTime(&now, &when);
        const Bstr text(r.Serialize()), application(W(e.application)), source(u"ferrule flush");
        for (const CLSID* local : {&CLSID_NotifyLog, &CLSID_NotifySysEvent})
            if (const ComPtr<INotifyHandler> h = HandlerOf<INotifyHandler>(notify, *local, IID_INotifyHandler))
                h->Notify(application.Get(), NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_HIGH, NOTIFY_ERROR_GIVEN_UP,
                          text.Get(), source.Get(), when);
        SetErrorInfo(0, nullptr);
    }
    outbox::Remove(e.id);
}

struct Tally
{
    int sent = 0, again = 0, waiting = 0, givenUp = 0;
};

// One due entry, claimed: sent again, kept for later, or given up; what became of it.
OutboxOutcome Deliver(outbox::Entry e, Policies& policies, Tally& tally)
{
    const int64_t now = outbox::Now();
    std::string why;
    INotify* notify = policies.Of(e, why);
    if (now >= e.giveUpAt)
    {
        GiveUp(e, notify, "its retry period ended (" + e.lastFailure + ")");
        ++tally.givenUp;
        return OUTBOX_PERMANENT;
    }
    ComPtr<IOutboxHandler> handler;
    ComPtr<INotifyHandler> named;
    if (notify != nullptr && SUCCEEDED(notify->GetHandler(Bstr(W(e.handler)).Get(), named.Out())) && named)
        handler = named.As<IOutboxHandler>();
    OutboxOutcome outcome = OUTBOX_WAITING;
    if (notify != nullptr && !handler)
        why = "its policy has no handler " + e.handler + " now";
    if (handler)
    {
        Bstr failure;
        const HRESULT hr = handler->Redeliver(Bstr(W(outbox::Text(e))).Get(), &outcome, failure.Out());
        why = SUCCEEDED(hr) ? N(failure) : "the handler could not read the entry";
        if (FAILED(hr))
            outcome = OUTBOX_PERMANENT;
    }
    switch (outcome)
    {
    case OUTBOX_DELIVERED:
        outbox::Remove(e.id);
        std::printf("sent %s: %s to %s\n", e.id.c_str(), e.channel.c_str(), e.recipient.c_str());
        if (!why.empty())
            std::fprintf(stderr, "ferrule: %s: %s\n", e.id.c_str(), why.c_str());
        ++tally.sent;
        return outcome;
    case OUTBOX_PERMANENT:
        GiveUp(e, notify, why);
        ++tally.givenUp;
        return outcome;
    case OUTBOX_TRANSIENT:
        ++e.attempts;
        e.due = now + outbox::WaitAfter(e.attempts - 1);
        ++tally.again;
        break;
    case OUTBOX_WAITING:
        e.due = now + outbox::kFirstWait;
        ++tally.waiting;
        break;
    }
    e.lastFailure = why;
    outbox::Rewrite(e);
    std::fprintf(stderr, "ferrule: %s kept (next try %s): %s\n", e.id.c_str(), outbox::TimeText(e.due).c_str(),
                 why.c_str());
    return outcome;
}
} // namespace

int CommandFlush(const Options& o)
{
    if (!o.rest.empty())
        throw UsageError("flush takes no arguments");
    std::vector<outbox::Entry> due;
    const int64_t now = outbox::Now();
    for (outbox::Entry& e : outbox::List())
        if (e.due <= now || now >= e.giveUpAt)
            due.push_back(std::move(e));
    if (due.empty())
        return kOk; // nothing due: the module is not even loaded
    Module module;
    if (!module.Load())
        return kFailed;
    std::signal(SIGTERM, [](int) { gStop = true; });
    const auto deadline = std::chrono::steady_clock::now() + kFlushBound;
    Policies policies(module);
    Tally tally;
    size_t left = 0;
    // A destination that failed for a cause that may pass is not tried again in this flush: its other
    // entries wait for the next one, as notifications wait for the down window.
    std::set<std::string> down;
    for (const outbox::Entry& listed : due)
    {
        if (gStop || std::chrono::steady_clock::now() >= deadline)
        {
            ++left;
            continue;
        }
        if (down.count(listed.destination) && outbox::Now() < listed.giveUpAt)
        {
            ++tally.waiting;
            continue;
        }
        outbox::Entry e;
        const outbox::Claim claim(listed.id);
        if (!claim.Held() || !outbox::Read(listed.id, e))
            continue; // another flusher has it, or sent it
        if (e.due > outbox::Now() && outbox::Now() < e.giveUpAt)
            continue; // another flusher tried it meanwhile
        if (Deliver(std::move(e), policies, tally) == OUTBOX_TRANSIENT)
            down.insert(listed.destination);
    }
    if (left > 0)
        std::fprintf(stderr, "ferrule: flush stopped (%s); %zu due entries left for the next\n",
                     gStop ? "SIGTERM" : "its 5-minute bound", left);
    return tally.again + tally.waiting + tally.givenUp == 0 && left == 0 ? kOk : kFailed;
}

int CommandOutbox(const Options& o)
{
    if (!o.rest.empty() && o.rest[0] == "drop")
    {
        const std::vector<std::string> ids(o.rest.begin() + 1, o.rest.end());
        if (ids.empty() && !o.all)
            throw UsageError("outbox drop takes ID... or --all");
        std::set<std::string> left(ids.begin(), ids.end());
        for (const outbox::Entry& e : outbox::List())
            if ((o.all || left.count(e.id)) && outbox::Remove(e.id))
                left.erase(e.id);
        for (const std::string& id : left)
            std::fprintf(stderr, "ferrule: the outbox has no entry %s\n", id.c_str());
        return left.empty() ? kOk : kFailed;
    }
    if (!o.rest.empty())
        throw UsageError("outbox takes nothing, or drop ID... | --all");
    const int64_t now = outbox::Now();
    for (const outbox::Entry& e : outbox::List())
        std::printf("%s\t%s\t%s\t%s\t%s\t%u\t%s\t%s\n", e.id.c_str(), e.policy.c_str(), e.channel.c_str(),
                    e.recipient.c_str(), Age(now - e.created).c_str(), e.attempts,
                    e.due <= now ? "due" : outbox::TimeText(e.due).c_str(), e.lastFailure.c_str());
    return kOk;
}

// ferrule set Outbox RetryMinutes=N: the policy's outbox element, written under the writers' lock.
int CommandSetOutbox(const Options& o, Module& module)
{
    if (o.rest.size() != 2 || o.rest[1].rfind("RetryMinutes=", 0) != 0)
        throw UsageError("set Outbox takes RetryMinutes=MINUTES (0 switches the outbox off)");
    const uint32_t minutes = ParseNumber(o.rest[1].substr(13), "RetryMinutes");
    struct stat st;
    if (stat(o.policy.c_str(), &st) != 0)
    {
        // No file yet: the manager writes the one it starts with.
        if (!OpenManager(o, module.translator.Get(), Access::Change))
            return kFailed;
    }
    const FileLock lock(o.policy + ".lock", std::chrono::seconds(30));
    if (!lock.Held())
    {
        std::fprintf(stderr, "ferrule: %s is being changed by another writer\n", o.policy.c_str());
        return kFailed;
    }
    XmlDocument document;
    bool loaded = false;
    XmlNode root, element, retry;
    if (FAILED(document.Load(W(o.policy), loaded)) || !loaded || !(root = document.Root().FirstChild()).IsElement())
    {
        std::fprintf(stderr, "ferrule: %s cannot be read as a policy\n", o.policy.c_str());
        return kFailed;
    }
    if (root.SelectSingleNode(policy::kOutboxElement, element) != S_OK)
    {
        element = document.CreateElement(policy::kOutboxElement);
        root.AppendChild(element);
    }
    if (element.SelectSingleNode(policy::kRetryMinutes, retry) != S_OK)
    {
        retry = document.CreateElement(policy::kRetryMinutes);
        element.AppendChild(retry);
    }
    retry.SetAttribute(u"vt", Variant(std::u16string(u"19")).Get());
    retry.SetText(W(std::to_string(minutes)));
    if (FAILED(XmlDocument::SaveFile(W(o.policy), document.SaveText(), 0, false)))
    {
        std::fprintf(stderr, "ferrule: %s could not be written\n", o.policy.c_str());
        return kFailed;
    }
    std::printf("Outbox RetryMinutes = %u%s\n", minutes, minutes == 0 ? " (off: one attempt, nothing kept)" : "");
    return kOk;
}
} // namespace tool

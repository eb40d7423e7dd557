// The handlers' side of the outbox: which failures may pass, and how one becomes a kept entry.
#include "Ferrule/Outbox.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/HandlerBase.h"
#include "Messages/MessageTables.h"
#include "Platform/Cdo/Smtp.h"
#include "Platform/Win32/Utf.h"

namespace outbox
{
bool SmtpMayPass(int status, long reply)
{
    switch (status)
    {
    case SmtpOutcome::NotResolved:
    case SmtpOutcome::NotReached:
    case SmtpOutcome::TimedOut: return true;
    case SmtpOutcome::Failed: return reply < 500;
    default: return false;
    }
}

void Keeper::Set(const std::u16string& policy, const std::u16string& application, uint32_t retryMinutes)
{
    mPolicy = Utf16ToUtf8(policy);
    mApplication = Utf16ToUtf8(application);
    mRetryMinutes = retryMinutes;
}

bool Keeper::Store(Entry& entry, const std::string& failure, std::string& why, std::string& dropped) const
{
    entry.policy = mPolicy;
    entry.application = mApplication;
    entry.created = entry.due = Now();
    entry.giveUpAt = entry.created + static_cast<int64_t>(mRetryMinutes) * 60;
    entry.attempts = 1;
    entry.lastFailure = failure;
    std::vector<std::string> gone;
    const bool kept = outbox::Keep(entry, why, gone);
    for (const std::string& id : gone)
        dropped += (dropped.empty() ? "" : ", ") + id;
    return kept;
}

Result Keeper::Keep(Entry entry, const Result& cause, const char* source, const char* function) const
{
    std::string why, dropped;
    Result r;
    if (!Store(entry, Utf16ToUtf8(DisplayText(cause)), why, dropped))
    {
        r.Init(source, __LINE__, function, NOTIFY_ERROR_NOT_KEPT, Argument(Utf8ToUtf16(why)));
        return Nest(r, cause);
    }
    r.Init(source, __LINE__, function, NOTIFY_ERROR_KEPT, Argument(Utf8ToUtf16(entry.id)),
           Argument(Utf8ToUtf16(TimeText(entry.giveUpAt))));
    return Nest(r, dropped.empty() ? cause : Nest(Full(dropped, source, function), cause));
}

Result Keeper::Full(const std::string& dropped, const char* source, const char* function) const
{
    Result full;
    full.Init(source, __LINE__, function, NOTIFY_ERROR_OUTBOX_FULL, Argument(Utf8ToUtf16(mPolicy)),
              Argument(Utf8ToUtf16(dropped)));
    return full;
}

Result Keeper::KeepUntried(Entry entry, const DownState& down, const char* source, const char* function) const
{
    const std::string since = TimeText(down.since);
    std::string why, dropped;
    Result r;
    if (!Store(entry, entry.destination + " down since " + since, why, dropped))
    {
        r.Init(source, __LINE__, function, NOTIFY_ERROR_NOT_KEPT, Argument(Utf8ToUtf16(why)));
        return r;
    }
    r.Init(source, __LINE__, function, NOTIFY_ERROR_KEPT_DOWN, Argument(Utf8ToUtf16(entry.id)),
           Argument(Utf8ToUtf16(TimeText(entry.giveUpAt))), Argument(Utf8ToUtf16(entry.destination)),
           Argument(Utf8ToUtf16(since)));
    return dropped.empty() ? r : Nest(r, Full(dropped, source, function));
}

} // namespace outbox

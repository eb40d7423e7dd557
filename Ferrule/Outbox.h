// The outbox: mail and webhook posts that failed for a cause that may pass, kept on disk until
// `ferrule flush` delivers them or their retry period ends. The spool folder (Places::SpoolFolder, 0700)
// holds a folder per policy, and in it one file per entry (JSON, 0600), named so that names sort by age.
// A destination found down is remembered in the folder "down" for kDownSeconds, for every process.
#pragma once

#include "Base/Dev/Global/Result.h"
#include "Ferrule/Interfaces.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace outbox
{
inline constexpr uint32_t kDefaultRetryMinutes = 1440; // a day
inline constexpr size_t kMaxEntriesPerPolicy = 1000;
inline constexpr uint64_t kMaxBytesPerPolicy = 16 * 1024 * 1024;
inline constexpr int64_t kDownSeconds = 60;
// An entry is due at once when it is kept; each failed retry doubles its wait, from a minute to an hour.
inline constexpr int64_t kFirstWait = 60, kLongestWait = 3600;

inline constexpr const char* kMailLibrary = "mail-library"; // the mail library's transport
inline constexpr const char* kMailCdo = "mail-cdo";         // the CDO-style transport
inline constexpr const char* kWebhook = "webhook";

// Seconds since the epoch, moved by FERRULE_OUTBOX_CLOCK_OFFSET seconds (for tests of the retry period).
int64_t Now();
// Local time as "YYYY-MM-DD HH:MM:SS".
std::string TimeText(int64_t seconds);
// The wait before the next try after `attempts` tries.
int64_t WaitAfter(uint32_t attempts);

struct Entry
{
    std::string id;          // the file's name without ".json"
    std::string policy;      // the policy file whose handler kept it
    std::string application;
    std::string channel;     // kMailLibrary, kMailCdo or kWebhook
    std::string handler;     // the class of the handler that sends it ({...}), as the policy names it
    std::string destination; // where it goes, without secrets: "smtp://HOST:PORT", a shown URL
    std::string recipient;   // the recipients, or the shown URL
    int64_t created = 0;
    int64_t due = 0;      // the next try
    int64_t giveUpAt = 0; // the end of its retry period
    uint32_t attempts = 1;
    std::string lastFailure;
    nlohmann::json payload; // what the channel needs to send it again (never a password or a token)
};

// Keeps a new entry (its id is made here): written whole to a temporary file, synced, renamed into place,
// its folder synced. When the policy's entries would pass the bounds, its oldest go (their ids in
// dropped). False, and why, when it could not be kept.
bool Keep(Entry& entry, std::string& why, std::vector<std::string>& dropped);
// Every entry of this user's spool, oldest first; entries that cannot be read are skipped.
std::vector<Entry> List();
bool Read(const std::string& id, Entry& entry);
// The entry as its file holds it (JSON), as IOutboxHandler::Redeliver reads it.
std::string Text(const Entry& entry);
// Replaces an entry's file as Keep writes it.
bool Rewrite(const Entry& entry);
bool Remove(const std::string& id);

// One flusher's hold on an entry: an exclusive lock on its file, never waited for. Held only while the
// file is still the entry's (not removed or rewritten by another flusher meanwhile).
class Claim
{
public:
    explicit Claim(const std::string& id);
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    bool Held() const { return mFd >= 0; }

private:
    int mFd = -1;
};

// A destination that failed for a cause that may pass is down for kDownSeconds from its last failure;
// since is the first failure of that spell. Telling costs a look-up of a file that does not exist.
struct DownState
{
    bool down = false;
    int64_t since = 0;
};
DownState Down(const std::string& destination);
void MarkDown(const std::string& destination);
void MarkUp(const std::string& destination);

// Whether an SMTP exchange that ended so (SmtpOutcome::Status, the last reply) may succeed later:
// no resolution, no connection, a time-out, a 4xx reply or a connection that broke. A 5xx reply, every
// recipient refused, a refused login or certificate and values the module refuses are permanent.
bool SmtpMayPass(int status, long reply);

// What a handler that keeps entries knows of its outbox (from the manager), and how a failure becomes
// a kept entry.
class Keeper
{
public:
    void Set(const std::u16string& policy, const std::u16string& application, uint32_t retryMinutes);
    // A policy to keep entries for, and a retry period.
    bool On() const { return !mPolicy.empty() && mRetryMinutes > 0; }
    // Keeps the entry (its policy, application and times are filled in here) after a failure that may
    // pass; the failure the caller sees: what became of the notification, carrying the cause.
    Result Keep(Entry entry, const Result& cause, const char* source, const char* function) const;
    // The destination is down: the entry is kept without a try.
    Result KeepUntried(Entry entry, const DownState& down, const char* source, const char* function) const;

private:
    bool Store(Entry& entry, const std::string& failure, std::string& why, std::string& dropped) const;
    // The news of the entries the bounds dropped.
    Result Full(const std::string& dropped, const char* source, const char* function) const;
    std::string mPolicy, mApplication;
    uint32_t mRetryMinutes = 0;
};
} // namespace outbox

// What the manager tells a handler that keeps entries, and what `ferrule flush` asks of it. Internal to
// the module and its tool: not in the type library.
enum OutboxOutcome : ULONG
{
    OUTBOX_DELIVERED = 0,
    OUTBOX_TRANSIENT = 1, // failed for a cause that may pass: try again later
    OUTBOX_PERMANENT = 2, // refused: give it up
    OUTBOX_WAITING = 3,   // the handler or transport is off now: it waits
};
struct IOutboxHandler : public IUnknown
{
    // The policy file the handler belongs to and its retry period (0: no outbox, one attempt).
    virtual HRESULT STDMETHODCALLTYPE SetOutbox(BSTR policy, BSTR application, ULONG retryMinutes) = 0;
    // Sends the entry (its JSON text) again with the handler's current settings.
    virtual HRESULT STDMETHODCALLTYPE Redeliver(BSTR entry, OutboxOutcome* outcome, BSTR* failure) = 0;
};
DECLARE_INTERFACE_IID(IOutboxHandler, IID_IOutboxHandler)

#include "Ferrule/NotifyWebhook.h"
#include "Ferrule/OutboxHandler.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Crypto/PasswordStore.h"
#include "Messages/MessageTables.h"
#include "Platform/Cdo/Http.h"
#include "Platform/Cdo/Smtp.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/random.h>
#include <thread>
#include <unistd.h>

namespace
{
// The account the token's stored form is made for (an obfuscation: the policy file's mode protects it).
const char16_t kTokenAccount[] = u"Webhook";

// ISO 8601 with the local offset ("2026-12-10T10:48:06+00:00") of an OLE date in local time, or now.
std::string IsoTime(DATE timeStamp)
{
    time_t t = time(nullptr);
    SYSTEMTIME st{};
    if (timeStamp != 0 && VariantTimeToSystemTime(timeStamp, &st))
    {
        struct tm local = {};
        local.tm_year = st.wYear - 1900;
        local.tm_mon = st.wMonth - 1;
        local.tm_mday = st.wDay;
        local.tm_hour = st.wHour;
        local.tm_min = st.wMinute;
        local.tm_sec = st.wSecond;
        local.tm_isdst = -1;
        t = mktime(&local);
    }
    struct tm tm;
    localtime_r(&t, &tm);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    std::string out = text;
    if (out.size() >= 5)
        out.insert(out.size() - 2, ":");
    return out;
}

// Chat endpoints of the incoming-webhook kind read <...> as link markup and & as the start of an entity:
// the three are escaped as they document it.
std::string ChatEscaped(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return out;
}

std::string Computer()
{
    WCHAR name[256] = {0};
    DWORD size = 256;
    return GetComputerNameW(name, &size) ? Utf16ToUtf8(name) : std::string();
}

// A key that tells a receiver a post sent again from the outbox from one it has seen: 128 random bits.
std::string IdempotencyKey()
{
    std::string bytes(16, '\0');
    if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        bytes = std::to_string(time(nullptr)) + "-" + std::to_string(getpid()) + "-" + std::to_string(clock());
    return Utf16ToUtf8(HexEncodeLower(bytes));
}

std::string Json(const nlohmann::ordered_json& j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Control characters as blanks: a header value, or a text meant to stay on one line.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (IsControlCharacter(static_cast<unsigned char>(c)))
            c = ' ';
    return text;
}

// The alert router's alerts API below the URL set: its address, or a prefix it is served under.
constexpr char kAlertsPath[] = "/api/v2/alerts";
std::string AlertsEndpoint(const std::string& url)
{
    const size_t query = url.find_first_of("?#");
    std::string base = url.substr(0, query);
    const std::string rest = query == std::string::npos ? std::string() : url.substr(query);
    if (base.size() >= sizeof kAlertsPath - 1 && base.compare(base.size() - (sizeof kAlertsPath - 1), std::string::npos, kAlertsPath) == 0)
        return url;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + kAlertsPath + rest;
}

// What a server that refused a post said of it: the first line of its answer (a JSON string's text, or
// a JSON object's "message"), shortened.
std::string RefusalReason(const std::string& body)
{
    std::string text = body;
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (answer.is_string())
        text = answer.get<std::string>();
    else if (answer.is_object() && answer.contains("message") && answer["message"].is_string())
        text = answer["message"].get<std::string>();
    std::string line = OneLine(text.substr(0, text.find('\n')));
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (line.size() > 200)
        line = line.substr(0, 200) + "...";
    return line;
}
} // namespace

CNotifyWebhook::CNotifyWebhook()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_WEBHOOK));
}

FERRULE_CLASS_FACTORY(NotifyWebhook, CNotifyWebhook)

const IID* const* CNotifyWebhook::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifyWebhook, nullptr};
    return iids;
}

STDMETHODIMP CNotifyWebhook::NotifySerialized(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority,
                                              ULONG code, BSTR serializedResult, BSTR source, DATE timeStamp)
{
    return Notify(application, type, priority, code, serializedResult, source, timeStamp);
}

STDMETHODIMP CNotifyWebhook::get_URL(BSTR* value)
{
    return CopyOut(Bstr(mUrl), value);
}

STDMETHODIMP CNotifyWebhook::put_URL(BSTR value)
{
    const String url = ToString(value);
    HttpUrl parts;
    if (!url.empty() && !ParseHttpUrl(Utf16ToUtf8(url), parts))
        return E_INVALIDARG;
    // A token never crosses the network in the clear.
    if (!mToken.empty() && parts.scheme == "http")
        return E_INVALIDARG;
    mUrl = url;
    return S_OK;
}

STDMETHODIMP CNotifyWebhook::get_Format(BSTR* value)
{
    return CopyOut(Bstr(mFormat), value);
}

STDMETHODIMP CNotifyWebhook::put_Format(BSTR value)
{
    String format = ToString(value);
    for (char16_t& c : format)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    if (format.empty())
        format = u"json"; // a policy element without the row
    if (format != u"json" && format != u"chat" && format != u"text" && format != u"alertmanager")
        return E_INVALIDARG;
    mFormat = format;
    return S_OK;
}

STDMETHODIMP CNotifyWebhook::put_Token(BSTR value)
{
    const String token = ToString(value);
    HttpUrl parts;
    // A header value holds no line break or other control character.
    if (!SmtpValueIsClean(Utf16ToUtf8(token)) || (!token.empty() && ParseHttpUrl(Utf16ToUtf8(mUrl), parts) && parts.scheme == "http"))
        return E_INVALIDARG;
    mToken = token;
    return S_OK;
}

STDMETHODIMP CNotifyWebhook::get_StoredToken(BSTR* value)
{
    return CopyOut(Bstr(mToken.empty() ? String() : PasswordStore::Encrypt(4, kTokenAccount, mToken)), value);
}

STDMETHODIMP CNotifyWebhook::put_StoredToken(BSTR value)
{
    const String form = ToString(value);
    if (form.empty())
        return put_Token(value);
    for (char16_t c : form)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return E_INVALIDARG;
    const Bstr token(PasswordStore::Decrypt(4, kTokenAccount, form));
    return put_Token(token.Get());
}

STDMETHODIMP CNotifyWebhook::get_TimeoutSeconds(ULONG* value)
{
    return ValueOut(mTimeoutSeconds, value);
}

STDMETHODIMP CNotifyWebhook::put_TimeoutSeconds(ULONG value)
{
    // 0 is what a policy element without the row gives: the default.
    if (value == 0)
        value = 10;
    if (value > 60)
        return E_INVALIDARG;
    mTimeoutSeconds = value;
    return S_OK;
}

HRESULT CNotifyWebhook::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    const std::string url = Utf16ToUtf8(mUrl), shown = ShownUrl(url);
    auto fail = [&](HRESULT hr, const std::string& why) {
        const std::string where = shown.empty() ? std::string("no URL") : shown;
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyWebhook", "CNotifyWebhook::Notify", NOTIFY_ERROR_WEBHOOK_FAILED,
                                                        Argument(Utf8ToUtf16(where + ": " + why))));
    };
    HttpUrl parts;
    if (!ParseHttpUrl(url, parts))
        return fail(E_UNEXPECTED, "no URL is set (ferrule set Webhook URL=-)");
    if (!mToken.empty() && parts.scheme == "http")
        return fail(E_UNEXPECTED, "a token is sent over https only");

    // A serialized result is shown by its display text, and kept as it is for the JSON document.
    String text = ToString(description), serialized;
    Result result;
    if (ParseSerializedResult(text, result))
    {
        serialized = text;
        text = DisplayText(result);
    }
    const std::string descriptionText = Utf16ToUtf8(text), app = Utf16ToUtf8(ToString(application)),
                      computer = Computer();
    const std::string summary = Utf16ToUtf8(PriorityText(priority)) + " " + Utf16ToUtf8(TypeText(type)) + " from " +
                                app + " on " + computer;
    HttpPost post;
    if (mFormat == u"text")
    {
        // Header values on one line: the summary holds names a caller chose.
        post.headers.push_back("Content-Type: text/plain; charset=utf-8");
        post.headers.push_back("Title: " + OneLine(summary));
        post.headers.push_back(std::string("Priority: ") +
                               (priority == NOTIFY_PRIORITY_HIGH ? "5" : priority == NOTIFY_PRIORITY_MEDIUM ? "3" : "2"));
        post.headers.push_back("Tags: " + TypeWord(type));
        post.body = descriptionText;
    }
    else
    {
        post.headers.push_back("Content-Type: application/json");
        nlohmann::ordered_json j;
        if (mFormat == u"chat")
            j["text"] = ChatEscaped(summary + ": " + descriptionText);
        else if (mFormat == u"alertmanager")
        {
            // One alert; notifications with the same labels are one alert in the router, which shows the
            // latest description. No end: the router resolves it after its own resolve time.
            nlohmann::ordered_json labels;
            labels["alertname"] = app.empty() ? std::string("ferrule") : app;
            labels["severity"] = TypeWord(type);
            labels["priority"] = PriorityWord(priority);
            if (const std::string from = Utf16ToUtf8(ToString(source)); !from.empty())
                labels["source"] = from;
            labels["code"] = HexCode(code);
            labels["instance"] = computer;
            nlohmann::ordered_json alert;
            alert["labels"] = labels;
            alert["annotations"] = {{"description", descriptionText}, {"summary", OneLine(summary + ": " + descriptionText)}};
            alert["startsAt"] = IsoTime(timeStamp);
            j = nlohmann::ordered_json::array({alert});
        }
        else
        {
            j["type"] = TypeWord(type);
            j["priority"] = PriorityWord(priority);
            j["code"] = HexCode(code);
            j["description"] = descriptionText;
            if (static_cast<int32_t>(code) < 0 && !serialized.empty())
                j["serialized"] = Utf16ToUtf8(serialized);
            j["source"] = Utf16ToUtf8(ToString(source));
            j["application"] = app;
            j["computer"] = computer;
            j["time"] = IsoTime(timeStamp);
            // The log line's UMI, where it has one.
            const String umi = type == NOTIFY_TYPE_ERROR ? UmiSuffix(text) : String();
            const size_t open = umi.find(u"(UMI:"), close = umi.find(u')');
            if (open != String::npos && close != String::npos && close > open + 5)
                j["umi"] = Utf16ToUtf8(umi.substr(open + 5, close - open - 5));
        }
        post.body = Json(j);
    }

    // What the outbox keeps: the body and headers as first sent (the token's header is added at each send).
    outbox::Entry kept;
    kept.channel = outbox::kWebhook;
    kept.handler = Utf16ToUtf8(GuidText(ClassId()));
    kept.destination = kept.recipient = shown;
    kept.payload = {{"format", Utf16ToUtf8(mFormat)}, {"body", post.body}, {"headers", post.headers},
                    {"key", IdempotencyKey()}};
    post.headers.push_back("Idempotency-Key: " + kept.payload["key"].get<std::string>());
    if (mKeeper.On())
        if (const outbox::DownState down = outbox::Down(url); down.down)
            return ReportHandlerFailure(HRESULT_FROM_WIN32(ERROR_RETRY),
                                        mKeeper.KeepUntried(kept, down, "NotifyWebhook", "CNotifyWebhook::Notify"));
    Address(post, Utf16ToUtf8(mFormat));
    const HttpOutcome outcome = Post(post);
    if (outcome.status == HttpOutcome::Answered && outcome.httpStatus >= 200 && outcome.httpStatus < 300)
        return S_OK;
    HRESULT hr = E_FAIL;
    const std::string why = Why(outcome, hr);
    const Result failure = HANDLER_FAILURE("NotifyWebhook", "CNotifyWebhook::Notify", NOTIFY_ERROR_WEBHOOK_FAILED,
                                           Argument(Utf8ToUtf16(shown + ": " + why)));
    if (MayPass(outcome) && mKeeper.On())
    {
        outbox::MarkDown(url);
        return ReportHandlerFailure(hr, mKeeper.Keep(kept, failure, "NotifyWebhook", "CNotifyWebhook::Notify"));
    }
    return ReportHandlerFailure(hr, failure);
}

void CNotifyWebhook::Address(HttpPost& post, const std::string& format) const
{
    const std::string url = Utf16ToUtf8(mUrl);
    post.url = format == "alertmanager" ? AlertsEndpoint(url) : url;
    if (const char* ca = std::getenv("FERRULE_WEBHOOK_CA_FILE"); ca && *ca)
        post.caFile = ca;
    if (!mToken.empty())
        post.headers.push_back("Authorization: Bearer " + Utf16ToUtf8(mToken));
}

HttpOutcome CNotifyWebhook::Post(HttpPost& post) const
{
    // A 429 or 5xx is tried once more within the timeout, after its Retry-After when that fits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(mTimeoutSeconds);
    HttpOutcome outcome;
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        post.timeoutMs = static_cast<long>(left.count());
        outcome = HttpSend(post);
        if (outcome.status == HttpOutcome::Answered && outcome.httpStatus >= 200 && outcome.httpStatus < 300)
            return outcome;
        const bool again = outcome.status == HttpOutcome::Answered &&
                           (outcome.httpStatus == 429 || outcome.httpStatus >= 500) && attempt == 0;
        if (!again)
            break;
        const auto wait = std::chrono::seconds(std::max(0L, outcome.retryAfter));
        if (std::chrono::steady_clock::now() + wait >= deadline)
            break;
        std::this_thread::sleep_for(wait);
    }
    return outcome;
}

std::string CNotifyWebhook::Why(const HttpOutcome& outcome, HRESULT& hr) const
{
    hr = E_FAIL;
    switch (outcome.status)
    {
    case HttpOutcome::Answered:
    {
        const std::string reason = RefusalReason(outcome.body);
        return "HTTP " + std::to_string(outcome.httpStatus) +
               (outcome.httpStatus >= 300 && outcome.httpStatus < 400 ? " (redirects are not followed)"
                : reason.empty()                                        ? ""
                                                                        : ": " + reason);
    }
    case HttpOutcome::TimedOut:
        hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        return "no answer within " + std::to_string(mTimeoutSeconds) + " s";
    case HttpOutcome::LibraryMissing: hr = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND); return outcome.error;
    default: return outcome.error;
    }
}

bool CNotifyWebhook::MayPass(const HttpOutcome& outcome)
{
    switch (outcome.status)
    {
    case HttpOutcome::Answered:
        return outcome.httpStatus == 408 || outcome.httpStatus == 429 || outcome.httpStatus >= 500;
    case HttpOutcome::TimedOut: return true;
    case HttpOutcome::Failed: return outcome.mayPass;
    default: return false;
    }
}

STDMETHODIMP CNotifyWebhook::SetOutbox(BSTR policy, BSTR application, ULONG retryMinutes)
{
    mKeeper.Set(ToString(policy), ToString(application), retryMinutes);
    return S_OK;
}

STDMETHODIMP CNotifyWebhook::Redeliver(BSTR entryText, OutboxOutcome* outcome, BSTR* failure)
{
    return RedeliverFrame("CNotifyWebhook::Redeliver", entryText, Utf16ToUtf8(mUrl), outcome, failure,
                          [&](const nlohmann::json&, const nlohmann::json& payload) -> Redelivered {
        auto answer = [](OutboxOutcome o, const std::string& text) { return Redelivered{o, Utf8ToUtf16(text)}; };
        HttpUrl parts;
        if (!ParseHttpUrl(Utf16ToUtf8(mUrl), parts))
            return answer(OUTBOX_WAITING, "the Webhook handler has no URL now");
        HttpPost post;
        post.body = payload.value("body", "");
        for (const auto& header : payload.value("headers", nlohmann::json::array()))
            if (header.is_string())
                post.headers.push_back(header.get<std::string>());
        post.headers.push_back("Idempotency-Key: " + payload.value("key", ""));
        Address(post, payload.value("format", "json"));
        const HttpOutcome sent = Post(post);
        if (sent.status == HttpOutcome::Answered && sent.httpStatus >= 200 && sent.httpStatus < 300)
            return answer(OUTBOX_DELIVERED, "");
        HRESULT hr = E_FAIL;
        const std::string why = ShownUrl(Utf16ToUtf8(mUrl)) + ": " + Why(sent, hr);
        return answer(MayPass(sent) ? OUTBOX_TRANSIENT : OUTBOX_PERMANENT, why);
    });
}


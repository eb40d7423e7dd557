#include "Plover/Plover.h"
#include "Base/Dev/Diagnostics/DebugLog.h"
#include "Base/Dev/Global/Encoders.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
const long kConnectSeconds = 10;
const long kDefaultTotalSeconds = 30;
const long kStallSeconds = 10;

struct Upload
{
    std::string data;
    size_t position = 0;
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const size_t n = std::min(size * count, upload->data.size() - upload->position);
    std::memcpy(buffer, upload->data.data() + upload->position, n);
    upload->position += n;
    return n;
}

// The server's last reply code, for the debug log (the error text holds its words).
long LastReply(CURL* curl)
{
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

std::vector<std::string> Recipients(const std::string& to)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= to.size())
    {
        size_t end = to.find_first_of(",;", start);
        if (end == std::string::npos)
            end = to.size();
        std::string one = to.substr(start, end - start);
        const size_t first = one.find_first_not_of(" \t"), last = one.find_last_not_of(" \t");
        if (first != std::string::npos)
            out.push_back(one.substr(first, last - first + 1));
        start = end + 1;
    }
    return out;
}

std::string Bracketed(const std::string& address)
{
    return address.empty() || address.front() == '<' ? address : "<" + address + ">";
}

std::string DateHeader()
{
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = tm.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

std::string MessageId()
{
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    std::random_device random;
    char id[64];
    std::snprintf(id, sizeof id, "%08x%08x.%ld", random(), random(), static_cast<long>(time(nullptr)));
    return std::string("<") + id + "@" + host + ">";
}

std::string Message(const std::string& from, const std::string& to, const std::string& subject, const std::string& body)
{
    std::string m;
    m += "Date: " + DateHeader() + "\r\n";
    if (!from.empty())
        m += "From: " + from + "\r\n";
    m += "To: " + to + "\r\n";
    m += "Subject: " + subject + "\r\n";
    m += "Message-ID: " + MessageId() + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=utf-8\r\n";
    m += "Content-Transfer-Encoding: base64\r\n\r\n";
    for (size_t i = 0; i < body.size(); i += 76)
        m += body.substr(i, 76) + "\r\n";
    return m;
}

unsigned char ResultOf(CURLcode code)
{
    switch (code)
    {
    case CURLE_OK: return plover::kSent;
    case CURLE_FAILED_INIT: return plover::kInitFailed;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT: return plover::kNotReached;
    case CURLE_LOGIN_DENIED: return plover::kLoginDenied;
    default: return plover::kOtherFailure;
    }
}
} // namespace

extern "C" unsigned char PloverLib_SendEmail(const char* server, const char* port, const char* user,
                                             const char* password, const char* from, const char* to,
                                             const char* subject, const char* body, bool secure, bool)
{
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (global != CURLE_OK)
        return plover::kInitFailed;
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return plover::kInitFailed;
    const std::string portText = port && *port ? port : "25";
    const bool implicitTls = secure && portText == "465";
    const std::string url = std::string(implicitTls ? "smtps://" : "smtp://") + (server ? server : "") + ":" + portText;
    Upload upload;
    upload.data = Message(from ? from : "", to ? to : "", subject ? subject : "", body ? body : "");
    curl_slist* recipients = nullptr;
    for (const std::string& r : Recipients(to ? to : ""))
        recipients = curl_slist_append(recipients, Bracketed(r).c_str());
    char error[CURL_ERROR_SIZE] = {0};
    long total = kDefaultTotalSeconds;
    if (const char* configured = std::getenv("FERRULE_SMTP_TIMEOUT"))
        total = std::max(1L, std::strtol(configured, nullptr, 10));

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    const std::string reversePath = from && *from ? Bracketed(from) : "<>";
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, reversePath.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, total);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, std::min(kStallSeconds, total));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    if (secure && !implicitTls)
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (const char* ca = std::getenv("FERRULE_SMTP_CA_FILE"); ca && *ca)
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    if (user && *user)
    {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user);
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password ? password : "");
    }
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK)
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::WARN)
            << "PloverLib_SendEmail: " << url << ": " << (error[0] ? error : curl_easy_strerror(code))
            << "; last reply code: " << LastReply(curl);
    }
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
    return ResultOf(code);
}

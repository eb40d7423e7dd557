#include "Platform/Cdo/Smtp.h"
#include "Platform/Com/Calendar.h"
#include "Platform/Win32/Utf.h"
#include "Platform/Cdo/CurlLibrary.h"
#include "Platform/Win32/Base64.h"


#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
const long kConnectSeconds = 10;
const long kDefaultTotalSeconds = 30;
const long kStallSeconds = 10;

long TotalSeconds()
{
    if (const char* configured = std::getenv("FERRULE_SMTP_TIMEOUT"))
        return std::max(1L, std::strtol(configured, nullptr, 10));
    return kDefaultTotalSeconds;
}

struct Upload
{
    const std::string* data;
    size_t position = 0;
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const size_t n = std::min(size * count, upload->data->size() - upload->position);
    std::memcpy(buffer, upload->data->data() + upload->position, n);
    upload->position += n;
    return n;
}

// What the exchange showed: the commands sent and the replies to them.
struct Exchange
{
    std::string command;   // the last command sent, first word upper-case
    std::string recipient; // the address of the last RCPT TO
    std::vector<std::string> refused;
    std::string mechanism;
    std::string offered; // the mechanisms of the server's AUTH line, blank-separated, upper-case
    bool tls = false;
    curl_socket_t socket = CURL_SOCKET_BAD; // from libcurl's opening of it to its closing
};

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address)
{
    auto* x = static_cast<Exchange*>(user);
    const curl_socket_t s = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (s != CURL_SOCKET_BAD)
        x->socket = s;
    return s;
}

int CloseSocket(void* user, curl_socket_t s)
{
    auto* x = static_cast<Exchange*>(user);
    if (x->socket == s)
        x->socket = CURL_SOCKET_BAD;
    return close(s);
}

int Watch(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* x = static_cast<Exchange*>(user);
    const std::string line(data, size);
    if (type == CURLINFO_HEADER_OUT)
    {
        std::string upper = line.substr(0, std::min<size_t>(line.size(), 10));
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (upper.rfind("RCPT TO:", 0) == 0)
        {
            x->command = "RCPT";
            std::string address = line.substr(8);
            while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
                address.pop_back();
            if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
                address = address.substr(1, address.size() - 2);
            x->recipient = address;
        }
        else if (upper.rfind("AUTH ", 0) == 0)
        {
            x->command = "AUTH";
            const size_t end = line.find_first_of(" \r\n", 5);
            x->mechanism = line.substr(5, end == std::string::npos ? std::string::npos : end - 5);
        }
        else if (upper.rfind("STARTTLS", 0) == 0)
            x->command = "STARTTLS";

        else if (!line.empty() && line[0] != '\r')
            x->command = upper.substr(0, upper.find(' '));
    }
    if (type == CURLINFO_HEADER_IN && line.size() > 9 && (line.compare(4, 5, "AUTH ") == 0 || line.compare(4, 5, "AUTH=") == 0))
    {
        std::string upper = " " + line.substr(9);
        for (char& c : upper)
            c = c == '\r' || c == '\n' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        x->offered += upper;
    }
    if (type == CURLINFO_HEADER_IN && line.size() >= 4 && line[3] != '-')
    {
        const int code = std::atoi(line.substr(0, 3).c_str());
        if (x->command == "RCPT" && code >= 400)
            x->refused.push_back(x->recipient);
        else if (x->command == "STARTTLS" && code == 220)
            x->tls = true;
        x->command.clear();
    }
    return 0;
}

SmtpOutcome::Status StatusOf(CURLcode code)
{
    switch (code)
    {
    case CURLE_OK: return SmtpOutcome::Sent;
    case CURLE_FAILED_INIT:
    case CURLE_OUT_OF_MEMORY: return SmtpOutcome::StartFailed;
    case CURLE_COULDNT_RESOLVE_HOST: return SmtpOutcome::NotResolved;
    case CURLE_COULDNT_CONNECT: return SmtpOutcome::NotReached;
    case CURLE_LOGIN_DENIED: return SmtpOutcome::LoginDenied;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return SmtpOutcome::CertificateFailed;
    case CURLE_OPERATION_TIMEDOUT: return SmtpOutcome::TimedOut;
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ENGINE_INITFAILED: return SmtpOutcome::TlsFailed;
    default: return SmtpOutcome::Failed;
    }
}
} // namespace

bool SmtpValueIsClean(std::string_view text)
{
    return !HoldsControlCharacter(text);
}

std::vector<std::string> SmtpAddressList(std::string_view list)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size())
    {
        size_t end = list.find_first_of(",;", start);
        if (end == std::string_view::npos)
            end = list.size();
        const std::string_view one = list.substr(start, end - start);
        const size_t first = one.find_first_not_of(" \t"), last = one.find_last_not_of(" \t");
        if (first != std::string_view::npos)
            out.emplace_back(one.substr(first, last - first + 1));
        start = end + 1;
    }
    return out;
}

std::string SmtpBracketed(const std::string& address)
{
    return !address.empty() && address.front() == '<' ? address : "<" + address + ">";
}

std::string SmtpHeaderText(std::string_view utf8)
{
    for (unsigned char c : utf8)
        if (c >= 0x80 || IsControlCharacter(c))
            return "=?utf-8?B?" + Base64Encode(utf8) + "?=";
    return std::string(utf8);
}

std::string SmtpDateHeader()
{
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", DayAbbreviation(tm.tm_wday),
                  tm.tm_mday, MonthAbbreviation(tm.tm_mon), tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

std::string SmtpMessageId()
{
    static std::mutex lock;
    static std::mt19937_64 random{std::random_device{}()};
    uint64_t n;
    {
        const std::lock_guard<std::mutex> hold(lock);
        n = random();
    }
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    char id[64];
    std::snprintf(id, sizeof id, "%016llx.%ld", static_cast<unsigned long long>(n), static_cast<long>(time(nullptr)));
    return std::string("<") + id + "@" + host + ">";
}

std::string SmtpTextMessage(const std::vector<std::pair<std::string, std::string>>& headers,
                            const std::string& mediaType, const std::string& charset, const std::string& base64Body)
{
    std::string m;
    for (const auto& [name, value] : headers)
        m += name + ": " + value + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: " + mediaType + "; charset=" + charset + "\r\n";
    m += "Content-Transfer-Encoding: base64\r\n\r\n";
    for (size_t i = 0; i < base64Body.size(); i += 76)
        m += base64Body.substr(i, 76) + "\r\n";
    return m;
}

std::string SmtpPlainMessage(const std::string& from, const std::string& to, const std::string& subject,
                             const std::string& bodyBase64)
{
    // From and To are addresses (checked by the send); the subject is written as one clean header value.
    std::vector<std::pair<std::string, std::string>> headers = {{"Date", SmtpDateHeader()}};
    if (!from.empty())
        headers.emplace_back("From", SmtpHeaderText(from));
    headers.emplace_back("To", SmtpHeaderText(to));
    headers.emplace_back("Subject", SmtpHeaderText(subject));
    headers.emplace_back("Message-ID", SmtpMessageId());
    return SmtpTextMessage(headers, "text/plain", "utf-8", bodyBase64);
}

namespace
{
// One exchange with the server, ending by the deadline; loginOptions names the mechanisms allowed.
SmtpOutcome Attempt(const SmtpMail& mail, SmtpMail::Tls tls, const char* loginOptions,
                    std::chrono::steady_clock::time_point deadline, std::string& offered)
{
    SmtpOutcome outcome;
    const CurlLibrary* lib = Curl(outcome.error);
    const CurlEasy easy(lib);
    CURL* curl = easy.Get();
    if (curl == nullptr)
    {
        outcome.status = lib ? SmtpOutcome::StartFailed : SmtpOutcome::LibraryMissing;
        return outcome;
    }
    const auto started = std::chrono::steady_clock::now();
    const long leftMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - started).count());
    const long total = std::max(1L, (leftMs + 999) / 1000);
    const bool implicitTls = tls == SmtpMail::Tls::Implicit;
    const std::string url = std::string(implicitTls ? "smtps://" : "smtp://") + mail.server + ":" + mail.port;
    const std::string reversePath = mail.from.empty() ? "<>" : SmtpBracketed(mail.from);
    CurlList rcpt(lib);
    for (const std::string& r : mail.recipients)
        rcpt.Append(SmtpBracketed(r));
    Upload upload{&mail.message, 0};
    Exchange exchange;
    exchange.tls = implicitTls;
    char error[CURL_ERROR_SIZE] = {0};

    lib->curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    lib->curl_easy_setopt(curl, CURLOPT_MAIL_FROM, reversePath.c_str());
    lib->curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.Get());
    // A refused recipient does not stop the others; the refused are named in the outcome.
    lib->curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadMessage);
    lib->curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    lib->curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, std::min(kConnectSeconds, total));
    lib->curl_easy_setopt(curl, CURLOPT_TIMEOUT, total);
    lib->curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, total);
    lib->curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, std::min(kStallSeconds, total));
    lib->curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
    lib->curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &exchange);
    lib->curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocket);
    lib->curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &exchange);
    lib->curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &Watch);
    lib->curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &exchange);
    lib->curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    const char* ca = std::getenv("FERRULE_SMTP_CA_FILE");
    TrustAuthorities(lib, curl, ca ? ca : "");
    if (tls == SmtpMail::Tls::Opportunistic)
        lib->curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    else if (tls == SmtpMail::Tls::Required)
        lib->curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (mail.login != SmtpMail::Login::None)
    {
        lib->curl_easy_setopt(curl, CURLOPT_USERNAME, mail.user.c_str());
        lib->curl_easy_setopt(curl, CURLOPT_PASSWORD, mail.password.c_str());
        if (loginOptions != nullptr)
            lib->curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, loginOptions);
    }

    const CURLcode code = lib->curl_easy_perform(curl);
    // After a failure libcurl closes the connection with QUIT and waits for its answer without the
    // bound (up to its own response time-out): shut the connection down first, so closing ends at once.
    if (code != CURLE_OK && exchange.socket != CURL_SOCKET_BAD)
        shutdown(exchange.socket, SHUT_RDWR);
    outcome.status = StatusOf(code);
    outcome.error = code == CURLE_OK ? "" : (error[0] ? error : lib->curl_easy_strerror(code));
    long osError = 0; // what the system said of a connection that failed ("Connection refused")
    if (code != CURLE_OK && lib->curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError) == CURLE_OK && osError != 0)
        outcome.error += std::string(" (") + std::strerror(static_cast<int>(osError)) + ")";
    lib->curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.lastReply);
    outcome.refused = exchange.refused;
    outcome.mechanism = exchange.mechanism;
    outcome.tls = exchange.tls;
    offered = exchange.offered + " ";
    outcome.noStartTls = code == CURLE_USE_SSL_FAILED && !exchange.tls;
    if (code != CURLE_OK && !outcome.refused.empty() && outcome.refused.size() == mail.recipients.size())
        outcome.status = SmtpOutcome::RecipientsRefused;
    return outcome;
}
} // namespace

bool SmtpPlainLoginAllowed()
{
    const char* allow = std::getenv("FERRULE_SMTP_ALLOW_PLAIN_LOGIN");
    return allow != nullptr && std::strcmp(allow, "1") == 0;
}

SmtpOutcome SmtpSend(const SmtpMail& mail)
{
    bool clean = SmtpValueIsClean(mail.server) && SmtpValueIsClean(mail.port) && SmtpValueIsClean(mail.from);
    for (const std::string& r : mail.recipients)
        clean = clean && SmtpValueIsClean(r);
    if (!clean || mail.server.empty() || mail.recipients.empty())
    {
        SmtpOutcome outcome;
        outcome.status = SmtpOutcome::InvalidValue;
        return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TotalSeconds());
    std::string offered;
    if (mail.login == SmtpMail::Login::Ntlm)
        return Attempt(mail, mail.tls, "AUTH=NTLM", deadline, offered);
    if (mail.login == SmtpMail::Login::Any && mail.tls == SmtpMail::Tls::Opportunistic && !mail.allowPlainLogin)
    {
        // Any mechanism over TLS. Without STARTTLS only NTLM, which never sends the password itself, or
        // no login at all where the server asks for none.
        SmtpOutcome outcome = Attempt(mail, SmtpMail::Tls::Required, nullptr, deadline, offered);
        if (!outcome.noStartTls)
            return outcome;
        if (offered.find(" NTLM ") != std::string::npos)
            return Attempt(mail, SmtpMail::Tls::None, "AUTH=NTLM", deadline, offered);
        if (offered.find_first_not_of(' ') == std::string::npos)
            return Attempt(mail, SmtpMail::Tls::None, nullptr, deadline, offered);
        outcome.status = SmtpOutcome::PlainLoginRefused;
        return outcome;
    }
    if (mail.login != SmtpMail::Login::Basic)
        return Attempt(mail, mail.tls, nullptr, deadline, offered);

    // A basic login sends the password itself: without TLS only where that is allowed.
    const bool guardsPassword = mail.tls == SmtpMail::Tls::Opportunistic && !mail.allowPlainLogin;
    const SmtpMail::Tls tls = guardsPassword ? SmtpMail::Tls::Required : mail.tls;
    SmtpOutcome outcome = Attempt(mail, tls, "AUTH=LOGIN", deadline, offered);
    if (guardsPassword && outcome.noStartTls)
        outcome.status = SmtpOutcome::PlainLoginRefused;
    // LOGIN first; PLAIN only where the server does not offer LOGIN.
    if (outcome.status == SmtpOutcome::LoginDenied && outcome.mechanism.empty() &&
        offered.find(" LOGIN ") == std::string::npos && offered.find(" PLAIN ") != std::string::npos)
        outcome = Attempt(mail, tls, "AUTH=PLAIN", deadline, offered);
    return outcome;
}

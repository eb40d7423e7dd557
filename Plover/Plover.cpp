#include "Plover/Plover.h"
#include "Base/Dev/Diagnostics/DebugLog.h"
#include "Platform/Cdo/Smtp.h"

#include <mutex>
#include <string>

namespace
{
// The recipients the server refused in the last send, ", " separated. Not thread-local: a library
// opened at run time keeps no thread-local state (its dynamic TLS trips the leak checker's scan at exit).
std::mutex gRefusedLock;
std::string gRefused;
int gLastStatus = SmtpOutcome::Sent; // the last send's outcome and the transfer library's words, same lock
std::string gLastWords;

unsigned char ResultOf(const SmtpOutcome& outcome)
{
    switch (outcome.status)
    {
    case SmtpOutcome::Sent: return outcome.refused.empty() ? plover::kSent : plover::kSomeRefused;
    case SmtpOutcome::StartFailed:
    case SmtpOutcome::LibraryMissing: return plover::kInitFailed;
    case SmtpOutcome::NotResolved:
    case SmtpOutcome::NotReached: return plover::kNotReached;
    case SmtpOutcome::LoginDenied: return plover::kLoginDenied;
    case SmtpOutcome::InvalidValue: return plover::kInvalidValue;
    case SmtpOutcome::PlainLoginRefused: return plover::kPlainLoginRefused;
    default: return plover::kOtherFailure;
    }
}
} // namespace

extern "C" unsigned char PloverLib_SendEmail(const char* server, const char* port, const char* user,
                                             const char* password, const char* from, const char* to,
                                             const char* subject, const char* body, bool secure, bool)
{
    SmtpMail mail;
    mail.server = server ? server : "";
    mail.port = port && *port ? port : "25";
    // Without the secure flag STARTTLS is still used whenever the server offers it, and the password
    // never crosses the network in clear (SmtpSend's rules for Login::Any).
    mail.tls = !secure ? SmtpMail::Tls::Opportunistic
               : mail.port == "465" ? SmtpMail::Tls::Implicit
                                    : SmtpMail::Tls::Required;
    mail.allowPlainLogin = SmtpPlainLoginAllowed();
    if (user && *user)
    {
        mail.login = SmtpMail::Login::Any;
        mail.user = user;
        mail.password = password ? password : "";
    }
    mail.from = from ? from : "";
    const std::string toText = to ? to : "";
    mail.recipients = SmtpAddressList(toText);
    // From and To are addresses (checked by the send); the subject is written as one clean header value.
    std::vector<std::pair<std::string, std::string>> headers = {{"Date", SmtpDateHeader()}};
    if (!mail.from.empty())
        headers.emplace_back("From", SmtpHeaderText(mail.from));
    headers.emplace_back("To", SmtpHeaderText(toText));
    headers.emplace_back("Subject", SmtpHeaderText(subject ? subject : ""));
    headers.emplace_back("Message-ID", SmtpMessageId());
    mail.message = SmtpTextMessage(headers, "text/plain", "utf-8", body ? body : "");

    const SmtpOutcome outcome = SmtpSend(mail);
    std::string refused;
    for (const std::string& r : outcome.refused)
        refused += (refused.empty() ? "" : ", ") + r;
    {
        const std::lock_guard<std::mutex> hold(gRefusedLock);
        gRefused = refused;
        gLastStatus = outcome.status;
        gLastWords = outcome.error;
    }
    if (outcome.status != SmtpOutcome::Sent || !outcome.refused.empty())
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::WARN)
            << "PloverLib_SendEmail: " << mail.server << ":" << mail.port << ": "
            << (outcome.error.empty() ? "refused recipients " + refused : outcome.error)
            << "; last reply code: " << outcome.lastReply;
    }
    return ResultOf(outcome);
}

extern "C" const char* PloverLib_RefusedRecipients()
{
    const std::lock_guard<std::mutex> hold(gRefusedLock);
    return gRefused.c_str(); // valid until the next send
}

extern "C" const char* PloverLib_LastFailure(int* status)
{
    const std::lock_guard<std::mutex> hold(gRefusedLock);
    if (status != nullptr)
        *status = gLastStatus;
    return gLastWords.c_str(); // valid until the next send
}

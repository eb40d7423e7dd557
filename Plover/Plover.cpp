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
int gLastStatus = SmtpOutcome::Sent; // the last send's outcome, reply and the transfer library's words
long gLastReply = 0;
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

namespace
{
// The exchange's settings: the server, the TLS and login rules, the envelope.
SmtpMail Settings(const char* server, const char* port, const char* user, const char* password, const char* from,
                  const char* to, bool secure)
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
    mail.recipients = SmtpAddressList(to ? to : "");
    return mail;
}

unsigned char Send(const SmtpMail& mail, const char* function)
{
    const SmtpOutcome outcome = SmtpSend(mail);
    std::string refused;
    for (const std::string& r : outcome.refused)
        refused += (refused.empty() ? "" : ", ") + r;
    {
        const std::lock_guard<std::mutex> hold(gRefusedLock);
        gRefused = refused;
        gLastStatus = outcome.status;
        gLastReply = outcome.lastReply;
        gLastWords = outcome.error;
    }
    if (outcome.status != SmtpOutcome::Sent || !outcome.refused.empty())
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::WARN)
            << function << ": " << mail.server << ":" << mail.port << ": "
            << (outcome.error.empty() ? "refused recipients " + refused : outcome.error)
            << "; last reply code: " << outcome.lastReply;
    }
    return ResultOf(outcome);
}
} // namespace

extern "C" unsigned char PloverLib_SendEmail(const char* server, const char* port, const char* user,
                                             const char* password, const char* from, const char* to,
                                             const char* subject, const char* body, bool secure, bool)
{
    SmtpMail mail = Settings(server, port, user, password, from, to, secure);
    mail.message = SmtpPlainMessage(from ? from : "", to ? to : "", subject ? subject : "", body ? body : "");
    return Send(mail, "PloverLib_SendEmail");
}

extern "C" unsigned char PloverLib_SendMessage(const char* server, const char* port, const char* user,
                                               const char* password, const char* from, const char* to,
                                               const char* message, bool secure)
{
    SmtpMail mail = Settings(server, port, user, password, from, to, secure);
    mail.message = message ? message : "";
    return Send(mail, "PloverLib_SendMessage");
}

extern "C" const char* PloverLib_RefusedRecipients()
{
    const std::lock_guard<std::mutex> hold(gRefusedLock);
    return gRefused.c_str(); // valid until the next send
}

extern "C" const char* PloverLib_LastFailure(int* status, long* reply)
{
    const std::lock_guard<std::mutex> hold(gRefusedLock);
    if (status != nullptr)
        *status = gLastStatus;
    if (reply != nullptr)
        *reply = gLastReply;
    return gLastWords.c_str(); // valid until the next send
}

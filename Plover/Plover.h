// The mail library: sends one e-mail over SMTP through libcurl. Loaded at run time by the e-mail
// handler from the module's folder.
//
// PloverLib_SendEmail(server, port, user, password, from, to, subject, body, secure, second): all
// texts UTF-8. The subject is one RFC 2047 encoded word and the body Base64, as the handler gives
// them; the library writes Date, From, To, Subject, Message-ID, MIME-Version and a text/plain UTF-8
// Base64 body (wrapped at 76 characters). "to" may list several recipients separated by "," or ";":
// each is one envelope recipient. secure: port 465 is implicit TLS, any other port STARTTLS
// (required); certificates are checked against the system's trust store and the file named by
// FERRULE_SMTP_CA_FILE. A non-empty user logs in with what the server offers. The second flag is
// unused. Time-outs: 10 s to connect; the whole exchange, QUIT included, FERRULE_SMTP_TIMEOUT seconds
// (default 30); a server that sends nothing for 10 s is given up. From, To, the server and every
// recipient may hold no control character (they would leave their field); the subject is written as it
// is when it is printable ASCII, else as one encoded word.
//
// The result: 0 sent; 1 the transfer library could not start; 2 the host was not resolved or not
// reached; 3 the login was refused; 4 any other failure (TLS, a time-out, every recipient refused);
// 5 sent, but the server refused some recipients (PloverLib_RefusedRecipients names them, for the
// last send in the process, valid until the next); 6 a value holds a control character, nothing sent.
#pragma once

extern "C" {
typedef unsigned char (*PloverSendEmailFunction)(const char* server, const char* port, const char* user,
                                                 const char* password, const char* from, const char* to,
                                                 const char* subject, const char* body, bool secure, bool second);

__attribute__((visibility("default"))) unsigned char PloverLib_SendEmail(const char* server, const char* port,
                                                                         const char* user, const char* password,
                                                                         const char* from, const char* to,
                                                                         const char* subject, const char* body,
                                                                         bool secure, bool second);
typedef const char* (*PloverRefusedRecipientsFunction)();
__attribute__((visibility("default"))) const char* PloverLib_RefusedRecipients();
// Why the last send in the process failed: *status the SMTP exchange's outcome (SmtpOutcome::Status),
// *reply the server's last reply code, the text the transfer library's words; valid until the next send.
typedef const char* (*PloverLastFailureFunction)(int* status, long* reply);
__attribute__((visibility("default"))) const char* PloverLib_LastFailure(int* status, long* reply);
// Sends a message already composed (headers and body, CR LF line ends) with the settings and rules of
// PloverLib_SendEmail: the outbox's mail, sent again as it was first composed. The same results.
typedef unsigned char (*PloverSendMessageFunction)(const char* server, const char* port, const char* user,
                                                   const char* password, const char* from, const char* to,
                                                   const char* message, bool secure);
__attribute__((visibility("default"))) unsigned char PloverLib_SendMessage(const char* server, const char* port,
                                                                           const char* user, const char* password,
                                                                           const char* from, const char* to,
                                                                           const char* message, bool secure);
}

namespace plover
{
enum SendResult : unsigned char
{
    kSent = 0,
    kInitFailed = 1,
    kNotReached = 2,
    kLoginDenied = 3,
    kOtherFailure = 4,
    kSomeRefused = 5,
    kInvalidValue = 6,
    kPlainLoginRefused = 7, // a login that would send the password in clear was not made; nothing sent
};
} // namespace plover

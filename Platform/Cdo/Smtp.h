// The one SMTP client of the product: the message text both mail transports send (headers, a Base64
// text body) and the exchange with the server through libcurl, with its time-outs and TLS choices.
//
// Time-outs: 10 s to connect; the whole exchange, closing included, ends within FERRULE_SMTP_TIMEOUT
// seconds (default 30): after a failure the connection is shut down before libcurl closes it, so its
// QUIT waits for no answer; a server that sends nothing for 10 s is given up. Certificates are checked against the system's trust store and the
// file named by FERRULE_SMTP_CA_FILE.
//
// A value that would leave its field (an address or server name holding CR, LF, NUL or another control
// character) is refused before anything is sent. Each recipient the server refuses is named in the
// outcome; the mail still goes to every recipient it accepts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SmtpMail
{
    enum class Tls
    {
        None,          // never STARTTLS
        Opportunistic, // STARTTLS whenever the server offers it
        Required,      // STARTTLS, or fail
        Implicit,      // TLS from the first byte (smtps)
    };
    enum class Login
    {
        None,
        Basic, // AUTH LOGIN, PLAIN where LOGIN is not offered
        Ntlm,  // AUTH NTLM
        Any,   // the strongest the server offers
    };
    std::string server;
    std::string port = "25";
    Tls tls = Tls::None;
    Login login = Login::None;
    // A basic login over a connection without TLS: the password itself would cross the network. Only
    // when this is set (SmtpPlainLoginAllowed()) does it go ahead; otherwise STARTTLS is required for it.
    // With Login::Any and Tls::Opportunistic, a server without STARTTLS gets only an NTLM login.
    bool allowPlainLogin = false;
    std::string user;
    std::string password;
    std::string from;                    // the envelope sender's address; empty: "<>"
    std::vector<std::string> recipients; // addresses, with or without angle brackets
    std::string message;                 // the whole message, CR LF line ends
};

struct SmtpOutcome
{
    enum Status
    {
        Sent,              // every recipient, or those not listed in refused, got the mail
        StartFailed,       // the transfer library could not start
        LibraryMissing,    // the transfer library could not be opened (error names it); nothing sent
        InvalidValue,      // an address or the server name would leave its field; nothing sent
        NotResolved,       // the server's name did not resolve
        NotReached,        // no connection
        LoginDenied,       // the server refused the login
        PlainLoginRefused, // a basic login without TLS was not allowed; nothing sent
        CertificateFailed, // the server's certificate was not accepted
        TlsFailed,         // TLS could not be set up (no STARTTLS where it is required, a handshake failure)
        TimedOut,
        RecipientsRefused, // the server refused every recipient
        Failed,            // anything else (TLS, a refused sender, a broken connection)
    };
    Status status = Failed;
    std::string error;                // the transfer library's words
    long lastReply = 0;               // the server's last reply code
    std::vector<std::string> refused; // recipients the server refused
    std::string mechanism;            // the AUTH mechanism used, "" without a login
    bool tls = false;                 // whether the exchange ran inside TLS
    bool noStartTls = false;          // TLS was required and the server offered no STARTTLS
};

// Whether FERRULE_SMTP_ALLOW_PLAIN_LOGIN=1 allows a basic login over a connection without TLS.
bool SmtpPlainLoginAllowed();
SmtpOutcome SmtpSend(const SmtpMail& mail);

// ---- The message text

// A value holds no CR, LF, NUL or other control character (so it cannot leave its field).
bool SmtpValueIsClean(std::string_view text);
// A list of addresses separated by "," or ";", each trimmed; empty entries dropped.
std::vector<std::string> SmtpAddressList(std::string_view list);
// An address as the envelope takes it: "<address>".
std::string SmtpBracketed(const std::string& address);
// A header value: as it is when it is printable ASCII, else one RFC 2047 encoded word (UTF-8, Base64),
// so no character of it can end the header.
std::string SmtpHeaderText(std::string_view utf8);
// "Date:" in RFC 5322 form, local time.
std::string SmtpDateHeader();
// "<random.time@host>"; the randomness is seeded once per process.
std::string SmtpMessageId();
// The header block and body of a text/plain mail; every header value given is already clean or encoded.
// base64Body: the body, Base64 already, wrapped here at 76 characters.
std::string SmtpTextMessage(const std::vector<std::pair<std::string, std::string>>& headers,
                            const std::string& mediaType, const std::string& charset, const std::string& base64Body);
// The mail library's message: Date, From (when there is one), To, Subject and a Message-ID of its own,
// then the body (Base64 of UTF-8 text) as text/plain; charset=utf-8.
std::string SmtpPlainMessage(const std::string& from, const std::string& to, const std::string& subject,
                             const std::string& bodyBase64);

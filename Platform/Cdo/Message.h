// A CDO-style message object: a configuration whose fields are named by the configuration schema
// (a namespace followed by a short name; only the short name after the last "/" or ":" counts), the
// message's properties, its body part, and Send, which speaks SMTP through libcurl.
//
// Fields: smtpserver (text), smtpserverport (number), sendemailaddress (text), smtpauthenticate
// (0 anonymous, 1 basic: AUTH LOGIN, or PLAIN where LOGIN is not offered, with sendusername and
// sendpassword, 2 NTLM: AUTH NTLM with the calling thread's network credentials from an impersonated
// logon), sendusername, sendpassword, smtpusessl (non-zero: STARTTLS required; zero: STARTTLS whenever
// the server offers it), sendusing (2: the network's SMTP port; others are refused). A basic login sends
// the password itself, so without STARTTLS it is refused (ERROR_ACCESS_DENIED, nothing sent) unless
// FERRULE_SMTP_ALLOW_PLAIN_LOGIN=1 allows it.
// Another field name is not found (CDO_E_FIELD_NOT_FOUND). The message's To may list several
// recipients separated by "," or ";". Time-outs and the extra CA file follow the mail library:
// FERRULE_SMTP_TIMEOUT (seconds, default 30) and FERRULE_SMTP_CA_FILE.
//
// Send's failures: the server not found HRESULT_FROM_WIN32(11001), not reached (10061), the login
// refused (ERROR_LOGON_FAILURE), a time-out (ERROR_TIMEOUT), an address or server name holding a control
// character E_INVALIDARG (nothing sent), recipients the server refused E_FAIL (the others got the mail),
// libcurl that cannot be opened HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), anything else E_FAIL;
// LastError() keeps the transfer library's text (or the loader's, naming the library).
#pragma once

#include "Platform/Cdo/Smtp.h"
#include "Platform/Com/OleAuto.h"

#include <map>
#include <memory>
#include <string>

#define CDO_E_FIELD_NOT_FOUND ((HRESULT)0x800A0CC1L)

class CdoField
{
public:
    CdoField() { VariantInit(&mValue); }
    ~CdoField() { VariantClear(&mValue); }
    CdoField(const CdoField&) = delete;
    CdoField& operator=(const CdoField&) = delete;
    HRESULT put_Value(const VARIANT& value) { return VariantCopy(&mValue, &value); }
    const VARIANT& Value() const { return mValue; }

private:
    VARIANT mValue;
};

class CdoFields
{
public:
    CdoFields();
    // The field of that name, owned by the collection.
    HRESULT get_Item(const std::u16string& name, CdoField** field);
    // Takes the values assigned since the last update.
    HRESULT Update();
    // The value of a short name as text or number, as the last Update took it.
    std::u16string Text(const char16_t* shortName) const;
    LONG Number(const char16_t* shortName) const;

private:
    std::map<std::u16string, std::unique_ptr<CdoField>> mFields;
    std::map<std::u16string, std::u16string> mUpdated;
};

class CdoConfiguration
{
public:
    HRESULT get_Fields(CdoFields** fields);

private:
    CdoFields mFields;
};

class CdoBodyPart
{
public:
    HRESULT put_ContentMediaType(const std::u16string& type);
    HRESULT put_Charset(const std::u16string& charset);
    const std::u16string& ContentMediaType() const { return mType; }
    const std::u16string& Charset() const { return mCharset; }

private:
    std::u16string mType = u"text/plain";
    std::u16string mCharset = u"utf-8";
};

// What the last Send asked the transfer library for (for diagnostics and tests).
struct CdoLogin
{
    std::string mechanism; // "", "PLAIN LOGIN" or "NTLM"
    std::string user;      // as given to the server ("DOMAIN\\name" for NTLM)
};

class CdoMessage
{
public:
    // The configuration shared with the message (get gives it, put hands it back).
    HRESULT get_Configuration(CdoConfiguration** configuration);
    HRESULT put_Configuration(CdoConfiguration* configuration);
    HRESULT put_To(const std::u16string& to);
    HRESULT put_From(const std::u16string& from);
    HRESULT put_Sender(const std::u16string& sender);
    HRESULT put_Subject(const std::u16string& subject);
    HRESULT put_TextBody(const std::u16string& body);
    HRESULT get_BodyPart(CdoBodyPart** part);
    HRESULT Send();
    // What Send would send (the exchange's settings and the message), without sending it.
    HRESULT Prepare(SmtpMail& mail);
    // Sends this message text (headers and body) in place of one composed from the fields: a message
    // sent again as it was first composed.
    void UseMessage(std::string message) { mPrepared = std::move(message); }
    const CdoLogin& LastLogin() const { return mLogin; }
    const std::string& LastError() const { return mLastError; }
    // What the last Send's exchange showed (refused recipients, the login used, TLS).
    const SmtpOutcome& LastOutcome() const { return mOutcome; }

private:
    std::string mLastError;
    std::string mPrepared;
    CdoConfiguration mConfiguration;
    CdoBodyPart mBodyPart;
    std::u16string mTo, mFrom, mSender, mSubject, mBody;
    CdoLogin mLogin;
    SmtpOutcome mOutcome;
};

// A new message object (the message class's instance).
HRESULT CreateCdoMessage(std::unique_ptr<CdoMessage>& message);

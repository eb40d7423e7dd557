#include "Platform/Cdo/Message.h"
#include "Platform/Cdo/Smtp.h"
#include "Platform/Win32/Base64.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Utf.h"


#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace
{
const char16_t* const kKnownFields[] = {u"smtpserver",   u"smtpserverport", u"sendemailaddress", u"smtpauthenticate",
                                        u"sendusername", u"sendpassword",   u"smtpusessl",       u"sendusing"};

std::u16string ShortName(const std::u16string& name)
{
    const size_t cut = name.find_last_of(u"/:");
    std::u16string s = cut == std::u16string::npos ? name : name.substr(cut + 1);
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

HRESULT SendFailure(SmtpOutcome::Status status)
{
    switch (status)
    {
    case SmtpOutcome::Sent: return S_OK;
    case SmtpOutcome::InvalidValue: return E_INVALIDARG;
    case SmtpOutcome::StartFailed: return E_OUTOFMEMORY;
    case SmtpOutcome::LibraryMissing: return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    case SmtpOutcome::NotResolved: return HRESULT_FROM_WIN32(11001);
    case SmtpOutcome::NotReached: return HRESULT_FROM_WIN32(10061);
    case SmtpOutcome::LoginDenied: return HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE);
    case SmtpOutcome::PlainLoginRefused: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case SmtpOutcome::TimedOut: return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    default: return E_FAIL;
    }
}
} // namespace

CdoFields::CdoFields()
{
    for (const char16_t* name : kKnownFields)
        mFields[name] = std::make_unique<CdoField>();
}

HRESULT CdoFields::get_Item(const std::u16string& name, CdoField** field)
{
    if (field == nullptr)
        return E_POINTER;
    *field = nullptr;
    auto it = mFields.find(ShortName(name));
    if (it == mFields.end())
        return CDO_E_FIELD_NOT_FOUND;
    *field = it->second.get();
    return S_OK;
}

HRESULT CdoFields::Update()
{
    for (const auto& [name, field] : mFields)
    {
        VARIANT text;
        VariantInit(&text);
        if (field->Value().vt == VT_EMPTY)
            mUpdated.erase(name);
        else if (SUCCEEDED(VariantChangeType(&text, &field->Value(), 0, VT_BSTR)))
            mUpdated[name] = std::u16string(text.bstrVal, SysStringLen(text.bstrVal));
        else
            return DISP_E_TYPEMISMATCH;
        VariantClear(&text);
    }
    return S_OK;
}

std::u16string CdoFields::Text(const char16_t* shortName) const
{
    auto it = mUpdated.find(shortName);
    return it == mUpdated.end() ? std::u16string() : it->second;
}

LONG CdoFields::Number(const char16_t* shortName) const
{
    return std::strtol(Utf16ToUtf8(Text(shortName)).c_str(), nullptr, 10);
}

HRESULT CdoConfiguration::get_Fields(CdoFields** fields)
{
    if (fields == nullptr)
        return E_POINTER;
    *fields = &mFields;
    return S_OK;
}

HRESULT CdoBodyPart::put_ContentMediaType(const std::u16string& type)
{
    mType = type;
    return S_OK;
}

HRESULT CdoBodyPart::put_Charset(const std::u16string& charset)
{
    mCharset = charset;
    return S_OK;
}

HRESULT CdoMessage::get_Configuration(CdoConfiguration** configuration)
{
    if (configuration == nullptr)
        return E_POINTER;
    *configuration = &mConfiguration;
    return S_OK;
}

HRESULT CdoMessage::put_Configuration(CdoConfiguration* configuration)
{
    return configuration == &mConfiguration ? S_OK : E_INVALIDARG;
}

HRESULT CdoMessage::put_To(const std::u16string& to)
{
    mTo = to;
    return S_OK;
}

HRESULT CdoMessage::put_From(const std::u16string& from)
{
    mFrom = from;
    return S_OK;
}

HRESULT CdoMessage::put_Sender(const std::u16string& sender)
{
    mSender = sender;
    return S_OK;
}

HRESULT CdoMessage::put_Subject(const std::u16string& subject)
{
    mSubject = subject;
    return S_OK;
}

HRESULT CdoMessage::put_TextBody(const std::u16string& body)
{
    mBody = body;
    return S_OK;
}

HRESULT CdoMessage::get_BodyPart(CdoBodyPart** part)
{
    if (part == nullptr)
        return E_POINTER;
    *part = &mBodyPart;
    return S_OK;
}

HRESULT CdoMessage::Send()
{
    SmtpMail mail;
    const HRESULT hr = Prepare(mail);
    if (FAILED(hr))
        return hr;
    mOutcome = SmtpSend(mail);
    mLastError = mOutcome.error;
    if (mOutcome.status == SmtpOutcome::Sent && !mOutcome.refused.empty())
        return E_FAIL; // sent to the others; the refused recipients are the failure
    return SendFailure(mOutcome.status);
}

HRESULT CdoMessage::Prepare(SmtpMail& mail)
{
    CdoFields* fields = nullptr;
    mConfiguration.get_Fields(&fields);
    if (fields->Number(u"sendusing") != 2)
        return E_INVALIDARG;
    mail.server = Utf16ToUtf8(fields->Text(u"smtpserver"));
    mail.port = std::to_string(fields->Text(u"smtpserverport").empty() ? 25 : fields->Number(u"smtpserverport"));
    for (const std::string& r : SmtpAddressList(Utf16ToUtf8(mTo)))
        mail.recipients.push_back(r);
    mOutcome = SmtpOutcome();
    if (mail.server.empty() || mail.recipients.empty())
        return E_INVALIDARG;
    mail.from = Utf16ToUtf8(fields->Text(u"sendemailaddress").empty() ? mFrom : fields->Text(u"sendemailaddress"));

    // The message: headers, then the text body as Base64 in its character set; or the one given.
    std::vector<std::pair<std::string, std::string>> headers = {{"Date", SmtpDateHeader()}};
    if (!mPrepared.empty())
        headers.clear();
    if (!mFrom.empty())
        headers.emplace_back("From", SmtpHeaderText(Utf16ToUtf8(mFrom)));
    if (!mSender.empty() && mSender != mFrom)
        headers.emplace_back("Sender", SmtpHeaderText(Utf16ToUtf8(mSender)));
    headers.emplace_back("To", SmtpHeaderText(Utf16ToUtf8(mTo)));
    headers.emplace_back("Subject", SmtpHeaderText(Utf16ToUtf8(mSubject)));
    headers.emplace_back("Message-ID", SmtpMessageId());
    mail.message = !mPrepared.empty() ? mPrepared
                                      : SmtpTextMessage(headers, Utf16ToUtf8(mBodyPart.ContentMediaType()),
                                                        Utf16ToUtf8(mBodyPart.Charset()), Base64Encode(Utf16ToUtf8(mBody)));

    // STARTTLS whenever the server offers it, required when smtpusessl is set.
    mail.tls = fields->Number(u"smtpusessl") != 0 ? SmtpMail::Tls::Required : SmtpMail::Tls::Opportunistic;
    mail.allowPlainLogin = SmtpPlainLoginAllowed();
    // Authentication: basic with the configured account, NTLM with the thread's logon.
    mLogin = CdoLogin();
    const LONG authenticate = fields->Number(u"smtpauthenticate");
    NetworkCredentials credentials;
    if (authenticate == 1)
    {
        mLogin.mechanism = "PLAIN LOGIN";
        mail.login = SmtpMail::Login::Basic;
        mail.user = Utf16ToUtf8(fields->Text(u"sendusername"));
        mail.password = Utf16ToUtf8(fields->Text(u"sendpassword"));
    }
    else if (authenticate == 2 && ThreadNetworkCredentials(credentials) && !credentials.user.empty())
    {
        mLogin.mechanism = "NTLM";
        mail.login = SmtpMail::Login::Ntlm;
        mail.user = Utf16ToUtf8(credentials.domain.empty() ? credentials.user : credentials.domain + u"\\" + credentials.user);
        mail.password = Utf16ToUtf8(credentials.password);
    }
    mLogin.user = mail.user;
    return S_OK;
}

HRESULT CreateCdoMessage(std::unique_ptr<CdoMessage>& message)
{
    message.reset(new (std::nothrow) CdoMessage());
    return message ? S_OK : E_OUTOFMEMORY;
}

#include "Ferrule/NotifyEmail.h"
#include "Ferrule/OutboxHandler.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Cdo/Message.h"
#include "Platform/Cdo/Smtp.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Utf.h"
#include "Plover/Plover.h"

#include <vector>

CNotifyEmail::CNotifyEmail()
{
    SetName(StringRepository::GetString(IDS_HANDLER_NAME_EMAIL));
}

CNotifyEmail::~CNotifyEmail()
{
    if (mMailLibrary)
        FreeLibrary(mMailLibrary);
}

FERRULE_CLASS_FACTORY(NotifyEmail, CNotifyEmail)

const IID* const* CNotifyEmail::ErrorInfoInterfaces()
{
    static const IID* const iids[] = {&IID_INotifyHandler, &IID_INotifyEmail, &IID_INotifyEmail2,
                                      &IID_INotifyEmail3,  &IID_INotifyEmail4, nullptr};
    return iids;
}

STDMETHODIMP CNotifyEmail::get_Address(BSTR* value)
{
    return CopyOut(mAddress, value);
}

STDMETHODIMP CNotifyEmail::put_Address(BSTR value)
{
    return CopyIn(value, mAddress);
}

STDMETHODIMP CNotifyEmail::get_SMTPServer(BSTR* value)
{
    return CopyOut(mSMTPServer, value);
}

STDMETHODIMP CNotifyEmail::put_SMTPServer(BSTR value)
{
    return CopyIn(value, mSMTPServer);
}

STDMETHODIMP CNotifyEmail::get_ServerPort(UINT* value)
{
    return ValueOut(mServerPort, value);
}

STDMETHODIMP CNotifyEmail::put_ServerPort(UINT value)
{
    mServerPort = (value >= 1 && value <= 65535) ? value : 25;
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_AddressFrom(BSTR* value)
{
    return CopyOut(mAddressFrom, value);
}

STDMETHODIMP CNotifyEmail::put_AddressFrom(BSTR value)
{
    return CopyIn(value, mAddressFrom);
}

STDMETHODIMP CNotifyEmail::get_Anonymous(VARIANT_BOOL* value)
{
    return ValueOut(mAuthentication == SMTP_AUTH_ANONYMOUS ? VARIANT_TRUE : VARIANT_FALSE, value);
}

STDMETHODIMP CNotifyEmail::put_Anonymous(VARIANT_BOOL)
{
    mAuthentication = SMTP_AUTH_ANONYMOUS; // whatever value is passed
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_Authentication(eZD_NOTIFY_SMTP_AUTHENTICATION* value)
{
    return ValueOut(mAuthentication, value);
}

STDMETHODIMP CNotifyEmail::put_Authentication(eZD_NOTIFY_SMTP_AUTHENTICATION value)
{
    mAuthentication = value;
    return S_OK;
}

STDMETHODIMP CNotifyEmail::get_User(BSTR* value)
{
    return CopyOut(mUser, value);
}

STDMETHODIMP CNotifyEmail::put_User(BSTR value)
{
    HRESULT hr = CopyIn(value, mUser);
    if (SUCCEEDED(hr))
        hr = SetKeyAccountName(value);
    return hr;
}

HRESULT CNotifyEmail::LoadExtra(IPropertyBag* bag, HRESULT rows)
{
    if (FAILED(rows))
        return rows;
    mRequiresSave = false;
    const HRESULT hr = PasswordLoadStep(bag);
    // Loaded all the same, with an empty store: the problem is left as error information, which the
    // manager warns through the log file, and every notification says it until the password is set again.
    if (SUCCEEDED(hr) && !UnreadablePassword().empty())
        static_cast<void>(ReportHandlerFailure(kPasswordUnreadable, PasswordProblem(__LINE__))); // its text is what counts
    return hr;
}

Result CNotifyEmail::PasswordProblem(int line) const
{
    return HandlerFailure("NotifyEmail", line, "CNotifyEmail::Load", NOTIFY_ERROR_EMAIL_PASSWORD_UNREADABLE,
                          Argument(UnreadablePassword()));
}

HRESULT CNotifyEmail::SaveExtra(IPropertyBag* bag, BOOL clearDirty, HRESULT rows)
{
    if (FAILED(rows))
        return rows;
    if (clearDirty)
        mRequiresSave = false;
    return PasswordSaveStep(bag);
}

STDMETHODIMP CNotifyEmail::get_Encryption(eZD_NOTIFY_ENCRYPTION_TYPE* value)
{
    return ValueOut(mEncryption, value);
}

STDMETHODIMP CNotifyEmail::put_Encryption(eZD_NOTIFY_ENCRYPTION_TYPE value)
{
    mEncryption = value;
    return S_OK;
}

namespace
{
const char16_t* const kCdoNamespace = u"cdo:configuration/";

// The mail library's entry point.
typedef unsigned char (*SendEmailFunction)(const char* server, const char* port, const char* user,
                                           const char* password, const char* from, const char* to,
                                           const char* subject, const char* body, bool secure, bool second);



// The first of the settings that would leave its field on the way to the server (a control character in
// an address), or "" when all are clean.
String UncleanSetting(const std::vector<std::pair<const char16_t*, String>>& settings)
{
    for (const auto& [name, value] : settings)
        if (!SmtpValueIsClean(Utf16ToUtf8(value)))
            return name;
    return String();
}

// The description as the ANSI code page holds it, every line feed made carriage return + line feed.
String DescriptionText(BSTR description)
{
    const String text = ToString(description);
    if (text.empty())
        return text;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                          nullptr);
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &ansi[0], bytes, nullptr, nullptr);
    std::string crlf;
    crlf.reserve(ansi.size() + 16);
    for (char c : ansi)
        c == '\n' ? (crlf += "\r\n", void()) : (crlf += c, void());
    const int units = MultiByteToWideChar(CP_ACP, 0, crlf.data(), static_cast<int>(crlf.size()), nullptr, 0);
    String back(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, crlf.data(), static_cast<int>(crlf.size()), &back[0], units);
    return back;
}

// The code's system text when bit 31 is set ("0x%02X" without one); empty otherwise.
String DetailsText(ULONG code)
{
    if (static_cast<int32_t>(code) >= 0)
        return String();
    const String details = SystemMessageText(code, true);
    return details.empty() ? CodeText(code) : details;
}

// The failure a non-zero result byte of the mail library stands for.
// The failure a send's cause names, so that a person reads what happened, and the hint that fits it;
// nothing for a cause none of these describes.
std::optional<Result> CauseOf(const char* function, int status, const std::string& words, const String& server,
                              ULONG port)
{
    const Argument host(server), at(Utf8ToUtf16(std::to_string(port))), said(Utf8ToUtf16(words));
    Result r;
    switch (status)
    {
    case SmtpOutcome::NotResolved: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_NOT_RESOLVED, host, said); break;
    case SmtpOutcome::NotReached: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_NOT_REACHED, host, at, said); break;
    case SmtpOutcome::TimedOut: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_TIMED_OUT, host, at, said); break;
    case SmtpOutcome::TlsFailed: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_TLS, host, said); break;
    case SmtpOutcome::LoginDenied: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_CURL_LOGIN_DENIED, said); break;
    case SmtpOutcome::CertificateFailed: r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_CERTIFICATE, host); break;
    case SmtpOutcome::Failed:
    case SmtpOutcome::RecipientsRefused: // every one: the server's words say which reply
        if (words.empty())
            return std::nullopt;
        r.Init("NotifyEmail", __LINE__, function, NOTIFY_ERROR_EMAIL_EXCHANGE, host, said);
        break;
    default: return std::nullopt;
    }
    return r;
}

uint32_t LibraryFailure(unsigned char status)
{
    switch (status)
    {
    case 1: return NOTIFY_ERROR_CURL_INITIALIZATION_FAILED;
    case 2: return NOTIFY_ERROR_CURL_RESOLVE_HOST;
    case 3: return NOTIFY_ERROR_CURL_LOGIN_DENIED;
    default: return NOTIFY_ERROR_EMAIL_SEND;
    }
}

} // namespace

std::pair<String, String> SplitAccountName(const String& account)
{
    const size_t at = account.find(u'@');
    if (at != String::npos)
        return {account.substr(0, at), account.substr(at + 1)};
    const size_t backslash = account.find(u'\\');
    if (backslash != String::npos)
        return {account.substr(backslash + 1), account.substr(0, backslash)};
    return {account, String()};
}


std::optional<HRESULT> CNotifyEmail::BeforeFilter()
{
    // The mail library, checked on every call and before the filter test; without its entry point it
    // counts as missing. Once loaded it stays loaded while the handler lives, its entry point with it
    // (loading and looking it up per call costs more than the rest of the notification).
    if (mSendEmail == nullptr)
    {
        if (mMailLibrary == nullptr)
            mMailLibrary = LoadLibraryW(u"Plover.dll");
        mSendEmail = mMailLibrary ? reinterpret_cast<void*>(GetProcAddress(mMailLibrary, "PloverLib_SendEmail")) : nullptr;
    }
    if (mSendEmail == nullptr)
        return ReportHandlerFailure(E_UNEXPECTED, HANDLER_FAILURE("NotifyEmail", "CNotifyEmail::Notify", NOTIFY_ERROR_EMAIL_SEND));
    return std::nullopt;
}

HRESULT CNotifyEmail::Deliver(const Notification& n)
{
    [[maybe_unused]] const auto& [application, type, priority, code, description, source, timeStamp] = n;
    if (SysStringLen(mAddress.Get()) == 0 || SysStringLen(mSMTPServer.Get()) == 0)
        return ReportHandlerFailure(E_UNEXPECTED, HANDLER_FAILURE("NotifyEmail", "CNotifyEmail::Notify", NOTIFY_ERROR_EMAIL_SEND));
    if (!UnreadablePassword().empty())
        return ReportHandlerFailure(kPasswordUnreadable, PasswordProblem(__LINE__));
    // No value may leave its field: a line break in an address would become a command of its own.
    // The CDO transport sends from the application's name when no sender is set.
    std::vector<std::pair<const char16_t*, String>> addresses = {
        {u"Address", ToString(mAddress.Get())}, {u"AddressFrom", ToString(mAddressFrom.Get())}, {u"SMTPServer", ToString(mSMTPServer.Get())}};
    const bool cdoSends = CdoSends();
    if (SysStringLen(mAddressFrom.Get()) == 0 && cdoSends)
        addresses.push_back({u"Application", ToString(application)});
    const String unclean = UncleanSetting(addresses);
    if (!unclean.empty())
        return ReportHandlerFailure(E_INVALIDARG, HANDLER_FAILURE("NotifyEmail", "CNotifyEmail::Notify", NOTIFY_ERROR_EMAIL_ADDRESS_INVALID, Argument(unclean)));
    WCHAR computer[16] = {0};
    DWORD size = 16;
    if (!GetComputerNameW(computer, &size))
        computer[0] = 0;
    const String date = TimeStampText(timeStamp);
    const String typeWord = TypeText(type), priorityWord = PriorityText(priority);
    const String details = DetailsText(code);
    const String text = DescriptionText(description);
    const String body =
        details.empty()
            ? StringRepository::FormatString(IDS_EMAIL_BODY_NODETAILS,
                                             {Argument(date), Argument(typeWord), Argument(priorityWord), Argument(text)})
            : StringRepository::FormatString(IDS_EMAIL_BODY, {Argument(date), Argument(typeWord), Argument(priorityWord),
                                                              Argument(text), Argument(details)});
    const bool failure = type == NOTIFY_TYPE_ERROR || static_cast<int32_t>(code) < 0;
    const String outcome = StringRepository::GetString(failure ? IDS_SUBJEST_TYPE_FAILURE : IDS_SUBJEST_TYPE_SUCCESS);
    const String subject = StringRepository::FormatString(
        IDS_EMAIL_SUBJECT, {Argument(priorityWord), Argument(outcome), Argument(typeWord),
                            Argument(ToString(application)),
                            Argument(String(computer))});
    String password;
    StoredPassword(password);

    HRESULT status = S_OK;
    bool libraryFailed = false;
    if (LibrarySends())
    {
        status = SendThroughLibrary(subject, body, password);
        libraryFailed = FAILED(status);
    }
    if (cdoSends)
    {
        const HRESULT cdo = SendMailUsingAuthentication(application, subject, body);
        if (FAILED(cdo) || !libraryFailed)
            status = cdo;
    }
    return status;
}

bool CNotifyEmail::LibrarySends() const
{
    return mEncryption == ENCRYPTION_TYPE_NONE || mEncryption == ENCRYPTION_TYPE_TLS || mEncryption == ENCRYPTION_TYPE_SSL;
}

bool CNotifyEmail::CdoSends() const
{
    return mAuthentication == SMTP_AUTH_ANONYMOUS || mAuthentication == SMTP_AUTH_BASIC || mAuthentication == SMTP_AUTH_NTLM;
}

std::string CNotifyEmail::Destination() const
{
    return "smtp://" + Utf16ToUtf8(ToView(mSMTPServer.Get())) + ":" + std::to_string(mServerPort);
}

std::optional<Result> CNotifyEmail::LibraryFailureOf(unsigned char result, bool& mayPass) const
{
    mayPass = false;
    const char* const function = "CNotifyEmail::Notify";
    if (result == 0)
        return std::nullopt;
    if (result == plover::kSomeRefused)
    {
        auto refused = reinterpret_cast<PloverRefusedRecipientsFunction>(GetProcAddress(mMailLibrary, "PloverLib_RefusedRecipients"));
        return HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED,
                               Argument(Utf8ToUtf16(refused ? refused() : "")));
    }
    if (result == plover::kPlainLoginRefused)
        return HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_PLAIN_LOGIN, Argument(ToString(mSMTPServer.Get())));
    // The result byte says little; the library's last failure says what happened.
    int smtpStatus = -1;
    long reply = 0;
    const auto lastFailure = reinterpret_cast<PloverLastFailureFunction>(GetProcAddress(mMailLibrary, "PloverLib_LastFailure"));
    const char* words = lastFailure ? lastFailure(&smtpStatus, &reply) : nullptr;
    const std::optional<Result> cause =
        words ? CauseOf(function, smtpStatus, words, ToString(mSMTPServer.Get()), mServerPort) : std::nullopt;
    mayPass = words != nullptr && outbox::SmtpMayPass(smtpStatus, reply);
    return cause ? *cause : HANDLER_FAILURE("NotifyEmail", function, LibraryFailure(result));
}

HRESULT CNotifyEmail::SendThroughLibrary(const String& subject, const String& body, const String& password)
{
    auto utf8 = [](BSTR b) { return Utf16ToUtf8(ToView(b)); };
    const std::string server = utf8(mSMTPServer.Get()), port = std::to_string(mServerPort), user = utf8(mUser.Get()),
                      pass = Utf16ToUtf8(password), from = utf8(mAddressFrom.Get()), to = utf8(mAddress.Get());
    const std::string encodedSubject = "=?utf-8?B?" + Base64Encode(Utf16ToUtf8(subject)) + "?=";
    const std::string encodedBody = Base64Encode(Utf16ToUtf8(body));
    // What the outbox keeps of this mail: the message as the library composes it, and its envelope.
    auto entry = [&] {
        outbox::Entry e;
        e.channel = outbox::kMailLibrary;
        e.handler = Utf16ToUtf8(GuidText(ClassId()));
        e.destination = Destination();
        e.recipient = to;
        e.payload = {{"from", from}, {"to", to}, {"message", SmtpPlainMessage(from, to, encodedSubject, encodedBody)}};
        return e;
    };
    if (mKeeper.On())
        if (const outbox::DownState down = outbox::Down(Destination()); down.down)
            return ReportHandlerFailure(E_UNEXPECTED, mKeeper.KeepUntried(entry(), down, "NotifyEmail", "CNotifyEmail::Notify"));
    unsigned char result = 0;
    try
    {
        result = reinterpret_cast<SendEmailFunction>(mSendEmail)(server.c_str(), port.c_str(), user.c_str(), pass.c_str(),
                                                                 from.c_str(), to.c_str(), encodedSubject.c_str(),
                                                                 encodedBody.c_str(), mEncryption != ENCRYPTION_TYPE_NONE, false);
    }
    catch (...)
    {
        return ReportHandlerFailure(E_UNEXPECTED, HANDLER_FAILURE("NotifyEmail", "CNotifyEmail::Notify", NOTIFY_ERROR_CURL_RESOLVE_HOST));
    }
    // A mail that was not sent is a failure the caller and the log see; the CDO transport still runs.
    bool mayPass = false;
    const std::optional<Result> failure = LibraryFailureOf(result, mayPass);
    if (!failure)
        return S_OK;
    if (mayPass && mKeeper.On())
    {
        outbox::MarkDown(Destination());
        return ReportHandlerFailure(E_UNEXPECTED, mKeeper.Keep(entry(), *failure, "NotifyEmail", "CNotifyEmail::Notify"));
    }
    return ReportHandlerFailure(E_UNEXPECTED, *failure);
}

HRESULT CNotifyEmail::SendMailUsingAuthentication(BSTR application, const String& subject, const String& body)
{
    return SendThroughCdo(application, subject, body, nullptr);
}

HRESULT CNotifyEmail::SendThroughCdo(BSTR application, const String& subject, const String& body, const Resend* again)
{
    const char* const function = "CNotifyEmail::SendMailUsingAuthentication";
    std::unique_ptr<CdoMessage> message;
    HRESULT hr = CreateCdoMessage(message);
    if (FAILED(hr))
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_UNAVAILABLE));
    String password;
    StoredPassword(password);
    auto text = [](BSTR b) { return ToString(b); };
    const String sender = SysStringLen(mAddressFrom.Get()) ? text(mAddressFrom.Get()) : text(application);

    CdoConfiguration* configuration = nullptr;
    CdoFields* fields = nullptr;
    hr = message->get_Configuration(&configuration);
    if (SUCCEEDED(hr))
        hr = configuration->get_Fields(&fields);
    auto set = [&](const char16_t* name, const VARIANT& value) {
        CdoField* field = nullptr;
        if (SUCCEEDED(hr) && FAILED(hr = fields->get_Item(String(kCdoNamespace) + name, &field)))
            return; // a field that cannot be obtained is a configuration failure, not assigned
        if (field)
            field->put_Value(value);
    };
    auto number = [](VARTYPE vt, LONG n) {
        Variant v;
        v->vt = vt;
        if (vt == VT_I2)
            v->iVal = static_cast<SHORT>(n);
        else
            v->lVal = n;
        return v;
    };
    std::vector<std::pair<const char16_t*, Variant>> values;
    values.emplace_back(u"smtpserver", Variant(mSMTPServer.Str()));
    values.emplace_back(u"smtpserverport", number(VT_I4, static_cast<LONG>(mServerPort)));
    values.emplace_back(u"sendemailaddress", Variant(sender));
    values.emplace_back(u"smtpauthenticate",
                        number(VT_I4, mAuthentication == SMTP_AUTH_ANONYMOUS ? 0 : mAuthentication == SMTP_AUTH_BASIC ? 1 : 2));
    if (mAuthentication == SMTP_AUTH_BASIC)
    {
        values.emplace_back(u"sendusername", Variant(mUser.Str()));
        values.emplace_back(u"sendpassword", Variant(password));
    }
    values.emplace_back(u"smtpusessl", number(VT_I2, 0));
    values.emplace_back(u"sendusing", number(VT_I4, 2));
    if (SUCCEEDED(hr))
        for (const auto& [name, value] : values)
            set(name, value.Get());
    if (SUCCEEDED(hr))
        hr = fields->Update();
    if (SUCCEEDED(hr))
        hr = message->put_Configuration(configuration);
    if (FAILED(hr))
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_CONFIG));

    // The message's properties; their results OR-ed.
    HRESULT all = message->put_To(text(mAddress.Get()));
    all |= message->put_From(sender);
    all |= message->put_Sender(sender);
    all |= message->put_Subject(subject);
    CdoBodyPart* part = nullptr;
    const HRESULT partHr = message->get_BodyPart(&part);
    if (FAILED(partHr) || part == nullptr)
        all |= FAILED(partHr) ? partHr : E_NOINTERFACE;
    else
    {
        all |= part->put_ContentMediaType(u"text/plain");
        all |= part->put_Charset(u"utf-8");
    }
    all |= message->put_TextBody(body);
    if (again != nullptr)
    {
        all |= message->put_To(Utf8ToUtf16(again->to));
        message->UseMessage(again->message);
    }
    if (FAILED(all))
        return ReportHandlerFailure(all, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_SEND));
    // The message is composed once: what is sent is what the outbox keeps when the send fails.
    SmtpMail prepared;
    if (again == nullptr && mKeeper.On() && SUCCEEDED(message->Prepare(prepared)))
        message->UseMessage(prepared.message);
    auto entry = [&] {
        outbox::Entry e;
        e.channel = outbox::kMailCdo;
        e.handler = Utf16ToUtf8(GuidText(ClassId()));
        e.destination = Destination();
        e.recipient = Utf16ToUtf8(text(mAddress.Get()));
        e.payload = {{"to", e.recipient}, {"message", prepared.message}};
        return e;
    };
    if (again == nullptr && mKeeper.On() && !prepared.message.empty())
        if (const outbox::DownState down = outbox::Down(Destination()); down.down)
            return ReportHandlerFailure(HRESULT_FROM_WIN32(ERROR_RETRY), mKeeper.KeepUntried(entry(), down, "NotifyEmail", function));

    if (mAuthentication == SMTP_AUTH_NTLM)
    {
        const auto [name, domain] = SplitAccountName(text(mUser.Get()));
        HANDLE token = nullptr;
        if (!LogonUserW(name.c_str(), domain.empty() ? nullptr : domain.c_str(), password.c_str(),
                        LOGON32_LOGON_NEW_CREDENTIALS, LOGON32_PROVIDER_WINNT50, &token))
            hr = HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE);
        else
        {
            if (!ImpersonateLoggedOnUser(token))
                hr = LastErrorHresult();
            else
            {
                hr = message->Send();
                RevertToSelf();
            }
            CloseHandle(token);
        }
    }
    else
        hr = message->Send();
    const CdoLogin& login = message->LastLogin();
    mLastCdoLogin = login.mechanism.empty() ? std::string() : login.mechanism + " " + login.user;
    mLastCdoOutcome = message->LastOutcome();
    const SmtpOutcome& outcome = message->LastOutcome();
    if (outcome.status == SmtpOutcome::LibraryMissing)
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_SEND, Argument(Utf8ToUtf16(outcome.error))));
    if (outcome.status == SmtpOutcome::PlainLoginRefused)
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_PLAIN_LOGIN, Argument(text(mSMTPServer.Get()))));
    if (outcome.status == SmtpOutcome::CertificateFailed)
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_CERTIFICATE, Argument(text(mSMTPServer.Get()))));
    if (!outcome.refused.empty())
    {
        String names;
        for (const std::string& r : outcome.refused)
            names += (names.empty() ? u"" : u", ") + Utf8ToUtf16(r);
        return ReportHandlerFailure(hr, HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_RECIPIENTS_REFUSED, Argument(names)));
    }
    if (FAILED(hr))
    {
        const std::optional<Result> cause = CauseOf(function, outcome.status, outcome.error, text(mSMTPServer.Get()), mServerPort);
        const Result failure = cause ? *cause : HANDLER_FAILURE("NotifyEmail", function, NOTIFY_ERROR_EMAIL_SEND);
        if (again == nullptr && mKeeper.On() && !prepared.message.empty() &&
            outbox::SmtpMayPass(outcome.status, outcome.lastReply))
        {
            outbox::MarkDown(Destination());
            return ReportHandlerFailure(hr, mKeeper.Keep(entry(), failure, "NotifyEmail", function));
        }
        return ReportHandlerFailure(hr, failure);
    }
    return hr;
}

STDMETHODIMP CNotifyEmail::SetOutbox(BSTR policy, BSTR application, ULONG retryMinutes)
{
    mKeeper.Set(ToString(policy), ToString(application), retryMinutes);
    return S_OK;
}

STDMETHODIMP CNotifyEmail::Redeliver(BSTR entryText, OutboxOutcome* outcome, BSTR* failure)
{
    return RedeliverFrame("CNotifyEmail::Redeliver", entryText, Destination(), outcome, failure,
                          [&](const nlohmann::json& entry, const nlohmann::json& payload) -> Redelivered {
        const std::string channel = entry.value("channel", "");
        auto answer = [](OutboxOutcome o, const String& text) { return Redelivered{o, text}; };
        if (SysStringLen(mSMTPServer.Get()) == 0)
            return answer(OUTBOX_WAITING, u"the E-mail handler has no SMTPServer");
        if (!UnreadablePassword().empty())
            return answer(OUTBOX_WAITING, DisplayText(PasswordProblem(__LINE__)));
        String password;
        StoredPassword(password);
        if (channel == outbox::kMailLibrary)
        {
            if (!LibrarySends())
                return answer(OUTBOX_WAITING, u"the mail library's transport is off now (E-mail Encryption)");
            if (BeforeFilter())
                return answer(OUTBOX_WAITING, TakeErrorDescription());
            auto send = reinterpret_cast<PloverSendMessageFunction>(GetProcAddress(mMailLibrary, "PloverLib_SendMessage"));
            if (send == nullptr)
                return answer(OUTBOX_WAITING, u"the mail library cannot send a kept message");
            auto utf8 = [](BSTR b) { return Utf16ToUtf8(ToView(b)); };
            const std::string server = utf8(mSMTPServer.Get()), port = std::to_string(mServerPort), user = utf8(mUser.Get()),
                              pass = Utf16ToUtf8(password), from = payload.value("from", ""), to = payload.value("to", ""),
                              message = payload.value("message", "");
            const unsigned char result = send(server.c_str(), port.c_str(), user.c_str(), pass.c_str(), from.c_str(),
                                              to.c_str(), message.c_str(), mEncryption != ENCRYPTION_TYPE_NONE);
            bool mayPass = false;
            const std::optional<Result> why = LibraryFailureOf(result, mayPass);
            // Some recipients refused among accepted ones: delivered, and the refusal stays reported.
            if (!why || result == plover::kSomeRefused)
                return answer(OUTBOX_DELIVERED, why ? DisplayText(*why) : String());
            return answer(mayPass ? OUTBOX_TRANSIENT : OUTBOX_PERMANENT, DisplayText(*why));
        }
        if (channel == outbox::kMailCdo)
        {
            if (!CdoSends())
                return answer(OUTBOX_WAITING, u"the CDO-style transport is off now (E-mail Authentication)");
            const Resend again{payload.value("to", ""), payload.value("message", "")};
            Bstr application(Utf8ToUtf16(entry.value("application", "")));
            CallFailures call; // its failure comes back here, not as error information
            const HRESULT hr = SendThroughCdo(application.Get(), String(), String(), &again);
            if (SUCCEEDED(hr))
                return answer(OUTBOX_DELIVERED, String());
            call.Publish();
            const String why = TakeErrorDescription();
            Result parsed;
            const String shown = ParseSerializedResult(why, parsed) ? DisplayText(parsed) : why;
            const bool mayPass = outbox::SmtpMayPass(mLastCdoOutcome.status, mLastCdoOutcome.lastReply);
            return answer(mayPass ? OUTBOX_TRANSIENT : OUTBOX_PERMANENT, shown);
        }
        return answer(OUTBOX_PERMANENT, u"not an entry of the e-mail handler: " + Utf8ToUtf16(channel));
    });
}

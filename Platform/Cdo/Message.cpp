#include "Platform/Cdo/Message.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Utf.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <unistd.h>
#include <vector>

namespace
{
const char16_t* const kKnownFields[] = {u"smtpserver",   u"smtpserverport", u"sendemailaddress", u"smtpauthenticate",
                                        u"sendusername", u"sendpassword",   u"smtpusessl",       u"sendusing"};
const long kConnectSeconds = 10;
const long kStallSeconds = 10;

std::u16string ShortName(const std::u16string& name)
{
    const size_t cut = name.find_last_of(u"/:");
    std::u16string s = cut == std::u16string::npos ? name : name.substr(cut + 1);
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

std::string Base64(const std::string& bytes)
{
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        const uint32_t n = (static_cast<uint8_t>(bytes[i]) << 16) |
                           (i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < bytes.size() ? static_cast<uint8_t>(bytes[i + 2]) : 0);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

// A header value: plain when ASCII, else one RFC 2047 encoded word.
std::string HeaderText(const std::u16string& text)
{
    const std::string utf8 = Utf16ToUtf8(text);
    for (unsigned char c : utf8)
        if (c >= 0x80 || c < 0x20)
            return "=?utf-8?B?" + Base64(utf8) + "?=";
    return utf8;
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
        {
            one = one.substr(first, last - first + 1);
            out.push_back(one.front() == '<' ? one : "<" + one + ">");
        }
        start = end + 1;
    }
    return out;
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

HRESULT SendFailure(CURLcode code)
{
    switch (code)
    {
    case CURLE_COULDNT_RESOLVE_HOST: return HRESULT_FROM_WIN32(11001);
    case CURLE_COULDNT_CONNECT: return HRESULT_FROM_WIN32(10061);
    case CURLE_LOGIN_DENIED: return HRESULT_FROM_WIN32(ERROR_LOGON_FAILURE);
    case CURLE_OPERATION_TIMEDOUT: return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
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
    CdoFields* fields = nullptr;
    mConfiguration.get_Fields(&fields);
    if (fields->Number(u"sendusing") != 2)
        return E_INVALIDARG;
    const std::string server = Utf16ToUtf8(fields->Text(u"smtpserver"));
    const LONG port = fields->Text(u"smtpserverport").empty() ? 25 : fields->Number(u"smtpserverport");
    std::vector<std::string> recipients = Recipients(Utf16ToUtf8(mTo));
    if (server.empty() || recipients.empty())
        return E_INVALIDARG;

    // The message: headers, then the text body as Base64 in its character set.
    std::string message = "Date: " + DateHeader() + "\r\n";
    if (!mFrom.empty())
        message += "From: " + HeaderText(mFrom) + "\r\n";
    if (!mSender.empty() && mSender != mFrom)
        message += "Sender: " + HeaderText(mSender) + "\r\n";
    message += "To: " + HeaderText(mTo) + "\r\n";
    message += "Subject: " + HeaderText(mSubject) + "\r\n";
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    std::random_device random;
    char id[48];
    std::snprintf(id, sizeof id, "%08x%08x", random(), random());
    message += std::string("Message-ID: <") + id + "@" + host + ">\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += "Content-Type: " + Utf16ToUtf8(mBodyPart.ContentMediaType()) + "; charset=" +
               Utf16ToUtf8(mBodyPart.Charset()) + "\r\n";
    message += "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string body = Base64(Utf16ToUtf8(mBody));
    for (size_t i = 0; i < body.size(); i += 76)
        message += body.substr(i, 76) + "\r\n";

    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = global == CURLE_OK ? curl_easy_init() : nullptr;
    if (curl == nullptr)
        return E_OUTOFMEMORY;
    const std::string url = "smtp://" + server + ":" + std::to_string(port);
    const std::string from = Utf16ToUtf8(fields->Text(u"sendemailaddress").empty() ? mFrom : fields->Text(u"sendemailaddress"));
    const std::string reversePath = from.empty() ? "<>" : (from.front() == '<' ? from : "<" + from + ">");
    curl_slist* rcpt = nullptr;
    for (const std::string& r : recipients)
        rcpt = curl_slist_append(rcpt, r.c_str());
    Upload upload{message, 0};
    long total = 30;
    if (const char* configured = std::getenv("FERRULE_SMTP_TIMEOUT"))
        total = std::max(1L, std::strtol(configured, nullptr, 10));
    char error[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, reversePath.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, total);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, std::min(kStallSeconds, total));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    if (fields->Number(u"smtpusessl") != 0)
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (const char* ca = std::getenv("FERRULE_SMTP_CA_FILE"); ca && *ca)
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    // Authentication: basic with the configured account, NTLM with the thread's logon.
    mLogin = CdoLogin();
    std::string user, password;
    const LONG authenticate = fields->Number(u"smtpauthenticate");
    NetworkCredentials credentials;
    if (authenticate == 1)
    {
        mLogin.mechanism = "PLAIN LOGIN";
        user = Utf16ToUtf8(fields->Text(u"sendusername"));
        password = Utf16ToUtf8(fields->Text(u"sendpassword"));
    }
    else if (authenticate == 2 && ThreadNetworkCredentials(credentials) && !credentials.user.empty())
    {
        mLogin.mechanism = "NTLM";
        user = Utf16ToUtf8(credentials.domain.empty() ? credentials.user : credentials.domain + u"\\" + credentials.user);
        password = Utf16ToUtf8(credentials.password);
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=NTLM");
    }
    mLogin.user = user;
    if (!mLogin.mechanism.empty())
    {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    const CURLcode code = curl_easy_perform(curl);
    mLastError = code == CURLE_OK ? "" : (error[0] ? error : curl_easy_strerror(code));
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    return code == CURLE_OK ? S_OK : SendFailure(code);
}

HRESULT CreateCdoMessage(std::unique_ptr<CdoMessage>& message)
{
    message.reset(new (std::nothrow) CdoMessage());
    return message ? S_OK : E_OUTOFMEMORY;
}

// The e-mail handler and both transports against an SMTP server (aiosmtpd) that the test starts on
// loopback, with a certificate it makes itself for STARTTLS and TLS.
#include "Base/Dev/Global/Encoders.h"
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyEmail.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Logon.h"
#include "Platform/Win32/Utf.h"
#include "Certificate.h"
#include "PeerProcess.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
// One message as the server saved it.
struct Mail
{
    std::string json;
    std::string Field(const std::string& name) const
    {
        const std::regex re("\"" + name + "\": (\"(?:[^\"\\\\]|\\\\.)*\"|\\[[^\\]]*\\]|null|true|false)");
        std::smatch m;
        return std::regex_search(json, m, re) ? m[1].str() : "";
    }
    // The message data with JSON escapes undone.
    std::string Data() const
    {
        std::string raw = Field("data"), out;
        for (size_t i = 1; i + 1 < raw.size(); ++i)
        {
            if (raw[i] != '\\')
            {
                out += raw[i];
                continue;
            }
            const char c = raw[++i];
            if (c == 'r')
                out += '\r';
            else if (c == 'n')
                out += '\n';
            else if (c == 't')
                out += '\t';
            else if (c == 'u')
            {
                out += Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(std::stoi(raw.substr(i + 1, 4), nullptr, 16))));
                i += 4;
            }
            else
                out += c;
        }
        return out;
    }
    std::string Header(const std::string& name) const
    {
        const std::string data = "\r\n" + Data();
        const size_t at = data.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        const size_t start = at + name.size() + 4;
        return data.substr(start, data.find("\r\n", start) - start);
    }
    std::string Body() const
    {
        const std::string data = Data();
        const size_t at = data.find("\r\n\r\n");
        std::string b64;
        for (char c : data.substr(at + 4))
            if (c != '\r' && c != '\n')
                b64 += c;
        std::string bytes;
        Base64Decode(b64, bytes);
        return bytes;
    }
    // The subject with its one encoded word decoded.
    std::string Subject() const
    {
        const std::string s = Header("Subject");
        if (s.rfind("=?utf-8?B?", 0) != 0)
            return s;
        std::string bytes;
        Base64Decode(s.substr(10, s.size() - 12), bytes);
        return bytes;
    }
};

class SmtpServer
{
public:
    explicit SmtpServer(const std::string& folder, std::vector<std::string> options = {})
        : mFolder(folder), mPeer(Arguments(folder, options), folder + "/ready"), mPort(std::atoi(mPeer.Ready().c_str()))
    {
    }
    int Port() const { return mPort; }
    std::vector<Mail> Mails(size_t atLeast = 0) const
    {
        std::vector<Mail> mails;
        for (int i = 0; i < 100; ++i)
        {
            mails.clear();
            for (int n = 1;; ++n)
            {
                const std::string json = ReadFile(mFolder + "/mail/" + std::to_string(n) + ".json");
                if (json.empty())
                    break;
                mails.push_back(Mail{json});
            }
            if (mails.size() >= atLeast)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return mails;
    }

private:
    static std::vector<std::string> Arguments(const std::string& folder, const std::vector<std::string>& options)
    {
        mkdir((folder + "/mail").c_str(), 0755);
        std::vector<std::string> args = {"/usr/bin/python3", SMTP_PEER, "--ready", folder + "/ready", "--out",
                                         folder + "/mail"};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    std::string mFolder;
    PeerProcess mPeer;
    int mPort = 0;
};

std::string ErrorDescription()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK)
        return "(none)";
    Bstr d;
    info->GetDescription(d.Out());
    info.Reset();
    const std::string text = Utf16ToUtf8(std::u16string(d ? d : u"", SysStringLen(d)));
    return text;
}

std::string Computer()
{
    WCHAR name[16] = {0};
    DWORD size = 16;
    GetComputerNameW(name, &size);
    return Utf16ToUtf8(name);
}

class Email : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        setenv("FERRULE_SMTP_TIMEOUT", "5", 1);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1); // the password's random-number values
        ASSERT_EQ(ComCreator<CNotifyEmail>::CreateInstance(nullptr, IID_INotifyEmail4, mEmail.VoidOut()),
                  S_OK);
        mEmail->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mEmail->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    }
    void TearDown() override { mEmail.Reset(); }

    void Set(const std::u16string& address, const std::u16string& server, UINT port, int encryption, int authentication)
    {
        Bstr a(address), s(server), f(u"backup@example.org");
        mEmail->put_Address(a);
        mEmail->put_SMTPServer(s);
        mEmail->put_AddressFrom(f);
        mEmail->put_ServerPort(port);
        mEmail->put_Encryption(static_cast<eZD_NOTIFY_ENCRYPTION_TYPE>(encryption));
        mEmail->put_Authentication(static_cast<eZD_NOTIFY_SMTP_AUTHENTICATION>(authentication));
    }
    void SetUser(const std::u16string& user)
    {
        Bstr u(user);
        mEmail->put_User(u);
    }
    HRESULT Send(int type, int priority, ULONG code, const std::u16string& description,
                 const std::u16string& application = u"Backup")
    {
        Bstr app(application), d(description), s(u"nightly");
        SYSTEMTIME st{2026, 12, 3, 9, 23, 52, 30, 0};
        DATE when;
        SystemTimeToVariantTime(&st, &when);
        const HRESULT hr = mEmail->Notify(app, static_cast<eZD_NOTIFY_TYPE>(type),
                                          static_cast<eZD_NOTIFY_PRIORITY>(priority), code, d, s, when);
        return hr;
    }

    TempDir mDir;
    ComPtr<INotifyEmail4> mEmail;
};
} // namespace

TEST_F(Email, TheDefaultsSendThroughBothTransports)
{
    SmtpServer server(mDir.Path());
    Set(u"ops@example.org; oncall@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 2);
    ASSERT_EQ(Send(1, 1, 0x1F, u"Sauvegarde \u00e9chou\u00e9e\nsecond line\r\nthird"), S_OK) << ErrorDescription();
    const std::vector<Mail> mails = server.Mails(2);
    ASSERT_EQ(mails.size(), 2u);
    const std::string subject = "High Priority Failure Notification (Error) from Backup on " + Computer();
    const std::string body = "Date: 12/09/2026 23:52:30\r\nNotification Type: Error\r\nPriority: High\r\n"
                             "Description: Sauvegarde \xC3\xA9" "chou\xC3\xA9" "e\r\nsecond line\r\r\nthird\r\n";
    for (const Mail& m : mails)
    {
        EXPECT_EQ(m.Field("rcpt_tos"), "[\"ops@example.org\", \"oncall@example.org\"]");
        EXPECT_EQ(m.Field("mail_from"), "\"backup@example.org\"");
        EXPECT_EQ(m.Subject(), subject);
        EXPECT_EQ(m.Header("Content-Type"), "text/plain; charset=utf-8");
        EXPECT_EQ(m.Header("MIME-Version"), "1.0");
        EXPECT_FALSE(m.Header("Message-ID").empty());
        EXPECT_FALSE(m.Header("Date").empty());
        EXPECT_EQ(m.Body(), body) << m.json;
    }
}

TEST_F(Email, BodiesSubjectsAndWhichTransportRuns)
{
    SmtpServer server(mDir.Path());
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 9999); // the library only
    ASSERT_EQ(Send(4, 2, 0x8007000E, u"x"), S_OK);
    ASSERT_EQ(Send(8, 8, 5, u"y"), S_OK);
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 0); // CDO only, anonymous
    ASSERT_EQ(Send(2, 4, 5, u"z"), S_OK);
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 9999); // nothing
    ASSERT_EQ(Send(2, 4, 5, u"never"), S_OK);
    const std::vector<Mail> mails = server.Mails(3);
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_EQ(mails[0].Subject(), "Medium Priority Failure Notification (Info) from Backup on " + Computer());
    EXPECT_EQ(mails[0].Body(), "Date: 12/09/2026 23:52:30\r\nNotification Type: Info\r\nPriority: Medium\r\n"
                               "Description: x\r\nDetails: Not enough memory resources are available to complete this "
                               "operation.\r\n\r\n");
    EXPECT_EQ(mails[1].Subject(), "Low Priority Success Notification (Info) from Backup on " + Computer());
    EXPECT_EQ(mails[1].Body().find("Details"), std::string::npos);
    EXPECT_EQ(mails[2].Subject(), "Low Priority Success Notification (Warning) from Backup on " + Computer());
}

TEST_F(Email, TlsAndLogins)
{
    // A certificate for 127.0.0.1, made here, trusted through FERRULE_SMTP_CA_FILE.
    const std::string cert = mDir.Path() + "/cert.pem", key = mDir.Path() + "/key.pem";
    ASSERT_TRUE(MakeCertificate(cert, key));
    setenv("FERRULE_SMTP_CA_FILE", cert.c_str(), 1);
    {
        SmtpServer server(mDir.Path(), {"--cert", cert, "--key", key, "--user", "ann", "--password", "right"});
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 1, 9999); // STARTTLS
        SetUser(u"ann");
        // No stored password yet: the login is refused.
        EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
        EXPECT_EQ(ErrorDescription().rfind("Result (0xece30073 ", 0), 0u) << ErrorDescription();
        // A wrong password, then the right one.
        Bstr wrong(u"wrong"), right(u"right");
        mEmail->put_Password(wrong);
        EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
        EXPECT_EQ(ErrorDescription().rfind("Result (0xece30073 ", 0), 0u) << ErrorDescription();
        mEmail->put_Password(right);
        ASSERT_EQ(Send(1, 1, 0, u"over TLS"), S_OK) << ErrorDescription();
        const std::vector<Mail> mails = server.Mails(1);
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_EQ(mails[0].Field("tls"), "true");
        EXPECT_EQ(mails[0].Field("user"), "\"ann\"");
    }
    {
        // Port 465: TLS from the first byte.
        const std::string folder = mDir.Path() + "/implicit";
        mkdir(folder.c_str(), 0755);
        SmtpServer server(folder, {"--cert", cert, "--key", key, "--implicit-tls", "--port", "465"});
        if (server.Port() == 465)
        {
            Set(u"ops@example.org", u"127.0.0.1", 465, 2, 9999);
            SetUser(u""); // this server offers no login
            ASSERT_EQ(Send(1, 1, 0, u"implicit"), S_OK) << ErrorDescription();
            const std::vector<Mail> mails = server.Mails(1);
            ASSERT_EQ(mails.size(), 1u);
            EXPECT_EQ(mails[0].Field("tls"), "true");
        }
    }
    unsetenv("FERRULE_SMTP_CA_FILE");
    {
        // Without trusting the certificate, TLS fails and is reported.
        SmtpServer server(mDir.Path(), {"--cert", cert, "--key", key});
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 2, 9999);
        EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
        const std::string why = ErrorDescription();
        EXPECT_EQ(why.rfind("Result (0xece30077 30 NOTIFY_ERROR_EMAIL_CERTIFICATE Args [1] Arg (0xbab000d 9 127.0.0.1)", 0), 0u) << why;
    }
}

TEST_F(Email, BasicMeansLoginAndThePasswordCrossesOnlyInsideTls)
{
    const std::string cert = mDir.Path() + "/cert.pem", key = mDir.Path() + "/key.pem";
    ASSERT_TRUE(MakeCertificate(cert, key));
    const std::vector<std::string> login = {"--user", "ann", "--password", "right", "--ntlm"};
    SetUser(u"ann");
    Bstr right(u"right");
    mEmail->put_Password(right);
    {
        // The server offers STARTTLS and NTLM besides LOGIN and PLAIN: the CDO sender upgrades and logs in
        // with LOGIN.
        setenv("FERRULE_SMTP_CA_FILE", cert.c_str(), 1);
        std::vector<std::string> options = {"--cert", cert, "--key", key};
        options.insert(options.end(), login.begin(), login.end());
        SmtpServer server(mDir.Path(), options);
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 1); // the CDO sender only
        ASSERT_EQ(Send(1, 1, 0, u"inside TLS"), S_OK) << ErrorDescription();
        const std::vector<Mail> mails = server.Mails(1);
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_EQ(mails[0].Field("tls"), "true");
        EXPECT_EQ(mails[0].Field("mechanism"), "\"LOGIN\"");
        EXPECT_EQ(mails[0].Field("user"), "\"ann\"");
        // A server without LOGIN: PLAIN.
        const std::string folder = mDir.Path() + "/plainonly";
        mkdir(folder.c_str(), 0755);
        options.push_back("--plain-only");
        SmtpServer plainOnly(folder, options);
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(plainOnly.Port()), 9999, 1);
        ASSERT_EQ(Send(1, 1, 0, u"plain inside TLS"), S_OK) << ErrorDescription();
        ASSERT_EQ(plainOnly.Mails(1).size(), 1u);
        EXPECT_EQ(plainOnly.Mails(1)[0].Field("mechanism"), "\"PLAIN\"");
        EXPECT_EQ(plainOnly.Mails(1)[0].Field("tls"), "true");
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 1);
        // A certificate it cannot verify: reported with the way to trust it, nothing sent.
        unsetenv("FERRULE_SMTP_CA_FILE");
        EXPECT_TRUE(FAILED(Send(1, 1, 0, u"untrusted")));
        EXPECT_EQ(ErrorDescription().rfind("Result (0xece30077 ", 0), 0u) << ErrorDescription();
        EXPECT_EQ(server.Mails().size(), 1u);
    }
    {
        // No STARTTLS: a basic login is refused before the password is sent, unless allowed.
        const std::string folder = mDir.Path() + "/plain";
        mkdir(folder.c_str(), 0755);
        SmtpServer server(folder, login);
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 1);
        EXPECT_EQ(Send(1, 1, 0, u"refused"), static_cast<HRESULT>(0x80070005));
        EXPECT_EQ(ErrorDescription().rfind("Result (0xece30074 ", 0), 0u) << ErrorDescription();
        EXPECT_TRUE(server.Mails().empty());
        setenv("FERRULE_SMTP_ALLOW_PLAIN_LOGIN", "1", 1);
        const HRESULT allowed = Send(1, 1, 0, u"allowed");
        unsetenv("FERRULE_SMTP_ALLOW_PLAIN_LOGIN");
        ASSERT_EQ(allowed, S_OK) << ErrorDescription();
        const std::vector<Mail> mails = server.Mails(1);
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_EQ(mails[0].Field("tls"), "false");
        EXPECT_EQ(mails[0].Field("mechanism"), "\"LOGIN\"");
    }
}

TEST_F(Email, TheMailLibraryUpgradesAndSendsNoPasswordInClear)
{
    const std::string cert = mDir.Path() + "/cert.pem", key = mDir.Path() + "/key.pem";
    ASSERT_TRUE(MakeCertificate(cert, key));
    setenv("FERRULE_SMTP_CA_FILE", cert.c_str(), 1);
    const std::vector<std::string> login = {"--user", "ann", "--password", "right"};
    SetUser(u"ann");
    Bstr right(u"right");
    mEmail->put_Password(right);
    {
        // The default transports (Encryption 0, Authentication 2) against a server offering STARTTLS:
        // both copies go inside TLS.
        std::vector<std::string> options = {"--cert", cert, "--key", key};
        options.insert(options.end(), login.begin(), login.end());
        SmtpServer server(mDir.Path(), options);
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 2);
        SetUser(u""); // the CDO-style copy's NTLM login is this server's to refuse; see below for logins
        ASSERT_EQ(Send(1, 1, 0, u"both inside TLS"), S_OK) << ErrorDescription();
        SetUser(u"ann");
        const std::vector<Mail> mails = server.Mails(2);
        ASSERT_EQ(mails.size(), 2u);
        for (const Mail& m : mails)
            EXPECT_EQ(m.Field("tls"), "true") << m.json;
        // The mail library alone, with a login: inside TLS too.
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 9999);
        ASSERT_EQ(Send(1, 1, 0, u"library inside TLS"), S_OK) << ErrorDescription();
        ASSERT_EQ(server.Mails(3).size(), 3u);
        EXPECT_EQ(server.Mails(3)[2].Field("tls"), "true");
        EXPECT_EQ(server.Mails(3)[2].Field("user"), "\"ann\"");
    }
    const std::string folder = mDir.Path() + "/clear";
    mkdir(folder.c_str(), 0755);
    SmtpServer clear(folder, login); // no STARTTLS
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(clear.Port()), 0, 9999);
    // No STARTTLS: the library makes no LOGIN or PLAIN login in clear, and says so.
    EXPECT_EQ(Send(1, 1, 0, u"refused"), static_cast<HRESULT>(0x8000FFFF));
    EXPECT_EQ(ErrorDescription().rfind("Result (0xece30074 ", 0), 0u) << ErrorDescription();
    EXPECT_TRUE(clear.Mails().empty());
    // ... unless allowed.
    setenv("FERRULE_SMTP_ALLOW_PLAIN_LOGIN", "1", 1);
    const HRESULT allowed = Send(1, 1, 0, u"allowed");
    unsetenv("FERRULE_SMTP_ALLOW_PLAIN_LOGIN");
    ASSERT_EQ(allowed, S_OK) << ErrorDescription();
    ASSERT_EQ(clear.Mails(1).size(), 1u);
    EXPECT_EQ(clear.Mails(1)[0].Field("tls"), "false");
    // Without a login it goes on in clear, as before.
    SetUser(u"");
    ASSERT_EQ(Send(1, 1, 0, u"no login"), S_OK) << ErrorDescription();
    ASSERT_EQ(clear.Mails(2).size(), 2u);
    unsetenv("FERRULE_SMTP_CA_FILE");
}

TEST_F(Email, AServerThatStallsAfterDataIsLeftWithinTheTimeout)
{
    setenv("FERRULE_SMTP_TIMEOUT", "3", 1);
    SmtpServer server(mDir.Path(), {"--stall-data"});
    const std::pair<int, int> transports[] = {{0, 9999}, {9999, 0}}; // the library, the CDO sender
    for (auto [encryption, authentication] : transports)
    {
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), encryption, authentication);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(FAILED(Send(1, 1, 0, u"x")));
        const auto took = std::chrono::steady_clock::now() - started;
        // The bound, a second of polling after it, and a generous margin.
        EXPECT_LT(took, std::chrono::seconds(3 + 1 + 5)) << encryption;
    }
}

TEST_F(Email, NoValueLeavesItsField)
{
    SmtpServer server(mDir.Path());
    struct Case
    {
        const char16_t* address;
        const char16_t* from;
        const char16_t* application;
        const char* setting;
    };
    const Case cases[] = {
        {u"b@example.org>\r\nRCPT TO:<evil@example.net", u"backup@example.org", u"Backup", "Address"},
        {u"b@example.org\nRCPT TO:<evil@example.net>", u"backup@example.org", u"Backup", "Address"},
        {u"b@example.org", u"a@example.org>\r\nRCPT TO:<evil@example.net", u"Backup", "AddressFrom"},
        {u"b@example.org", u"", u"Backup\r\nRCPT TO:<evil@example.net>", "Application"},
    };
    for (const Case& c : cases)
    {
        Set(c.address, u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 0); // both transports
        Bstr from(c.from);
        mEmail->put_AddressFrom(from);
        EXPECT_EQ(Send(1, 1, 0, u"x", c.application), E_INVALIDARG) << c.setting;
        const std::string description = ErrorDescription();
        EXPECT_EQ(description.rfind("Result (0xece30076 ", 0), 0u) << description;
        EXPECT_NE(description.find(c.setting), std::string::npos) << description;
    }
    EXPECT_TRUE(server.Mails().empty());
}

TEST_F(Email, ARefusedRecipientDoesNotStopTheOthers)
{
    SmtpServer server(mDir.Path(), {"--refuse", "bad@example.org"});
    Set(u"good1@example.org, bad@example.org; good2@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 0, 0);
    EXPECT_TRUE(FAILED(Send(1, 1, 0, u"x")));
    const std::string description = ErrorDescription();
    EXPECT_EQ(description.rfind("Result (0xece30075 ", 0), 0u) << description;
    EXPECT_NE(description.find("bad@example.org"), std::string::npos) << description;
    const std::vector<Mail> mails = server.Mails(2);
    ASSERT_EQ(mails.size(), 2u); // one through each transport
    for (const Mail& m : mails)
        EXPECT_EQ(m.Field("rcpt_tos"), "[\"good1@example.org\", \"good2@example.org\"]");
}

TEST_F(Email, FailuresAreReported)
{
    // Nothing listens: both transports fail, the later failure carries the earlier one.
    int port = 0;
    {
        SmtpServer stopped(mDir.Path());
        port = stopped.Port();
    }
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(port), 0, 1);
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8007274D)); // the CDO send: not reached
    // Each says what happened: the connection was refused, on which server and port.
    const std::string both = ErrorDescription();
    const std::string refused = "Result (0xece3007c 30 NOTIFY_ERROR_EMAIL_NOT_REACHED Args [";
    EXPECT_EQ(both.rfind(refused + "4] Arg (0xbab000d 9 127.0.0.1) Arg (0xbab000d " +
                             std::to_string(std::to_string(port).size()) + " " + std::to_string(port) + ")", 0),
              0u) << both;
    EXPECT_NE(both.find("Arg (0xbab0012 " + refused + "3]"), std::string::npos) << both; // the library's
    EXPECT_NE(both.find("(Connection refused))"), std::string::npos) << both;

    // Empty address or server: the send error, nothing tried.
    Set(u"", u"127.0.0.1", static_cast<UINT>(port), 0, 9999);
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
    EXPECT_EQ(ErrorDescription().rfind("Result (0xece3006a ", 0), 0u);
    Set(u"ops@example.org", u"", static_cast<UINT>(port), 0, 9999);
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));

    // A server that never answers: the call returns within the time-out.
    SmtpServer silent(mDir.Path(), {"--silent"});
    Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(silent.Port()), 0, 9999);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    std::string why = ErrorDescription();
    EXPECT_EQ(why.rfind("Result (0xece3007d 28 NOTIFY_ERROR_EMAIL_TIMED_OUT ", 0), 0u) << why;
    EXPECT_NE(why.find("timed out"), std::string::npos) << why;

    // A name that does not resolve (.invalid never does).
    Set(u"ops@example.org", u"smtp.nowhere.invalid", 25, 0, 9999);
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8000FFFF));
    why = ErrorDescription();
    EXPECT_EQ(why.rfind("Result (0xece3007b 31 NOTIFY_ERROR_EMAIL_NOT_RESOLVED Args [2] Arg (0xbab000d 20 smtp.nowhere.invalid)", 0), 0u) << why;
}

TEST_F(Email, NtlmRunsUnderTheLogonOfUser)
{
    SmtpServer server(mDir.Path(), {"--user", "ann", "--password", "right"});
    const std::pair<const char16_t*, const char*> accounts[] = {
        {u"CORP\\ann", "NTLM CORP\\ann"}, {u"ann@CORP", "NTLM CORP\\ann"}, {u"ann", "NTLM ann"}};
    for (auto [account, login] : accounts)
    {
        Set(u"ops@example.org", u"127.0.0.1", static_cast<UINT>(server.Port()), 9999, 2);
        SetUser(account);
        // The server offers LOGIN and PLAIN only, so the NTLM send fails at the server.
        EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8007052E)) << ErrorDescription();
        const std::string why = ErrorDescription();
        EXPECT_EQ(why.rfind("Result (0xece30073 30 NOTIFY_ERROR_CURL_LOGIN_DENIED ", 0), 0u) << why;
        EXPECT_EQ(static_cast<CNotifyEmail*>(static_cast<INotifyHandlerImpl<INotifyEmail4>*>(mEmail.Get()))->LastCdoLogin(),
                  login);
        NetworkCredentials left;
        EXPECT_FALSE(ThreadNetworkCredentials(left)); // reverted before Notify returned
    }
    EXPECT_EQ(SplitAccountName(u"ann@CORP"), std::make_pair(String(u"ann"), String(u"CORP")));
    EXPECT_EQ(SplitAccountName(u"CORP\\ann"), std::make_pair(String(u"ann"), String(u"CORP")));
    // An account no server could take fails the logon itself.
    SetUser(u"bad:name");
    EXPECT_EQ(Send(1, 1, 0, u"x"), static_cast<HRESULT>(0x8007052E));
    EXPECT_TRUE(server.Mails().empty());
}

TEST(EmailLibrary, MissingLibraryFailsEvenFilteredChild)
{
    if (std::getenv("FERRULE_NO_MAIL_LIBRARY_CHILD") == nullptr)
        GTEST_SKIP() << "runs in a child process only";
    RegisterMessageTables();
    ComPtr<INotifyHandler> email;
    ComCreator<CNotifyEmail>::CreateInstance(nullptr, IID_INotifyHandler, email.VoidOut());
    Bstr a(u"App");
    const HRESULT hr = email->Notify(a, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, a, a, 0); // filters are 0
    const bool ok = hr == static_cast<HRESULT>(0x8000FFFF) && ErrorDescription().rfind("Result (0xece3006a ", 0) == 0;
    email.Reset();
    std::exit(ok ? 0 : 5);
}

TEST(EmailLibrary, MissingLibraryFailsEvenFiltered)
{
    // The platform library from a folder without the mail library beside it.
    TempDir dir;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string folder(self, static_cast<size_t>(n));
    folder = folder.substr(0, folder.find_last_of('/'));
    ASSERT_EQ(std::system(("cp '" + folder + "/libPlatform.so.1' '" + folder + "/libBase.so' '" + dir.Path() + "/'").c_str()),
              0);
    const ScopedEnv path("LD_LIBRARY_PATH", dir.Path());
    EXPECT_EQ(RunChildTest("EmailLibrary.MissingLibraryFailsEvenFilteredChild", "FERRULE_NO_MAIL_LIBRARY_CHILD"), 0);
}

TEST(EmailThroughTheManager, AFailedMailIsLoggedAsAWarning)
{
    RegisterMessageTables();
    TempDir dir;
    const ScopedEnv spool("FERRULE_SPOOL_DIR", dir.Path() + "/spool");
    int port = 0;
    {
        SmtpServer stopped(dir.Path());
        port = stopped.Port();
    }
    std::ofstream(dir.Path() + "/app.notify.xml")
        << "<NotifyPolicy><Handlers><Handler clsid=\"{4C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0002}\"><TypeFilter vt=\"19\">7"
           "</TypeFilter><PriorityFilter vt=\"19\">7</PriorityFilter><EmailAddress vt=\"8\">ops@example.org"
           "</EmailAddress><SMTPServer vt=\"8\">127.0.0.1</SMTPServer><ServerPort vt=\"23\">"
        << port
        << "</ServerPort><From vt=\"8\"/><Authentication vt=\"19\">9999</Authentication><User vt=\"8\"/>"
           "<Encryption vt=\"8\">0</Encryption></Handler></Handlers></NotifyPolicy>";
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    auto* factory = new ComClassFactory(&ComCreator<CNotifyEmail>::CreateInstance);
    DWORD cookie;
    CoRegisterClassObject(CLSID_NotifyEmail, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    Bstr app(u"app"), none(u""), text(u"disk full"), src(u"nightly");
    ASSERT_EQ(n->Initialize(app, none), S_OK);
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, text, src, 0), static_cast<HRESULT>(0x8000FFFF));
    n.Reset();
    CoRevokeClassObject(cookie);
    const std::string raw = ReadFile("app.log.txt");
    ASSERT_EQ(chdir(old), 0);
    std::u16string log;
    for (size_t i = 2; i + 1 < raw.size(); i += 2)
        log += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
    // The warning says what became of the mail (kept in the outbox) and what happened (a refused
    // connection), not only that it was not sent.
    EXPECT_NE(Utf16ToUtf8(log).find("High Priority Warning: Result (0xece30080 17 NOTIFY_ERROR_KEPT "), std::string::npos)
        << Utf16ToUtf8(log);
    EXPECT_NE(Utf16ToUtf8(log).find("Result (0xece3007c 30 NOTIFY_ERROR_EMAIL_NOT_REACHED"), std::string::npos);
    EXPECT_NE(Utf16ToUtf8(log).find("(Connection refused)"), std::string::npos) << Utf16ToUtf8(log);
}

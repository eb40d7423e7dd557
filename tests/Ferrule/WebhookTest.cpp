// The webhook handler against an HTTPS server of Python's standard library that the test starts on
// loopback with a certificate it makes.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyWebhook.h"
#include "Platform/Cdo/CurlLibrary.h"
#include "Platform/Cdo/Http.h"
#include "Platform/Win32/Base64.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"
#include "SyslogSink.h"
#include "Certificate.h"
#include "PeerProcess.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "TestSupport.h"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
struct Request
{
    nlohmann::json headers;
    std::string path, body;
    double time = 0;
};

class HttpServer
{
public:
    HttpServer(const std::string& folder, const std::vector<std::string>& options)
        : mFolder(folder), mPeer(Arguments(folder, options), folder + "/port"), mPort(std::atoi(mPeer.Ready().c_str()))
    {
    }
    int Port() const { return mPort; }
    std::vector<Request> Requests() const
    {
        std::vector<Request> out;
        std::istringstream lines(ReadFile(mFolder + "/requests"));
        for (std::string line; std::getline(lines, line);)
        {
            const nlohmann::json j = nlohmann::json::parse(line);
            Request r;
            r.headers = j["headers"];
            r.path = j["path"];
            r.time = j["time"];
            Base64Decode(j["body"].get<std::string>(), r.body);
            out.push_back(r);
        }
        return out;
    }

private:
    static std::vector<std::string> Arguments(const std::string& folder, const std::vector<std::string>& options)
    {
        unlink((folder + "/requests").c_str());
        std::vector<std::string> args = {"/usr/bin/python3", HTTP_PEER, folder + "/port", folder + "/requests"};
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
    return Utf16ToUtf8(d.Str());
}

std::string Computer()
{
    WCHAR name[256] = {0};
    DWORD size = 256;
    GetComputerNameW(name, &size);
    return Utf16ToUtf8(name);
}

class Webhook : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        mCert = mDir.Path() + "/cert.pem";
        mKey = mDir.Path() + "/key.pem";
        ASSERT_TRUE(MakeCertificate(mCert, mKey));
        setenv("FERRULE_WEBHOOK_CA_FILE", mCert.c_str(), 1);
        ASSERT_EQ(ComCreator<CNotifyWebhook>::CreateInstance(nullptr, IID_INotifyWebhook, mHook.VoidOut()), S_OK);
        mHook->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mHook->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    }
    void TearDown() override { unsetenv("FERRULE_WEBHOOK_CA_FILE"); }

    std::unique_ptr<HttpServer> Start(std::vector<std::string> options, bool tls = true)
    {
        if (tls)
            options.insert(options.end(), {"--cert", mCert, "--key", mKey});
        auto server = std::make_unique<HttpServer>(mDir.Path(), options);
        const Bstr url(Utf8ToUtf16((tls ? "https" : "http") + std::string("://127.0.0.1:") +
                                   std::to_string(server->Port()) + "/hooks/s3cr3t?k=v"));
        EXPECT_EQ(mHook->put_URL(url), S_OK);
        return server;
    }

    HRESULT Send(int type, int priority, const std::u16string& description, ULONG code = 0x1F)
    {
        Bstr a(u"Backup & Restore"), d(description), s(u"nightly");
        return mHook->Notify(a, static_cast<eZD_NOTIFY_TYPE>(type), static_cast<eZD_NOTIFY_PRIORITY>(priority), code,
                             d, s, 0);
    }

    TempDir mDir;
    std::string mCert, mKey;
    ComPtr<INotifyWebhook> mHook;
};
} // namespace

TEST_F(Webhook, EachFormatsBodyAndHeaders)
{
    auto server = Start({"--status", "200"});
    const std::u16string tricky = u"Failed 1234ABCD: \"quoted\" \\ back\tslash\x01 \u00e9\u6f22\U0001F600 <@here> a&b";
    const std::string trickyUtf8 = Utf16ToUtf8(tricky);
    const std::string summary = "High Error from Backup & Restore on " + Computer();

    ASSERT_EQ(Send(1, 1, tricky), S_OK);
    Bstr chat(u"chat"), text(u"text");
    ASSERT_EQ(mHook->put_Format(chat), S_OK);
    ASSERT_EQ(Send(1, 1, tricky), S_OK);
    ASSERT_EQ(mHook->put_Format(text), S_OK);
    ASSERT_EQ(Send(1, 1, tricky), S_OK);
    ASSERT_EQ(Send(2, 4, u"low warning"), S_OK);

    const std::vector<Request> r = server->Requests();
    ASSERT_EQ(r.size(), 4u);
    for (const Request& q : r)
    {
        EXPECT_EQ(q.path, "/hooks/s3cr3t?k=v");
        EXPECT_EQ(q.headers.count("authorization"), 0u);
    }
    // json: valid UTF-8 JSON with every field.
    EXPECT_EQ(r[0].headers["content-type"], "application/json");
    const nlohmann::json j = nlohmann::json::parse(r[0].body);
    EXPECT_EQ(j["type"], "error");
    EXPECT_EQ(j["priority"], "high");
    EXPECT_EQ(j["code"], "0x0000001F");
    EXPECT_EQ(j["description"], trickyUtf8);
    EXPECT_EQ(j["source"], "nightly");
    EXPECT_EQ(j["application"], "Backup & Restore");
    EXPECT_EQ(j["computer"], Computer());
    EXPECT_EQ(j["umi"], "Q-281-564-43981");
    EXPECT_EQ(j.count("serialized"), 0u); // the code has no bit 31
    const std::string time = j["time"];
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"))) << time;
    // chat: &, < and > escaped as chat endpoints read them (no mention, no link markup).
    std::string escaped = summary + ": " + trickyUtf8;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"&", "&amp;"}, {"<", "&lt;"}, {">", "&gt;"}})
        for (size_t at = escaped.find(from); at != std::string::npos; at = escaped.find(from, at + to.size()))
            escaped.replace(at, from.size(), to);
    EXPECT_EQ(nlohmann::json::parse(r[1].body), nlohmann::json({{"text", escaped}}));
    EXPECT_NE(escaped.find("&lt;@here&gt; a&amp;b"), std::string::npos);
    // Every request names the module and its version.
    for (const Request& q : r)
        EXPECT_EQ(q.headers.at("user-agent"), "ferrule/" FERRULE_VERSION);
    // text
    EXPECT_EQ(r[2].headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(r[2].body, trickyUtf8);
    EXPECT_EQ(r[2].headers["title"], summary);
    EXPECT_EQ(r[2].headers["priority"], "5");
    EXPECT_EQ(r[2].headers["tags"], "error");
    EXPECT_EQ(r[3].headers["priority"], "2");
    EXPECT_EQ(r[3].headers["tags"], "warning");
}

TEST_F(Webhook, StatusesRetriesAndRedirects)
{
    struct Case
    {
        std::vector<std::string> options;
        HRESULT hr;
        size_t requests;
        const char* failure; // in the description, "" for none
    };
    const Case cases[] = {
        {{"--status", "204"}, S_OK, 1, ""},
        {{"--status", "404"}, E_FAIL, 1, "https://127.0.0.1:PORT/…: HTTP 404"},
        {{"--status", "500,200"}, S_OK, 2, ""},
        {{"--status", "500,502"}, E_FAIL, 2, "HTTP 502"},
        {{"--status", "429,200", "--retry-after", "1"}, S_OK, 2, ""},
        {{"--status", "302", "--location", "https://127.0.0.1:1/elsewhere"}, E_FAIL, 1,
         "HTTP 302 (redirects are not followed)"},
    };
    for (const Case& c : cases)
    {
        auto server = Start(c.options);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(Send(1, 1, u"x"), c.hr) << c.options[1];
        const std::vector<Request> r = server->Requests();
        EXPECT_EQ(r.size(), c.requests) << c.options[1];
        if (*c.failure)
        {
            std::string expected = c.failure;
            const size_t port = expected.find("PORT");
            if (port != std::string::npos)
                expected.replace(port, 4, std::to_string(server->Port()));
            const std::string d = ErrorDescription();
            EXPECT_EQ(d.rfind("Result (0xece3007a ", 0), 0u) << d;
            EXPECT_NE(d.find(expected), std::string::npos) << d;
            EXPECT_EQ(d.find("s3cr3t"), std::string::npos) << d;
        }
        if (c.options.size() > 2 && c.options[2] == "--retry-after" && r.size() == 2)
        {
            EXPECT_GE(r[1].time - r[0].time, 0.9); // Retry-After honoured
        }
    }
}

TEST_F(Webhook, NoAnswerUntrustedOrRefusedEndsWithinTheTimeout)
{
    {
        auto server = Start({"--silent"});
        mHook->put_TimeoutSeconds(2);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(1, 1, u"x"), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
        EXPECT_NE(ErrorDescription().find("no answer within 2 s"), std::string::npos) << ErrorDescription();
    }
    {
        // A certificate nobody vouches for: nothing is sent.
        unsetenv("FERRULE_WEBHOOK_CA_FILE");
        auto server = Start({"--status", "200"});
        EXPECT_EQ(Send(1, 1, u"x"), E_FAIL);
        EXPECT_TRUE(server->Requests().empty());
        EXPECT_NE(ErrorDescription().find("certificate"), std::string::npos) << ErrorDescription();
    }
}

TEST_F(Webhook, UrlsAndTokens)
{
    const std::pair<const char*, const char*> urls[] = {
        {"https://hooks.example.org/services/T0/B0/XyZ", "https://hooks.example.org/…"},
        {"https://user:pw@hooks.example.org:8443", "https://hooks.example.org:8443/…"},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
        {"HTTPS://h", "https://h"},
        {"ftp://h/x", ""},
        {"https://", ""},
        {"https://h/a b", ""},
        {"https://h/a\nb", ""},
    };
    for (const auto& [url, shown] : urls)
    {
        EXPECT_EQ(ShownUrl(url), shown) << url;
        EXPECT_EQ(mHook->put_URL(Bstr(Utf8ToUtf16(url))), *shown ? S_OK : E_INVALIDARG) << url;
    }
    // A token goes over https only, in the header; its stored form is not the token.
    ASSERT_EQ(mHook->put_URL(Bstr(u"http://127.0.0.1:1/")), S_OK);
    EXPECT_EQ(mHook->put_Token(Bstr(u"t0ken")), E_INVALIDARG);
    auto server = Start({"--status", "200"});
    ASSERT_EQ(mHook->put_Token(Bstr(u"t0ken")), S_OK);
    EXPECT_EQ(mHook->put_Token(Bstr(u"two\r\nlines")), E_INVALIDARG);
    EXPECT_EQ(mHook->put_URL(Bstr(u"http://127.0.0.1:1/")), E_INVALIDARG);
    ASSERT_EQ(Send(1, 1, u"x"), S_OK);
    const std::vector<Request> r = server->Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].headers["authorization"], "Bearer t0ken");
    Bstr stored;
    ASSERT_EQ(mHook->get_StoredToken(stored.Out()), S_OK);
    EXPECT_FALSE(stored.Str().empty());
    EXPECT_EQ(stored.Str().find(u"t0ken"), String::npos);
    ComPtr<INotifyWebhook> other;
    ASSERT_EQ(ComCreator<CNotifyWebhook>::CreateInstance(nullptr, IID_INotifyWebhook, other.VoidOut()), S_OK);
    ASSERT_EQ(other->put_URL(Bstr(u"https://h/")), S_OK);
    ASSERT_EQ(other->put_StoredToken(stored), S_OK);
    Bstr again;
    other->get_StoredToken(again.Out());
    EXPECT_EQ(again.Str(), stored.Str());
}

// Debian's alert router, started on loopback with a configuration and storage of its own.
TEST_F(Webhook, TheAlertRouterListsOneAlertPerLabels)
{
    PeerProcess router({"/usr/bin/python3", ALERT_ROUTER, mDir.Path(), mDir.Path() + "/router-port"},
                       mDir.Path() + "/router-port");
    const std::string base = "http://127.0.0.1:" + router.Ready();
    ASSERT_NE(router.Ready(), "") << ReadFile(mDir.Path() + "/alertmanager.log");
    ASSERT_EQ(mHook->put_Format(Bstr(u"alertmanager")), S_OK);
    auto alerts = [&] {
        const std::string answer = Output("curl -s " + base + "/api/v2/alerts");
        nlohmann::json list = nlohmann::json::parse(answer, nullptr, false);
        EXPECT_TRUE(list.is_array()) << answer;
        return list.is_array() ? list : nlohmann::json::array();
    };

    // The router's address, or its alerts API named in full: the same place.
    ASSERT_EQ(mHook->put_URL(Bstr(Utf8ToUtf16(base + "/"))), S_OK);
    ASSERT_EQ(Send(1, 1, u"Backup of /srv failed."), S_OK) << ErrorDescription();
    ASSERT_EQ(mHook->put_URL(Bstr(Utf8ToUtf16(base + "/api/v2/alerts"))), S_OK);
    ASSERT_EQ(Send(1, 1, u"Backup of /srv failed again."), S_OK) << ErrorDescription();
    nlohmann::json list = alerts();
    ASSERT_EQ(list.size(), 1u) << list.dump(); // the same labels: one alert, the latest description
    const nlohmann::json& alert = list[0];
    EXPECT_EQ(alert["labels"], nlohmann::json({{"alertname", "Backup & Restore"}, {"severity", "error"},
                                               {"priority", "high"}, {"source", "nightly"},
                                               {"code", "0x0000001F"}, {"instance", Computer()}}));
    EXPECT_EQ(alert["annotations"]["description"], "Backup of /srv failed again.");
    EXPECT_EQ(alert["annotations"]["summary"],
              "High Error from Backup & Restore on " + Computer() + ": Backup of /srv failed again.");
    EXPECT_EQ(alert["status"]["state"], "active");

    // Another code is another kind of event: a second alert.
    ASSERT_EQ(Send(2, 4, u"Disk nearly\r\nfull.", 0x20), S_OK) << ErrorDescription();
    list = alerts();
    ASSERT_EQ(list.size(), 2u) << list.dump();
    for (const nlohmann::json& a : list)
        if (a["labels"]["code"] == "0x00000020")
        {
            EXPECT_EQ(a["labels"]["severity"], "warning");
            EXPECT_EQ(a["annotations"]["description"], "Disk nearly\r\nfull.");
            EXPECT_EQ(a["annotations"]["summary"].get<std::string>().find('\n'), std::string::npos);
        }

    // A notification dated a day ahead (a clock that is off): the router refuses it, and says why.
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE when = 0;
    SystemTimeToVariantTime(&now, &when);
    const HRESULT hr = mHook->Notify(Bstr(u"app"), NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 1, Bstr(u"ahead"),
                                     Bstr(u"s"), when + 1);
    EXPECT_EQ(hr, E_FAIL);
    const std::string why = ErrorDescription();
    EXPECT_NE(why.find(base + "/…: HTTP 400: start time must be before end time"), std::string::npos) << why;
    EXPECT_EQ(alerts().size(), 2u);
}

TEST_F(Webhook, NotADefaultHandler)
{
    // The built-in policy has six handlers and no webhook.
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(mDir.Path().c_str()), 0);
    setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    ASSERT_EQ(n->Initialize(Bstr(u"App"), Bstr(u"")), S_OK);
    ComPtr<INotifyHandler> h;
    n->GetHandler(Bstr(GuidText(CLSID_NotifyWebhook)), h.Out());
    EXPECT_FALSE(h);
    n.Reset();
    const std::string file = ReadFile("App.notify.xml");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(file.find("7C7A3E01"), std::string::npos);
    size_t handlers = 0;
    for (size_t at = file.find("<Handler "); at != std::string::npos; at = file.find("<Handler ", at + 1))
        ++handlers;
    EXPECT_EQ(handlers, 6u);
}

TEST_F(Webhook, ThroughTheManagerACodedNotificationCarriesItsSerializedResult)
{
    auto server = Start({"--status", "200"});
    Bstr url;
    mHook->get_URL(url.Out());
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(mDir.Path().c_str()), 0);
    setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
    std::ofstream("App.notify.xml") << "<NotifyPolicy><Handlers><Handler name=\"Webhook\" clsid=\""
                                    << Utf16ToUtf8(GuidText(CLSID_NotifyWebhook))
                                    << "\"><TypeFilter vt=\"19\">15</TypeFilter><PriorityFilter vt=\"19\">15"
                                       "</PriorityFilter><URL vt=\"8\">"
                                    << Utf16ToUtf8(url.Str()) << "</URL></Handler></Handlers></NotifyPolicy>";
    auto* factory = new ComClassFactory(&ComCreator<CNotifyWebhook>::CreateInstance);
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_NotifyWebhook, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    ASSERT_EQ(n->Initialize(Bstr(u"App"), Bstr(u"")), S_OK);
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, NOTIFY_ERROR_EMAIL_SEND, Bstr(u"smtp refused"),
                        Bstr(u"nightly"), 0),
              S_OK);
    n.Reset();
    CoRevokeClassObject(cookie);
    ASSERT_EQ(chdir(old), 0);
    const std::vector<Request> r = server->Requests();
    ASSERT_EQ(r.size(), 1u);
    const nlohmann::json j = nlohmann::json::parse(r[0].body);
    EXPECT_EQ(j["code"], "0xECE3006A");
    EXPECT_EQ(j["description"].get<std::string>().rfind("Error ECE3006A: Unable to send notification e-mail.", 0), 0u)
        << j.dump();
    EXPECT_EQ(j["serialized"].get<std::string>().rfind("Result (0xece3006a ", 0), 0u) << j.dump();
    EXPECT_EQ(j["umi"], "Q-281-3299-106");
}

TEST(WebhookUrl, WhatIsSentIsWhatIsShown)
{
    std::string error;
    const CurlLibrary* lib = Curl(error);
    ASSERT_NE(lib, nullptr) << error;
    // Read alike by both: sent.
    for (const char* url : {"https://hooks.example/T0/s3cr3t", "http://[::1]:8080/x", "HTTPS://Hooks.Example:443/",
                            "http://user:pw@127.0.0.1:9/x?y#z"})
        EXPECT_TRUE(CurlReadsTheSame(lib, url)) << url;
    // Shown as one host, sent to another (or not readable to the transfer library): refused.
    for (const char* url : {"http://2130706433/x", "http://0x7f.1/x", "http://a.example:80:81/", "http://[::1/x",
                            "https://a.example:99999/"})
        EXPECT_FALSE(CurlReadsTheSame(lib, url)) << url << " shown as " << ShownUrl(url);
}

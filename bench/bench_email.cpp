// One notification through the manager to a local SMTP server (aiosmtpd, started here; the mail
// library's transport only), next to the same message sent by a minimal libcurl SMTP loop in this
// process.
#include "BenchCommon.h"

#include "Base/Dev/Global/Encoders.h"
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyEmail.h"
#include "Platform/Win32/Library.h"

#include <curl/curl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
INotify* gManager = nullptr;
int gPort = 0;

BSTR B(const std::u16string& s)
{
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

struct Upload
{
    const std::string* data;
    size_t position;
};

size_t Read(char* buffer, size_t size, size_t count, void* user)
{
    auto* u = static_cast<Upload*>(user);
    const size_t n = std::min(size * count, u->data->size() - u->position);
    std::memcpy(buffer, u->data->data() + u->position, n);
    u->position += n;
    return n;
}
} // namespace

static void BM_NotifyByMail(benchmark::State& state)
{
    BSTR d = B(u"Backup job Nightly finished: 1204 files copied, 0 errors."), s = B(u"bench");
    for (auto _ : state)
        if (FAILED(gManager->Notify(NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 46365.5)))
        {
            state.SkipWithError("the mail was not sent");
            break;
        }
    SysFreeString(d);
    SysFreeString(s);
}
BENCHMARK(BM_NotifyByMail)->UseRealTime();

static void BM_BareCurlMail(benchmark::State& state)
{
    const std::string message =
        "Date: Thu, 10 Dec 2026 04:30:00 +0000\r\nFrom: backup@example.org\r\nTo: ops@example.org\r\n"
        "Subject: =?utf-8?B?" + Base64Encode("Low Priority Success Notification (Info) from Bench on HOST") +
        "?=\r\nMessage-ID: <1@host>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        Base64Encode("Date: 12/09/2026 12:00:00\r\nNotification Type: Info\r\nPriority: Low\r\nDescription: Backup "
                     "job Nightly finished: 1204 files copied, 0 errors.\r\n") +
        "\r\n";
    const std::string url = "smtp://127.0.0.1:" + std::to_string(gPort);
    for (auto _ : state)
    {
        CURL* curl = curl_easy_init();
        curl_slist* rcpt = curl_slist_append(nullptr, "<ops@example.org>");
        Upload upload{&message, 0};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, "<backup@example.org>");
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Read);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        if (curl_easy_perform(curl) != CURLE_OK)
            state.SkipWithError("curl failed");
        curl_slist_free_all(rcpt);
        curl_easy_cleanup(curl);
    }
}
BENCHMARK(BM_BareCurlMail)->UseRealTime();

int main(int argc, char** argv)
{
    char folder[] = "/tmp/ferrule-bench-mail-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 1;
    setenv("FERRULE_REGISTRY_DIR", folder, 1);
    setenv("FERRULE_SPOOL_DIR", (std::string(folder) + "/spool").c_str(), 1); // a failed mail stays here
    std::filesystem::create_directory(std::string(folder) + "/mail");
    const pid_t server = fork();
    if (server == 0)
    {
        execl("/usr/bin/python3", "python3", SMTP_PEER, "--ready", "ready", "--out", "mail",
              static_cast<char*>(nullptr));
        _exit(4);
    }
    for (int i = 0; i < 200 && !std::filesystem::exists("ready"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::ifstream("ready") >> gPort;
    RegisterMessageTables();
    LoadLibraryW(u"Translator.dll");
    // Only the e-mail handler accepts, through the mail library.
    std::ofstream("Bench.notify.xml")
        << "<NotifyPolicy><Handlers><Handler clsid=\"{4C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0002}\"><TypeFilter vt=\"19\">7"
           "</TypeFilter><PriorityFilter vt=\"19\">7</PriorityFilter><EmailAddress vt=\"8\">ops@example.org"
           "</EmailAddress><SMTPServer vt=\"8\">127.0.0.1</SMTPServer><ServerPort vt=\"23\">"
        << gPort
        << "</ServerPort><From vt=\"8\">backup@example.org</From><Authentication vt=\"19\">9999</Authentication>"
           "<User vt=\"8\"/><Encryption vt=\"8\">0</Encryption></Handler></Handlers></NotifyPolicy>";
    auto* factory = new ComClassFactory(&ComCreator<CNotifyEmail>::CreateInstance);
    DWORD cookie;
    CoRegisterClassObject(CLSID_NotifyEmail, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, reinterpret_cast<void**>(&gManager));
    BSTR app = B(u"Bench"), file = B(u"");
    gManager->Initialize(app, file);
    SysFreeString(app);
    SysFreeString(file);
    for (const CLSID* c : {&CLSID_NotifyConnPt, &CLSID_NotifyApp, &CLSID_NotifySNMPTrap, &CLSID_NotifyLog,
                           &CLSID_NotifySysEvent})
    {
        BSTR key = B(GuidText(*c));
        INotifyHandler* h = nullptr;
        gManager->GetHandler(key, &h);
        SysFreeString(key);
        h->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0));
        h->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0));
        h->Release();
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nNotify by mail through the manager / bare libcurl SMTP: %.2f (limit 1.1)\n",
                reporter.Time("BM_NotifyByMail/real_time") / reporter.Time("BM_BareCurlMail/real_time"));
    gManager->Release();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

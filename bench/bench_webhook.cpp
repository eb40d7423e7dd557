// One notification through the webhook handler (JSON over HTTPS to a local server of Python's standard
// library, a new connection each time) next to a bare libcurl POST of the same body to the same server
// in the same run. Prints the median ratio of alternating rounds.
#include "Messages/MessageTables.h"
#include "Ferrule/NotifyWebhook.h"
#include "Platform/Win32/Utf.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

bool BarePost(const std::string& url, const std::string& body, const std::string& ca)
{
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return ok;
}
} // namespace

int main()
{
    char folder[] = "/tmp/ferrule-bench-webhook-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string dir = folder, cert = dir + "/cert.pem", key = dir + "/key.pem";
    if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
                     "subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1")
                        .c_str()) != 0)
        return 1;
    const pid_t server = fork();
    if (server == 0)
    {
        execl("/usr/bin/python3", "/usr/bin/python3", HTTP_PEER, (dir + "/port").c_str(), "/dev/null", "--cert",
              cert.c_str(), "--key", key.c_str(), static_cast<char*>(nullptr));
        _exit(4);
    }
    for (int i = 0; i < 400 && ReadFile(dir + "/port").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const std::string url = "https://127.0.0.1:" + ReadFile(dir + "/port") + "/hook";
    setenv("FERRULE_WEBHOOK_CA_FILE", cert.c_str(), 1);
    RegisterMessageTables();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    INotifyWebhook* hook = nullptr;
    ComCreator<CNotifyWebhook>::CreateInstance(nullptr, IID_INotifyWebhook, reinterpret_cast<void**>(&hook));
    hook->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    hook->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    BSTR u = SysAllocString(Utf8ToUtf16(url).c_str()), a = SysAllocString(u"Bench"),
         d = SysAllocString(u"Backup job Nightly failed: the target volume is full."), s = SysAllocString(u"bench");
    hook->put_URL(u);
    const std::string body = R"({"type":"error","priority":"high","code":"0x0000001F","description":"Backup job )"
                             R"(Nightly failed: the target volume is full.","source":"bench","application":"Bench",)"
                             R"("computer":"host","time":"2026-12-10T10:48:06+00:00"})";

    std::vector<double> ratios;
    int failed = 0;
    const int each = 20;
    for (int round = 0; round < 11; ++round)
    {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < each; ++i)
            failed += hook->Notify(a, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0x1F, d, s, 0) != S_OK;
        const auto t1 = std::chrono::steady_clock::now();
        for (int i = 0; i < each; ++i)
            failed += !BarePost(url, body, cert);
        const auto t2 = std::chrono::steady_clock::now();
        ratios.push_back(std::chrono::duration<double>(t1 - t0).count() / std::chrono::duration<double>(t2 - t1).count());
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("Notify through the webhook handler / bare libcurl POST: %.2f (limit 1.2)%s\n", ratios[ratios.size() / 2],
                failed ? " (some requests failed)" : "");
    hook->Release();
    for (BSTR b : {u, a, d, s})
        SysFreeString(b);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}

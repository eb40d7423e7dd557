#include "Platform/Cdo/CurlLibrary.h"
#include "Platform/Win32/Library.h"

namespace
{
struct Opened
{
    CurlLibrary table;
    std::string error;
    bool ready = false;
};

void Open(Opened& opened)
{
#define FERRULE_CURL_SLOT(name) {reinterpret_cast<void**>(&opened.table.name), #name},
    if (!OpenSystemLibrary("libcurl.so.4", {FERRULE_CURL_FUNCTIONS(FERRULE_CURL_SLOT)}, opened.error))
        return;
#undef FERRULE_CURL_SLOT
    if (opened.table.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    {
        opened.error = "libcurl.so.4: curl_global_init failed";
        return;
    }
    opened.ready = true;
}
} // namespace

const CurlLibrary* Curl(std::string& error)
{
    static Opened* opened = [] {
        auto* o = new Opened(); // kept for the process, as the library is
        Open(*o);
        return o;
    }();
    if (!opened->ready)
    {
        error = opened->error;
        return nullptr;
    }
    return &opened->table;
}

void TrustAuthorities(const CurlLibrary* lib, CURL* curl, const std::string& caFile)
{
    lib->curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (caFile.empty())
        return;
    lib->curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
    lib->curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
}

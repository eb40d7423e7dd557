#include "Platform/Cdo/Http.h"
#include "Platform/Win32/Utf.h"
#include "Platform/Cdo/CurlLibrary.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace
{
// Keeps the beginning of the answer's body (a refusal's reason), drops the rest.
size_t KeepBeginning(char* data, size_t size, size_t count, void* kept)
{
    std::string& body = *static_cast<std::string*>(kept);
    const size_t n = size * count;
    body.append(data, std::min(n, HttpOutcome::kBodyKept - std::min(body.size(), HttpOutcome::kBodyKept)));
    return n;
}
} // namespace

bool ParseHttpUrl(const std::string& text, HttpUrl& url)
{
    for (unsigned char c : text)
        if (c == ' ' || IsControlCharacter(c))
            return false;
    const size_t colon = text.find("://");
    if (colon == std::string::npos)
        return false;
    std::string scheme = text.substr(0, colon);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https")
        return false;
    const size_t start = colon + 3;
    const size_t end = text.find_first_of("/?#", start);
    std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t at = authority.rfind('@');
    url.more = at != std::string::npos || (end != std::string::npos && end + 1 < text.size()) ||
               (end != std::string::npos && text[end] != '/');
    if (at != std::string::npos)
        authority = authority.substr(at + 1); // a user and password are never shown
    if (authority.empty() || authority[0] == ':')
        return false;
    url.scheme = scheme;
    url.hostPort = authority;
    return true;
}

namespace
{
std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

bool CurlReadsTheSame(const CurlLibrary* lib, const std::string& url)
{
    HttpUrl ours;
    if (!ParseHttpUrl(url, ours))
        return false;
    // Ours: host and port from "host", "host:port", "[v6]" or "[v6]:port".
    std::string host = ours.hostPort, port;
    const size_t close = host.rfind(']');
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && (close == std::string::npos || colon > close))
    {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (port.empty())
        port = ours.scheme == "https" ? "443" : "80";
    CURLU* handle = lib->curl_url();
    if (handle == nullptr)
        return false;
    bool same = false;
    if (lib->curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK)
    {
        char* scheme = nullptr;
        char* theirHost = nullptr;
        char* theirPort = nullptr;
        if (lib->curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            lib->curl_url_get(handle, CURLUPART_HOST, &theirHost, 0) == CURLUE_OK &&
            lib->curl_url_get(handle, CURLUPART_PORT, &theirPort, CURLU_DEFAULT_PORT) == CURLUE_OK)
            same = Lower(scheme) == ours.scheme && Lower(theirHost) == Lower(host) && std::string(theirPort) == port;
        for (char* part : {scheme, theirHost, theirPort})
            if (part)
                lib->curl_free(part);
    }
    lib->curl_url_cleanup(handle);
    return same;
}

std::string ShownUrl(const std::string& url)
{
    HttpUrl parts;
    if (!ParseHttpUrl(url, parts))
        return "";
    return parts.scheme + "://" + parts.hostPort + (parts.more ? "/\xE2\x80\xA6" : "");
}

HttpOutcome HttpSend(const HttpPost& post)
{
    HttpOutcome outcome;
    const CurlLibrary* lib = Curl(outcome.error);
    if (lib == nullptr)
    {
        outcome.status = HttpOutcome::LibraryMissing;
        return outcome;
    }
    const CurlEasy easy(lib);
    CURL* curl = easy.Get();
    if (curl == nullptr)
    {
        outcome.error = "curl_easy_init failed";
        return outcome;
    }
    // What is shown of a URL comes from the module's reading of it; what is sent, from libcurl's. They
    // must be the same place.
    if (!CurlReadsTheSame(lib, post.url))
    {
        outcome.error = "the URL's scheme, host or port reads differently to the transfer library; nothing was sent";
        return outcome;
    }
    CurlList headers(lib);
    for (const std::string& h : post.headers)
        headers.Append(h);
    char error[CURL_ERROR_SIZE] = {0};
    lib->curl_easy_setopt(curl, CURLOPT_URL, post.url.c_str());
    lib->curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    lib->curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    lib->curl_easy_setopt(curl, CURLOPT_POST, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.body.data());
    lib->curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size()));
    lib->curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.Get());
    lib->curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_USERAGENT, "ferrule/" FERRULE_VERSION);
    lib->curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::max(1L, post.timeoutMs));
    lib->curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KeepBeginning);
    lib->curl_easy_setopt(curl, CURLOPT_WRITEDATA, &outcome.body);
    lib->curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    TrustAuthorities(lib, curl, post.caFile);
    const CURLcode code = lib->curl_easy_perform(curl);
    if (code == CURLE_OK)
    {
        outcome.status = HttpOutcome::Answered;
        lib->curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.httpStatus);
        curl_off_t retry = -1;
        if (lib->curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retry) == CURLE_OK && retry > 0)
            outcome.retryAfter = static_cast<long>(retry);
    }
    else
    {
        outcome.status = code == CURLE_OPERATION_TIMEDOUT ? HttpOutcome::TimedOut : HttpOutcome::Failed;
        outcome.mayPass = code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT || code == CURLE_SEND_ERROR ||
                          code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING || code == CURLE_PARTIAL_FILE;
        outcome.error = error[0] ? error : lib->curl_easy_strerror(code);
    }
    return outcome;
}

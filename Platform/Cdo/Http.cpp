#include "Platform/Cdo/Http.h"
#include "Platform/Win32/Utf.h"
#include "Platform/Cdo/CurlLibrary.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace
{
size_t Discard(char*, size_t size, size_t count, void*)
{
    return size * count;
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
    CURL* curl = lib->curl_easy_init();
    if (curl == nullptr)
    {
        outcome.error = "curl_easy_init failed";
        return outcome;
    }
    curl_slist* headers = nullptr;
    for (const std::string& h : post.headers)
        headers = lib->curl_slist_append(headers, h.c_str());
    char error[CURL_ERROR_SIZE] = {0};
    lib->curl_easy_setopt(curl, CURLOPT_URL, post.url.c_str());
    lib->curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    lib->curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    lib->curl_easy_setopt(curl, CURLOPT_POST, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.body.data());
    lib->curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size()));
    lib->curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    lib->curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib->curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::max(1L, post.timeoutMs));
    lib->curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
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
        outcome.error = error[0] ? error : lib->curl_easy_strerror(code);
    }
    lib->curl_slist_free_all(headers);
    lib->curl_easy_cleanup(curl);
    return outcome;
}

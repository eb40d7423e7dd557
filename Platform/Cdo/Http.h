// The product's one HTTP client (beside the SMTP client, over the same libcurl, opened on first use): a
// POST of a body with headers, no redirect followed, certificates always verified against the system's
// trust store and the CA file named by caFile.
#pragma once

#include <string>
#include <vector>

struct HttpPost
{
    std::string url;                  // http:// or https:// only
    std::vector<std::string> headers; // "Name: value", clean of line breaks
    std::string body;
    long timeoutMs = 10000; // the whole exchange
    std::string caFile;     // an extra trusted authority, or ""
};

struct HttpOutcome
{
    enum Status
    {
        Answered,       // the server answered with status
        LibraryMissing, // libcurl could not be opened (error names it); nothing sent
        TimedOut,
        Failed, // no answer: resolution, connection, TLS (error says which)
    };
    Status status = Failed;
    long httpStatus = 0;   // the HTTP status when Answered
    long retryAfter = -1;  // seconds of a Retry-After header, or -1
    std::string error;     // libcurl's words
    std::string body;      // the beginning of the answer's body, at most kBodyKept bytes
    bool mayPass = false;  // Failed for a cause that may pass: no resolution, no connection, a broken one
    static constexpr size_t kBodyKept = 512;
};

HttpOutcome HttpSend(const HttpPost& post);

// ---- URLs

struct HttpUrl
{
    std::string scheme;   // "http" or "https"
    std::string hostPort; // without a user part
    bool more = false;    // a path, query, fragment or user part was there too
};
// The URL's parts; false for anything but http(s)://HOST... without blanks or control characters.
[[nodiscard]] bool ParseHttpUrl(const std::string& text, HttpUrl& url);
// What of a URL may be shown (logs, failure texts, listings; a webhook's path often holds its secret):
// scheme, host and port, then "/…" when anything else was there. "" for a URL ParseHttpUrl refuses.
std::string ShownUrl(const std::string& url);
struct CurlLibrary;
// Whether libcurl's URL reader finds the scheme, host and port that ParseHttpUrl finds (the send refuses
// a URL it reads differently, so what is shown and what is sent never differ).
bool CurlReadsTheSame(const CurlLibrary* lib, const std::string& url);

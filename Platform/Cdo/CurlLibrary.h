// libcurl as the product's transfers use it: opened with dlopen by its versioned name (libcurl.so.4)
// when the first transfer starts, not linked, so a process that sends nothing never maps it or the
// thirty libraries it brings. The calls are libcurl's own, through a table of its functions.
#pragma once

#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <string>

#define FERRULE_CURL_FUNCTIONS(X)                                                                                      \
    X(curl_global_init)                                                                                                \
    X(curl_easy_init)                                                                                                  \
    X(curl_easy_setopt)                                                                                                \
    X(curl_easy_perform)                                                                                               \
    X(curl_easy_getinfo)                                                                                               \
    X(curl_easy_strerror)                                                                                              \
    X(curl_easy_cleanup)                                                                                               \
    X(curl_slist_append)                                                                                               \
    X(curl_slist_free_all)                                                                                             \
    X(curl_url)                                                                                                        \
    X(curl_url_set)                                                                                                    \
    X(curl_url_get)                                                                                                    \
    X(curl_url_cleanup)                                                                                                \
    X(curl_free)

struct CurlLibrary
{
#define FERRULE_CURL_MEMBER(name) decltype(&::name) name;
    FERRULE_CURL_FUNCTIONS(FERRULE_CURL_MEMBER)
#undef FERRULE_CURL_MEMBER
};

// The library, opened and globally initialised on the first call and kept for the process; null when it
// cannot be opened, lacks a function or does not initialise, with error naming the library and why.
const CurlLibrary* Curl(std::string& error);

// Owners of libcurl's handles, as the COM resources have theirs: each is freed through the table.
class CurlEasy
{
public:
    explicit CurlEasy(const CurlLibrary* lib) : mLib(lib), mCurl(lib ? lib->curl_easy_init() : nullptr) {}
    ~CurlEasy()
    {
        if (mCurl)
            mLib->curl_easy_cleanup(mCurl);
    }
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;
    CURL* Get() const { return mCurl; }

private:
    const CurlLibrary* mLib;
    CURL* mCurl;
};

class CurlList
{
public:
    explicit CurlList(const CurlLibrary* lib) : mLib(lib) {}
    ~CurlList()
    {
        if (mList)
            mLib->curl_slist_free_all(mList);
    }
    CurlList(const CurlList&) = delete;
    CurlList& operator=(const CurlList&) = delete;
    void Append(const std::string& item) { mList = mLib->curl_slist_append(mList, item.c_str()); }
    curl_slist* Get() const { return mList; }

private:
    const CurlLibrary* mLib;
    curl_slist* mList = nullptr;
};

// The peer's certificate is checked against the system's trust store and, when caFile is not empty, the
// authorities in that file too (beside the store, not instead of it): the one rule of the SMTP and HTTP cores.
void TrustAuthorities(const CurlLibrary* lib, CURL* curl, const std::string& caFile);

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
    X(curl_slist_free_all)

struct CurlLibrary
{
#define FERRULE_CURL_MEMBER(name) decltype(&::name) name;
    FERRULE_CURL_FUNCTIONS(FERRULE_CURL_MEMBER)
#undef FERRULE_CURL_MEMBER
};

// The library, opened and globally initialised on the first call and kept for the process; null when it
// cannot be opened, lacks a function or does not initialise, with error naming the library and why.
const CurlLibrary* Curl(std::string& error);

// The peer's certificate is checked against the system's trust store and, when caFile is not empty, the
// authorities in that file too (beside the store, not instead of it): the one rule of the SMTP and HTTP cores.
void TrustAuthorities(const CurlLibrary* lib, CURL* curl, const std::string& caFile);

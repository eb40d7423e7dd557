#include "Platform/Cdo/CurlLibrary.h"
#include "Platform/Win32/Library.h"

namespace
{
const char kName[] = "libcurl.so.4";

struct Opened
{
    const CurlLibrary* library = nullptr;
    std::string error;
};

Opened Open()
{
    Opened opened;
    auto* table = new CurlLibrary();
    void* handle = OpenSystemLibrary(kName, opened.error);
#define FERRULE_CURL_LOOKUP(name)                                                                                      \
    if (handle && !(table->name = reinterpret_cast<decltype(table->name)>(SystemLibraryFunction(handle, kName, #name, opened.error)))) \
        handle = nullptr;
    FERRULE_CURL_FUNCTIONS(FERRULE_CURL_LOOKUP)
#undef FERRULE_CURL_LOOKUP
    if (handle && table->curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    {
        opened.error = std::string(kName) + ": curl_global_init failed";
        handle = nullptr;
    }
    if (handle == nullptr)
    {
        delete table;
        return opened;
    }
    opened.library = table;
    return opened;
}
} // namespace

const CurlLibrary* Curl(std::string& error)
{
    static const Opened opened = Open();
    if (opened.library == nullptr)
        error = opened.error;
    return opened.library;
}

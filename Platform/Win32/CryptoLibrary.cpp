#include "Platform/Win32/CryptoLibrary.h"
#include "Platform/Win32/Library.h"

namespace
{
struct Opened
{
    CryptoLibrary table;
    std::string error;
    bool ready = false;
};
} // namespace

const CryptoLibrary* Crypto(std::string* error)
{
    static Opened* opened = [] {
        auto* o = new Opened(); // kept for the process, as the library is
#define FERRULE_CRYPTO_SLOT(name) {reinterpret_cast<void**>(&o->table.name), #name},
        o->ready = OpenSystemLibrary("libcrypto.so.3", {FERRULE_CRYPTO_FUNCTIONS(FERRULE_CRYPTO_SLOT)}, o->error);
#undef FERRULE_CRYPTO_SLOT
        return o;
    }();
    if (!opened->ready)
    {
        if (error)
            *error = opened->error;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return &opened->table;
}

// A client of Ferrule through its C++ API: sends one notification and says how it went.
// Usage: client POLICY-FILE
//
// It declares names of its own that the platform's COM layer also has: <ferrule/Notifier.h> must leave
// the global namespace to the program. Built as C++20, it uses what C++20 brings.
typedef unsigned long DWORD;
enum class R
{
    S_OK,
    E_FAIL,
    ERROR_TIMEOUT,
};
struct HRESULT
{
};

#include <ferrule/Notifier.h>

#include <cstdio>
#if __cplusplus >= 202002L
#include <span>
#endif

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
#if __cplusplus >= 202002L
    const std::span<char*> arguments(argv, static_cast<size_t>(argc));
    const char* policy = arguments[1];
#else
    const char* policy = argv[1];
#endif
    const DWORD ours = static_cast<DWORD>(R::E_FAIL);
    ferrule::Notifier notifier("client", policy);
    if (!notifier.status().ok())
        std::printf("Initialize: 0x%08X %s\n", static_cast<unsigned>(notifier.status().code()),
                    notifier.status().message().c_str());
    const ferrule::Status s =
        notifier.notify(ferrule::Type::Info, ferrule::Priority::Medium, 0, "hello from a client", "client");
    std::printf("Notify: 0x%08X %s\n", static_cast<unsigned>(s.code()), s.message().c_str());
    return s.ok() && ours == 1 ? 0 : 1;
}

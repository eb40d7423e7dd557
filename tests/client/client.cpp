// A client of Ferrule through its C++ API: sends one notification and says how it went.
// Usage: client POLICY-FILE
#include <ferrule/Notifier.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    ferrule::Notifier notifier("client", argv[1]);
    if (!notifier.status().ok())
        std::printf("Initialize: 0x%08X %s\n", static_cast<unsigned>(notifier.status().code()),
                    notifier.status().message().c_str());
    const ferrule::Status s =
        notifier.notify(ferrule::Type::Info, ferrule::Priority::Medium, 0, "hello from a client", "client");
    std::printf("Notify: 0x%08X %s\n", static_cast<unsigned>(s.code()), s.message().c_str());
    return s.ok() ? 0 : 1;
}

// A C++ client of the notification module for programs that do not speak COM:
//
//     ferrule::Notifier notifier("Backup", "/etc/ferrule/Backup.notify.xml");
//     ferrule::Status s = notifier.notify(ferrule::Type::Error, ferrule::Priority::High, 0x1F, "disk full", "nightly");
//
// The constructor loads the module (libFerrule.so, beside the client library), creates the manager and
// calls Initialize(application, policy file); an empty policy file lets the module find the
// application's own in the current folder. A policy the Notifier creates writes its log file into the
// log folder of new policies (FERRULE_LOG_DIR, else /var/log/ferrule for root and
// ~/.local/state/ferrule for others), never into the current folder.
//
// status() says how the construction went. It is not ok when the module or the manager could not be
// had (then every notify fails too), and also when the policy file cannot be read or written (its
// folder does not exist, it is a folder, it is not a policy file): notifications then still go to the
// default handlers, but settings will not be kept; the message says which.
//
// Texts are UTF-8. Nothing throws: every failure is a Status with the HRESULT and the module's error
// description. A Notifier is move-only and releases the manager when it goes; a moved-from Notifier
// holds no manager, and every call on it fails with E_UNEXPECTED (0x8000FFFF). Thread rules are the
// module's: one Notifier is used by one thread at a time; separate Notifiers by separate threads.
//
// This header names nothing outside the namespace ferrule and needs C++17 or later. The manager's COM
// interfaces are in <ferrule/NotifierCom.h>. Link with pkg-config's ferrule or CMake's Ferrule::Notifier.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#define FERRULE_NOTIFIER_API __attribute__((visibility("default")))

namespace ferrule
{
// The module's bit values.
enum class Type : uint32_t
{
    Error = 1,
    Warning = 2,
    Info = 4,
    Test = 8,
};
enum class Priority : uint32_t
{
    High = 1,
    Medium = 2,
    Low = 4,
    Test = 8,
};

class [[nodiscard]] Status
{
public:
    Status() = default;
    Status(int32_t code, std::string message) : mCode(code), mMessage(std::move(message)) {}
    // The code is an HRESULT: negative on failure.
    bool ok() const { return mCode >= 0; }
    int32_t code() const { return mCode; }
    // The module's error description (UTF-8), "" on success.
    const std::string& message() const { return mMessage; }

private:
    int32_t mCode = 0;
    std::string mMessage;
};

class Notifier;
namespace detail
{
// The manager's INotify (not AddRef'ed), or null; <ferrule/NotifierCom.h> gives it its type.
FERRULE_NOTIFIER_API void* ManagerOf(const Notifier& notifier);
} // namespace detail

class FERRULE_NOTIFIER_API Notifier
{
public:
    explicit Notifier(std::string_view application, std::string_view policyFile = {});
    ~Notifier();
    Notifier(Notifier&& other) noexcept;
    Notifier& operator=(Notifier&& other) noexcept;
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // How the construction went (see above).
    const Status& status() const { return mStatus; }

    // One notification stamped now.
    Status notify(Type type, Priority priority, uint32_t code, std::string_view description,
                  std::string_view source = {}) const
    {
        return notify(type, priority, code, description, source, std::chrono::system_clock::now());
    }
    Status notify(Type type, Priority priority, uint32_t code, std::string_view description, std::string_view source,
                  std::chrono::system_clock::time_point when) const;

private:
    friend void* detail::ManagerOf(const Notifier&);
    struct Manager;
    std::unique_ptr<Manager> mManager;
    Status mStatus;
};
} // namespace ferrule

#undef FERRULE_NOTIFIER_API

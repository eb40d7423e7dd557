// A C++ client of the notification module for programs that do not speak COM:
//
//     ferrule::Notifier notifier("Backup", "/etc/ferrule/Backup.notify.xml");
//     ferrule::Status s = notifier.notify(ferrule::Type::Error, ferrule::Priority::High, 0x1F, "disk full", "nightly");
//
// The constructor loads the module (libFerrule.so, beside libPlatform.so), creates the manager and calls
// Initialize(application, policy file); an empty policy file lets the module find the application's own.
// Texts are UTF-8. Nothing throws across the module's boundary: every failure is a Status with the
// HRESULT and the module's error description. A Notifier is move-only and releases the manager when it
// goes. Thread rules are the module's: one Notifier is used by one thread at a time; separate Notifiers
// may be used by separate threads. manager() gives the INotify underneath, for handler settings.
// Header only; link the platform library (find_package(Ferrule): Ferrule::Notifier; pkg-config: ferrule).
#pragma once

#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Com/OleAuto.h"
#include "Platform/Com/Owners.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

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

class Status
{
public:
    Status() = default;
    Status(HRESULT code, std::string message) : mCode(code), mMessage(std::move(message)) {}
    bool ok() const { return SUCCEEDED(mCode); }
    HRESULT code() const { return mCode; }
    // The module's error description (UTF-8), "" on success.
    const std::string& message() const { return mMessage; }

    // The failure hr with the calling thread's error information as its message.
    static Status FromErrorInfo(HRESULT hr, const char* fallback)
    {
        if (SUCCEEDED(hr))
            return Status(hr, std::string());
        std::string text;
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Out()) == S_OK && info)
        {
            Bstr description;
            info->GetDescription(description.Out());
            text = Utf16ToUtf8(ToString(description.Get()));
        }
        return Status(hr, text.empty() ? fallback : text);
    }

private:
    HRESULT mCode = S_OK;
    std::string mMessage;
};

class Notifier
{
public:
    explicit Notifier(std::string_view application, std::string_view policyFile = {})
    {
        // The module offers its classes to the process when it is loaded; it stays loaded.
        if (LoadLibraryW(u"Ferrule.dll") == nullptr)
        {
            mStatus = Status(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "the notification module (libFerrule.so) was not found");
            return;
        }
        HRESULT hr = CoCreateInstance(CLSID_Notify, nullptr, CLSCTX_INPROC_SERVER, IID_INotify, mNotify.VoidOut());
        if (FAILED(hr))
        {
            mStatus = Status(hr, "the notification manager could not be created");
            return;
        }
        const Bstr app(Utf8ToUtf16(application)), file(Utf8ToUtf16(policyFile));
        SetErrorInfo(0, nullptr);
        hr = mNotify->Initialize(app.Get(), file.Get());
        mStatus = Status::FromErrorInfo(hr, "Initialize failed");
    }
    Notifier(Notifier&&) noexcept = default;
    Notifier& operator=(Notifier&&) noexcept = default;
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // How the construction went.
    const Status& status() const { return mStatus; }

    // One notification stamped now.
    Status notify(Type type, Priority priority, uint32_t code, std::string_view description,
                  std::string_view source = {}) const
    {
        return notify(type, priority, code, description, source, std::chrono::system_clock::now());
    }
    Status notify(Type type, Priority priority, uint32_t code, std::string_view description, std::string_view source,
                  std::chrono::system_clock::time_point when) const
    {
        if (!mNotify)
            return mStatus;
        const Bstr d(Utf8ToUtf16(description)), s(Utf8ToUtf16(source));
        SetErrorInfo(0, nullptr);
        const HRESULT hr = mNotify->Notify(static_cast<eZD_NOTIFY_TYPE>(type), static_cast<eZD_NOTIFY_PRIORITY>(priority),
                                           code, d.Get(), s.Get(), LocalDate(when));
        return Status::FromErrorInfo(hr, "Notify failed");
    }

    // The manager underneath (null when the construction failed), for handler settings.
    INotify* manager() const { return mNotify.Get(); }

private:
    // An OLE date in local time, as the module's handlers show it.
    static DATE LocalDate(std::chrono::system_clock::time_point when)
    {
        const time_t t = std::chrono::system_clock::to_time_t(when);
        std::tm tm{};
        localtime_r(&t, &tm);
        SYSTEMTIME st{static_cast<WORD>(tm.tm_year + 1900), static_cast<WORD>(tm.tm_mon + 1), 0,
                      static_cast<WORD>(tm.tm_mday),        static_cast<WORD>(tm.tm_hour),
                      static_cast<WORD>(tm.tm_min),         static_cast<WORD>(tm.tm_sec), 0};
        DATE date = 0;
        SystemTimeToVariantTime(&st, &date);
        return date;
    }

    ComPtr<INotify> mNotify;
    Status mStatus;
};
} // namespace ferrule

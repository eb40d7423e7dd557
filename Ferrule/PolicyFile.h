// The policy file's vocabulary: its elements and attributes, its names, and how a place in it is told.
// The manager and the tool both speak it from here.
#pragma once

#include "Platform/Win32/Utf.h"

#include <string>

namespace policy
{
inline constexpr const char16_t* kRootElement = u"NotifyPolicy";
inline constexpr const char16_t* kHandlersElement = u"Handlers";
inline constexpr const char16_t* kHandlerElement = u"Handler";
inline constexpr const char16_t* kNameAttribute = u"name";
inline constexpr const char16_t* kClsidAttribute = u"clsid";
// The outbox's settings, beside Handlers: <Outbox><RetryMinutes vt="19">N</RetryMinutes></Outbox>.
inline constexpr const char16_t* kOutboxElement = u"Outbox";
inline constexpr const char16_t* kRetryMinutes = u"RetryMinutes";
// Never written back: the clear password a file may carry for the e-mail handler to read once.
inline constexpr const char16_t* kPlainPassword = u"PlainPassword";
// The elements of the stored password forms; a file that holds one is private.
inline constexpr const char16_t* kPasswordForms[] = {u"EncryptedPW",       u"EncryptedPW2",       u"EncryptedPW3",
                                                     u"AESPassword",       u"AES256Password",     u"AESAdvancedPwd256",
                                                     u"AESAdvancedPwd256IC", u"AESAdvancedPwd256ICFIPS"};
// Other rows that hold a secret are the class table's settings marked secret or URL (a URL's path often
// is one).
// An application's policy is APPLICATION + kExtension; without one, kFallbackFile is read.
inline constexpr const char16_t* kExtension = u".notify.xml";
inline constexpr const char16_t* kFallbackFile = u"config.notify.xml";

// The configuration item that makes managers initialized while it is "1" read-only: they write no
// policy file and warn nothing into a log file (programs that only show a policy set it).
inline constexpr const char* kReadOnlyItem = "policy_read_only";
// The configuration item that makes managers initialized while it is "1" keep nothing in the outbox: one
// attempt per notification (ferrule test sets it: a test tells how the channels are now).
inline constexpr const char* kNoOutboxItem = "outbox_off";

// Where a child of the Handlers element stands: "child N of Handlers".
inline std::u16string ChildPosition(int n)
{
    return u"child " + Utf8ToUtf16(std::to_string(n)) + u" of " + kHandlersElement;
}
// A Handler element at a position: "child N of Handlers (Handler KEY)".
inline std::u16string ElementPosition(int n, const std::u16string& elementName, const std::u16string& key)
{
    return ChildPosition(n) + u" (" + elementName + (key.empty() ? u"" : u" " + key) + u")";
}
} // namespace policy

// UTF-16 ↔ UTF-8 conversion for the places where the platform layer hands text to POSIX.
// Unpaired surrogates and malformed UTF-8 become U+FFFD.
#pragma once

#include <string>
#include <string_view>

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::u32string Utf16ToUtf32(std::u16string_view text);

// Not a Windows call: a C0 control character or DEL, which ends or breaks a line on the wire.
inline bool IsControlCharacter(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}
inline bool HoldsControlCharacter(std::string_view text)
{
    for (char c : text)
        if (IsControlCharacter(static_cast<unsigned char>(c)))
            return true;
    return false;
}

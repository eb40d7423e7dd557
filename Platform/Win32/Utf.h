// UTF-16 ↔ UTF-8 conversion for the places where the platform layer hands text to POSIX.
// Unpaired surrogates and malformed UTF-8 become U+FFFD.
#pragma once

#include <string>
#include <string_view>

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::u32string Utf16ToUtf32(std::u16string_view text);

// Character and byte encoders of the common library.
#pragma once

#include "Platform/Win32/Utf.h" // UTF-8 ↔ UTF-16: Utf16ToUtf8, Utf8ToUtf16

#include <string>
#include <string_view>

// Base64 with the standard alphabet, "=" padding to a multiple of four, no line breaks.
std::string Base64Encode(std::string_view bytes);
// false on a character outside the alphabet or a length that is not a multiple of four.
bool Base64Decode(std::string_view text, std::string& bytes);

#include "Base/Dev/Global/Types.h"

#include <cstdint>

// Text to an unsigned 32-bit number in the given base (2..16): every character must be a digit of
// that base, at least one, no sign, no blanks, no overflow.
bool FromStringSafe(const String& text, uint32_t& value, int base = 10);

// Character and byte encoders of the common library.
#pragma once

#include "Platform/Win32/Utf.h" // UTF-8 ↔ UTF-16: Utf16ToUtf8, Utf8ToUtf16

#include <string>
#include <string_view>

#include "Platform/Win32/Base64.h" // Base64Encode, Base64Decode

#include "Base/Dev/Global/Types.h"

#include <cstdint>

// Text to an unsigned 32-bit number in the given base (2..16): every character must be a digit of
// that base, at least one, no sign, no blanks, no overflow.
bool FromStringSafe(const String& text, uint32_t& value, int base = 10);

// ---- Hexadecimal and UTF-16LE bytes (the stored password forms and their key material)

// Two lower-case hexadecimal digits per byte.
String HexEncodeLower(const std::string& bytes);
// Pairs of characters as hexadecimal bytes (a last odd character is ignored); a pair that is not a
// hexadecimal number raises ERROR_FROM_STRING_INVALID_CHARACTERS.
std::string HexDecode(const String& text);
// A code as "0x" and eight upper-case hexadecimal digits, as the product shows codes everywhere.
std::string HexCode(uint32_t code);
// "%02X" per byte.
String BytesToHexUpper(const std::string& bytes);
// Pairs read with "%2X"; fewer than two characters give nothing.
std::string HexToBytes(const String& text);
std::string Utf16LeBytes(const String& text);
String FromUtf16LeBytes(const std::string& bytes);

// Basic vocabulary of the common library.
#pragma once

#include <cstdint>
#include <string>

// The system's wide text: UTF-16.
using String = std::u16string;

// A message identifier: the layout of a result code with bits 31-28 zero (Result.h).
using StringId = uint32_t;

constexpr uint32_t kSuccess = 0;

// A wide literal from a narrow one, for texts compared in the reader's checks.
inline String StringLiteral(const char* text)
{
    return String(text, text + std::char_traits<char>::length(text));
}

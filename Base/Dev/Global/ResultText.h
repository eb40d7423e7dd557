// The pieces of the serialized "Result (" text form shared by the Result and Argument files: number
// and text writers, and the bound on nesting while reading. Internal to the common library.
#pragma once

#include "Base/Dev/Global/Result.h"

#include <clocale>
#include <cstdint>
#include <locale.h>

namespace resulttext
{
void AppendHex(String& out, uint64_t v);
void AppendDecimal(String& out, uint64_t v);
void AppendCounted(String& out, const String& text);
void AppendReal(String& out, double v);

// Nested results and containers read at most this deep.
struct NestingGuard
{
    static thread_local int depth;
    NestingGuard();
    ~NestingGuard() { --depth; }
};
} // namespace resulttext

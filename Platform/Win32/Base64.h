// Base64 with the standard alphabet (RFC 4648), the one the product uses: the SMTP core's message text
// and the common library's encoders.
#pragma once

#include <string>
#include <string_view>

// "=" padding to a multiple of four, no line breaks.
std::string Base64Encode(std::string_view bytes);
// false on a character outside the alphabet or a length that is not a multiple of four.
bool Base64Decode(std::string_view text, std::string& bytes);

#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"

#include <cstdio>

bool FromStringSafe(const String& text, uint32_t& value, int base)
{
    value = 0;
    if (text.empty() || base < 2 || base > 16)
        return false;
    uint64_t v = 0;
    for (char16_t c : text)
    {
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0 || digit >= base)
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (v > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

String HexEncodeLower(const std::string& bytes)
{
    static const char16_t* const kDigits = u"0123456789abcdef";
    String out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes)
    {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string HexDecode(const String& text)
{
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2)
    {
        String pair = text.substr(i, 2);
        while (!pair.empty() && (pair.front() == u' ' || pair.front() == u'\t'))
            pair.erase(0, 1);
        while (!pair.empty() && (pair.back() == u' ' || pair.back() == u'\t'))
            pair.pop_back();
        uint32_t value = 0;
        if (!FromStringSafe(pair, value, 16))
        {
            Result r = RESULT_AT("HexDecode", ERROR_FROM_STRING_INVALID_CHARACTERS);
            r.GetArguments().push_back(Argument(text.substr(i, 2)));
            throw r;
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

String BytesToHexUpper(const std::string& bytes)
{
    String out;
    for (unsigned char b : bytes)
    {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += static_cast<char16_t>(pair[0]);
        out += static_cast<char16_t>(pair[1]);
    }
    return out;
}

std::string HexToBytes(const String& text)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
    {
        char pair[3] = {static_cast<char>(text[i]), static_cast<char>(text[i + 1]), 0};
        unsigned value = 0;
        std::sscanf(pair, "%2X", &value);
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string Utf16LeBytes(const String& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text)
    {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

String FromUtf16LeBytes(const std::string& bytes)
{
    String text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return text;
}


std::string HexCode(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

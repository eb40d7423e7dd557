#include "Platform/Win32/Utf.h"

namespace
{
// Next code point of UTF-16 text at i, advancing i.
char32_t NextUtf16(std::u16string_view s, size_t& i)
{
    const char16_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
        return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i++] - 0xDC00);
    if (c >= 0xD800 && c <= 0xDFFF)
        return 0xFFFD;
    return c;
}
} // namespace

std::string Utf16ToUtf8(std::u16string_view s)
{
    // At most three bytes for each code unit (a pair of units makes four); written in place, then cut.
    std::string out(s.size() * 3, '\0');
    char* p = out.data();
    for (size_t i = 0; i < s.size();)
    {
        const char32_t cp = NextUtf16(s, i);
        if (cp < 0x80)
            *p++ = static_cast<char>(cp);
        else if (cp < 0x800)
        {
            *p++ = static_cast<char>(0xC0 | (cp >> 6));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
        else if (cp < 0x10000)
        {
            *p++ = static_cast<char>(0xE0 | (cp >> 12));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
        else
        {
            *p++ = static_cast<char>(0xF0 | (cp >> 18));
            *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}


std::u16string Utf8ToUtf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size())
    {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t extra;
        char32_t least;
        if (c < 0x80)
        {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        else if ((c & 0xE0) == 0xC0)
            cp = c & 0x1F, extra = 1, least = 0x80;
        else if ((c & 0xF0) == 0xE0)
            cp = c & 0x0F, extra = 2, least = 0x800;
        else if ((c & 0xF8) == 0xF0)
            cp = c & 0x07, extra = 3, least = 0x10000;
        else
        {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= extra && i + j < s.size(); ++j)
        {
            const unsigned char cc = static_cast<unsigned char>(s[i + j]);
            if ((cc & 0xC0) != 0x80)
                break;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (j <= extra || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        {
            out += u'\uFFFD';
            i += j;
            continue;
        }
        i += j;
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        }
        else
            out += static_cast<char16_t>(cp);
    }
    return out;
}

std::u32string Utf16ToUtf32(std::u16string_view s)
{
    std::u32string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();)
        out += NextUtf16(s, i);
    return out;
}

#include "Platform/Com/Guid.h"

namespace
{
int HexValue(WCHAR c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Reads 2*bytes hex digits at text[pos] into value; false on a non-digit.
bool ReadHex(LPCOLESTR text, int pos, int digits, uint32_t& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i)
    {
        const int v = HexValue(text[pos + i]);
        if (v < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(v);
    }
    return true;
}
} // namespace

int StringFromGUID2(REFGUID g, LPOLESTR text, int cchMax)
{
    static const char kDigits[] = "0123456789ABCDEF";
    if (text == nullptr || cchMax < 39)
        return 0;
    uint8_t bytes[16];
    bytes[0] = g.Data1 >> 24;
    bytes[1] = g.Data1 >> 16;
    bytes[2] = g.Data1 >> 8;
    bytes[3] = g.Data1;
    bytes[4] = g.Data2 >> 8;
    bytes[5] = g.Data2;
    bytes[6] = g.Data3 >> 8;
    bytes[7] = g.Data3;
    std::memcpy(bytes + 8, g.Data4, 8);
    int n = 0;
    text[n++] = u'{';
    for (int i = 0; i < 16; ++i)
    {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text[n++] = u'-';
        text[n++] = kDigits[bytes[i] >> 4];
        text[n++] = kDigits[bytes[i] & 15];
    }
    text[n++] = u'}';
    text[n++] = 0;
    return n;
}

HRESULT GuidFromBracedString(LPCOLESTR text, GUID* guid)
{
    if (guid == nullptr)
        return E_INVALIDARG;
    *guid = GUID_NULL;
    if (text == nullptr)
        return CO_E_CLASSSTRING;
    // Length check first, so nothing past the terminator is read.
    int length = 0;
    while (length < 39 && text[length] != 0)
        ++length;
    if (length != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-')
        return CO_E_CLASSSTRING;
    GUID g{};
    uint32_t v = 0;
    bool ok = ReadHex(text, 1, 8, g.Data1);
    ok = ok && ReadHex(text, 10, 4, v);
    g.Data2 = static_cast<uint16_t>(v);
    ok = ok && ReadHex(text, 15, 4, v);
    g.Data3 = static_cast<uint16_t>(v);
    static const int kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; ok && i < 8; ++i)
    {
        ok = ReadHex(text, kBytePos[i], 2, v);
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    if (!ok)
        return CO_E_CLASSSTRING;
    *guid = g;
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid)
{
    return GuidFromBracedString(text, iid);
}

std::u16string GuidText(REFGUID guid)
{
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::u16string UpperKey(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

// GUIDs and their braced text form.
#pragma once

#include <string>

#include "Platform/Com/Hresult.h"

#include <cstring>

typedef struct _GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef CLSID* LPCLSID;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b)
{
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b)
{
    return !IsEqualGUID(a, b);
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
#define CLSID_NULL GUID_NULL
#define IID_NULL GUID_NULL

// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns the characters written
// including the terminator (39), or 0 when cchMax is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR text, int cchMax);
// Not a Windows call: that text as a string, the key by which a class is told ("{XXXXXXXX-...}").
std::u16string GuidText(REFGUID guid);
// Not a Windows call: an identifier's text with its ASCII letters in upper case, to compare with keys.
std::u16string UpperKey(std::u16string text);

// Parses the braced text form in any case. Anything else gives CO_E_CLASSSTRING and a zeroed output.
// (Activation extends CLSIDFromString with ProgIDs.)
HRESULT GuidFromBracedString(LPCOLESTR text, GUID* guid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);

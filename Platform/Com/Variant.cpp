#include "Platform/Com/OleAuto.h"
#include "Platform/Win32/Utf.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <strings.h>
#include <limits>
#include <string>

namespace
{
// A source value reduced to the few kinds the coercions work on.
struct Value
{
    enum Kind
    {
        Empty,
        Null,
        Signed,
        Unsigned,
        Real,
        Bool,
        Text,
        Date,
        Object
    } kind = Empty;
    int64_t i = 0;
    uint64_t u = 0;
    double r = 0;
    int digits = 15; // significant digits of a real in text: 7 for VT_R4
    bool b = false;
    const OLECHAR* text = nullptr;
    UINT textLength = 0;
    IUnknown* object = nullptr;
    VARTYPE objectType = VT_EMPTY;
};

bool IsIntegerType(VARTYPE vt)
{
    switch (vt)
    {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8:
        return true;
    default:
        return false;
    }
}

bool IsSupportedScalar(VARTYPE vt)
{
    return vt == VT_EMPTY || vt == VT_NULL || IsIntegerType(vt) || vt == VT_R4 || vt == VT_R8 ||
           vt == VT_BOOL || vt == VT_BSTR || vt == VT_DATE || vt == VT_UNKNOWN || vt == VT_DISPATCH ||
           vt == VT_ERROR;
}

// Reads a scalar of type vt stored at p (a VARIANT's union or a by-reference target).
HRESULT ReadValue(VARTYPE vt, const void* p, Value& v)
{
    auto get = [p](auto sample) {
        decltype(sample) x;
        std::memcpy(&x, p, sizeof x);
        return x;
    };
    switch (vt)
    {
    case VT_EMPTY: v.kind = Value::Empty; return S_OK;
    case VT_NULL: v.kind = Value::Null; return S_OK;
    case VT_I1: v.kind = Value::Signed; v.i = get(int8_t()); return S_OK;
    case VT_I2: v.kind = Value::Signed; v.i = get(int16_t()); return S_OK;
    case VT_I4: case VT_INT: v.kind = Value::Signed; v.i = get(int32_t()); return S_OK;
    case VT_I8: v.kind = Value::Signed; v.i = get(int64_t()); return S_OK;
    case VT_UI1: v.kind = Value::Unsigned; v.u = get(uint8_t()); return S_OK;
    case VT_UI2: v.kind = Value::Unsigned; v.u = get(uint16_t()); return S_OK;
    case VT_UI4: case VT_UINT: v.kind = Value::Unsigned; v.u = get(uint32_t()); return S_OK;
    case VT_UI8: v.kind = Value::Unsigned; v.u = get(uint64_t()); return S_OK;
    case VT_R4: v.kind = Value::Real; v.r = get(float()); v.digits = 7; return S_OK;
    case VT_R8: v.kind = Value::Real; v.r = get(double()); return S_OK;
    case VT_DATE: v.kind = Value::Date; v.r = get(double()); return S_OK;
    case VT_BOOL: v.kind = Value::Bool; v.b = get(VARIANT_BOOL()) != 0; return S_OK;
    case VT_BSTR:
        v.kind = Value::Text;
        v.text = get(BSTR());
        v.textLength = SysStringLen(get(BSTR()));
        return S_OK;
    case VT_UNKNOWN: case VT_DISPATCH:
        v.kind = Value::Object;
        // IDispatch derives from IUnknown alone, so both pointers have one representation.
        v.object = get(static_cast<IUnknown*>(nullptr));
        v.objectType = vt;
        return S_OK;
    default:
        return DISP_E_BADVARTYPE;
    }
}

// ---- text → number

// The BSTR as ASCII without surrounding blanks; false when it holds anything else.
bool TrimmedAscii(const Value& v, std::string& out)
{
    out.clear();
    for (UINT k = 0; k < v.textLength; ++k)
    {
        const OLECHAR c = v.text[k];
        if (c == 0 || c > 0x7E)
            return false;
        out += static_cast<char>(c);
    }
    const size_t first = out.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
    {
        out.clear();
        return true;
    }
    out = out.substr(first, out.find_last_not_of(" \t\r\n") - first + 1);
    return true;
}

// Parses decimal text (sign, digits, fraction, exponent) or "&H" hexadecimal. Whole numbers stay
// exact in 64 bits; anything with a fraction or exponent becomes a double.
HRESULT ParseNumber(const Value& v, Value& out)
{
    std::string s;
    if (!TrimmedAscii(v, s) || s.empty())
        return DISP_E_TYPEMISMATCH;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h'))
    {
        uint64_t x = 0;
        auto [ptr, ec] = std::from_chars(first + 2, last, x, 16);
        if (ec == std::errc::result_out_of_range)
            return DISP_E_OVERFLOW;
        if (ec != std::errc() || ptr != last)
            return DISP_E_TYPEMISMATCH;
        out.kind = Value::Unsigned;
        out.u = x;
        return S_OK;
    }
    const bool negative = *first == '-';
    const char* digits = (*first == '-' || *first == '+') ? first + 1 : first;
    if (digits == last || !(std::isdigit(static_cast<unsigned char>(*digits)) || *digits == '.'))
        return DISP_E_TYPEMISMATCH;
    uint64_t whole = 0;
    auto [ptr, ec] = std::from_chars(digits, last, whole, 10);
    if (ec == std::errc() && ptr == last)
    {
        if (!negative)
        {
            out.kind = Value::Unsigned;
            out.u = whole;
            return S_OK;
        }
        if (whole <= uint64_t(std::numeric_limits<int64_t>::max()) + 1)
        {
            out.kind = Value::Signed;
            out.i = static_cast<int64_t>(0 - whole);
            return S_OK;
        }
        return DISP_E_OVERFLOW;
    }
    double d = 0;
    auto [dptr, dec] = std::from_chars(digits, last, d, std::chars_format::general);
    if (dptr != last || (dec != std::errc() && dec != std::errc::result_out_of_range))
        return DISP_E_TYPEMISMATCH;
    if (dec == std::errc::result_out_of_range || !std::isfinite(d))
        return DISP_E_OVERFLOW;
    out.kind = Value::Real;
    out.r = negative ? -d : d;
    return S_OK;
}

// ---- text ↔ date

bool ParseTimeOfDay(const char*& p, int& h, int& mi, int& se)
{
    int n = 0;
    se = 0;
    if (std::sscanf(p, "%d:%d%n", &h, &mi, &n) != 2)
        return false;
    p += n;
    if (*p == ':')
    {
        if (std::sscanf(p, ":%d%n", &se, &n) != 1)
            return false;
        p += n;
    }
    while (*p == ' ')
        ++p;
    if ((p[0] == 'A' || p[0] == 'a' || p[0] == 'P' || p[0] == 'p') && (p[1] == 'M' || p[1] == 'm'))
    {
        if (h < 1 || h > 12)
            return false;
        const bool pm = p[0] == 'P' || p[0] == 'p';
        h = (h % 12) + (pm ? 12 : 0);
        p += 2;
    }
    return true;
}

// "M/D/YYYY", "YYYY-MM-DD", either followed by a time "H:MM[:SS] [AM|PM]" (after a blank or "T"),
// or a time alone (a DATE with no day part).
HRESULT ParseDate(const Value& v, double& out)
{
    std::string s;
    if (!TrimmedAscii(v, s) || s.empty())
        return DISP_E_TYPEMISMATCH;
    SYSTEMTIME st{};
    const char* p = s.c_str();
    int y = 1899, mo = 12, d = 30, h = 0, mi = 0, se = 0, n = 0;
    bool haveDate = false;
    if (std::sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &n) == 3 && n >= 8)
        haveDate = true;
    else if (std::sscanf(p, "%2d/%2d/%4d%n", &mo, &d, &y, &n) == 3)
        haveDate = true;
    if (haveDate)
    {
        p += n;
        if (*p == 'T' || *p == ' ')
        {
            while (*p == 'T' || *p == ' ')
                ++p;
            if (*p && !ParseTimeOfDay(p, h, mi, se))
                return DISP_E_TYPEMISMATCH;
        }
    }
    else if (!ParseTimeOfDay(p, h, mi, se))
        return DISP_E_TYPEMISMATCH;
    if (*p != 0 || y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || se < 0)
        return DISP_E_TYPEMISMATCH;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(se);
    return SystemTimeToVariantTime(&st, &out) ? S_OK : DISP_E_TYPEMISMATCH;
}

std::string FormatDate(double date)
{
    SYSTEMTIME st;
    if (!VariantTimeToSystemTime(date, &st))
        return std::string();
    char buffer[64];
    const bool hasDay = std::trunc(date) != 0;
    const bool hasTime = st.wHour || st.wMinute || st.wSecond;
    int n = 0;
    if (hasDay || !hasTime)
        n = std::snprintf(buffer, sizeof buffer, "%u/%u/%u", st.wMonth, st.wDay, st.wYear);
    if (hasTime)
    {
        const unsigned h12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        n += std::snprintf(buffer + n, sizeof buffer - n, "%s%u:%02u:%02u %s", n ? " " : "", h12,
                           st.wMinute, st.wSecond, st.wHour < 12 ? "AM" : "PM");
    }
    return std::string(buffer, n);
}

// ---- number → text

std::string FormatReal(double x, int precision)
{
    char buffer[64];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, precision);
    if (ec != std::errc())
        return std::string();
    std::string s(buffer, ptr);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return s;
}

BSTR AllocAscii(const std::string& s)
{
    std::u16string w(s.begin(), s.end());
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

// ---- conversions to each target

struct Range
{
    VARTYPE vt;
    int64_t min;
    uint64_t max;
};

const Range kRanges[] = {
    {VT_I1, INT8_MIN, INT8_MAX},       {VT_UI1, 0, UINT8_MAX},   {VT_I2, INT16_MIN, INT16_MAX},
    {VT_UI2, 0, UINT16_MAX},           {VT_I4, INT32_MIN, INT32_MAX}, {VT_INT, INT32_MIN, INT32_MAX},
    {VT_UI4, 0, UINT32_MAX},           {VT_UINT, 0, UINT32_MAX}, {VT_I8, INT64_MIN, INT64_MAX},
    {VT_UI8, 0, UINT64_MAX},
};

const Range& RangeOf(VARTYPE vt)
{
    for (const Range& r : kRanges)
        if (r.vt == vt)
            return r;
    return kRanges[0];
}

void StoreInteger(VARIANT& dest, VARTYPE vt, int64_t i, uint64_t u, bool isSigned)
{
    dest.vt = vt;
    dest.llVal = 0;
    const uint64_t bits = isSigned ? static_cast<uint64_t>(i) : u;
    switch (vt)
    {
    case VT_I1: dest.cVal = static_cast<CHAR>(bits); break;
    case VT_UI1: dest.bVal = static_cast<BYTE>(bits); break;
    case VT_I2: dest.iVal = static_cast<SHORT>(bits); break;
    case VT_UI2: dest.uiVal = static_cast<USHORT>(bits); break;
    case VT_I4: dest.lVal = static_cast<LONG>(bits); break;
    case VT_INT: dest.intVal = static_cast<INT>(bits); break;
    case VT_UI4: dest.ulVal = static_cast<ULONG>(bits); break;
    case VT_UINT: dest.uintVal = static_cast<UINT>(bits); break;
    case VT_I8: dest.llVal = static_cast<LONGLONG>(bits); break;
    case VT_UI8: dest.ullVal = bits; break;
    default: break;
    }
}

HRESULT ToInteger(const Value& v, VARTYPE vt, VARIANT& dest)
{
    const Range& range = RangeOf(vt);
    switch (v.kind)
    {
    case Value::Empty:
        StoreInteger(dest, vt, 0, 0, true);
        return S_OK;
    case Value::Bool:
        // True is -1; unsigned targets take its bit pattern (all ones).
        StoreInteger(dest, vt, v.b ? -1 : 0, 0, true);
        return S_OK;
    case Value::Signed:
        if (v.i < range.min || (v.i > 0 && static_cast<uint64_t>(v.i) > range.max))
            return DISP_E_OVERFLOW;
        StoreInteger(dest, vt, v.i, 0, true);
        return S_OK;
    case Value::Unsigned:
        if (v.u > range.max)
            return DISP_E_OVERFLOW;
        StoreInteger(dest, vt, 0, v.u, false);
        return S_OK;
    case Value::Real:
    case Value::Date:
    {
        // Halves round to even, as OLE Automation does.
        const double r = std::nearbyint(v.r);
        if (!(r >= static_cast<double>(range.min)) || !(r < static_cast<double>(range.max) + 1.0))
            return DISP_E_OVERFLOW;
        if (r < 0)
            StoreInteger(dest, vt, static_cast<int64_t>(r), 0, true);
        else
            StoreInteger(dest, vt, 0, static_cast<uint64_t>(r), false);
        return S_OK;
    }
    case Value::Text:
    {
        Value number;
        HRESULT hr = ParseNumber(v, number);
        return FAILED(hr) ? hr : ToInteger(number, vt, dest);
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToDouble(const Value& v, double& out)
{
    switch (v.kind)
    {
    case Value::Empty: out = 0; return S_OK;
    case Value::Bool: out = v.b ? -1 : 0; return S_OK;
    case Value::Signed: out = static_cast<double>(v.i); return S_OK;
    case Value::Unsigned: out = static_cast<double>(v.u); return S_OK;
    case Value::Real: case Value::Date: out = v.r; return S_OK;
    case Value::Text:
    {
        Value number;
        HRESULT hr = ParseNumber(v, number);
        return FAILED(hr) ? hr : ToDouble(number, out);
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToText(const Value& v, USHORT flags, VARIANT& dest)
{
    std::string s;
    switch (v.kind)
    {
    case Value::Empty: break;
    case Value::Signed: s = std::to_string(v.i); break;
    case Value::Unsigned: s = std::to_string(v.u); break;
    case Value::Real: s = FormatReal(v.r, v.digits); break;
    case Value::Bool:
        s = (flags & VARIANT_ALPHABOOL) ? (v.b ? "True" : "False") : (v.b ? "-1" : "0");
        break;
    case Value::Date:
        s = FormatDate(v.r);
        if (s.empty())
            return DISP_E_OVERFLOW;
        break;
    case Value::Text:
        dest.vt = VT_BSTR;
        dest.bstrVal = SysAllocStringLen(v.text, v.textLength);
        return dest.bstrVal ? S_OK : E_OUTOFMEMORY;
    default: return DISP_E_TYPEMISMATCH;
    }
    dest.vt = VT_BSTR;
    dest.bstrVal = AllocAscii(s);
    return dest.bstrVal ? S_OK : E_OUTOFMEMORY;
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

HRESULT ToBool(const Value& v, VARIANT& dest)
{
    bool b = false;
    switch (v.kind)
    {
    case Value::Empty: break;
    case Value::Bool: b = v.b; break;
    case Value::Signed: b = v.i != 0; break;
    case Value::Unsigned: b = v.u != 0; break;
    case Value::Real: case Value::Date: b = v.r != 0; break;
    case Value::Text:
    {
        std::string s;
        if (!TrimmedAscii(v, s))
            return DISP_E_TYPEMISMATCH;
        if (EqualsNoCase(s, "True") || EqualsNoCase(s, "#TRUE#"))
            b = true;
        else if (EqualsNoCase(s, "False") || EqualsNoCase(s, "#FALSE#"))
            b = false;
        else
        {
            double d;
            HRESULT hr = ToDouble(v, d);
            if (FAILED(hr))
                return hr;
            b = d != 0;
        }
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    dest.vt = VT_BOOL;
    dest.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToObject(const Value& v, VARTYPE vt, VARIANT& dest)
{
    if (v.kind == Value::Empty)
    {
        dest.vt = vt;
        dest.punkVal = nullptr;
        return S_OK;
    }
    if (v.kind != Value::Object)
        return DISP_E_TYPEMISMATCH;
    dest.vt = vt;
    dest.punkVal = nullptr;
    if (v.object == nullptr)
        return S_OK;
    void* p = nullptr;
    HRESULT hr = v.object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr))
    {
        dest.vt = VT_EMPTY;
        return hr;
    }
    if (vt == VT_DISPATCH)
        dest.pdispVal = static_cast<IDispatch*>(p);
    else
        dest.punkVal = static_cast<IUnknown*>(p);
    return S_OK;
}

HRESULT Coerce(const Value& v, USHORT flags, VARTYPE vt, VARIANT& dest)
{
    if (v.kind == Value::Null)
        return vt == VT_NULL ? (dest.vt = VT_NULL, S_OK) : DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY)
        return S_OK; // dest is already empty
    if (vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (IsIntegerType(vt))
        return ToInteger(v, vt, dest);
    switch (vt)
    {
    case VT_R4:
    case VT_R8:
    {
        double d;
        HRESULT hr = ToDouble(v, d);
        if (FAILED(hr))
            return hr;
        if (vt == VT_R4)
        {
            if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
                return DISP_E_OVERFLOW;
            dest.vt = VT_R4;
            dest.fltVal = static_cast<float>(d);
        }
        else
        {
            dest.vt = VT_R8;
            dest.dblVal = d;
        }
        return S_OK;
    }
    case VT_DATE:
    {
        double d;
        HRESULT hr = v.kind == Value::Text ? ParseDate(v, d) : ToDouble(v, d);
        if (FAILED(hr))
            return hr;
        if (!(d >= -657434.0 && d < 2958466.0))
            return DISP_E_OVERFLOW;
        dest.vt = VT_DATE;
        dest.date = d;
        return S_OK;
    }
    case VT_BOOL: return ToBool(v, dest);
    case VT_BSTR: return ToText(v, flags, dest);
    case VT_UNKNOWN:
    case VT_DISPATCH: return ToObject(v, vt, dest);
    default: return DISP_E_BADVARTYPE;
    }
}

// The value behind an object: its default property (DISPID_VALUE), unless the caller forbids it.
HRESULT DefaultValue(const Value& v, USHORT flags, VARIANT& out)
{
    if (v.object == nullptr || v.objectType != VT_DISPATCH || (flags & VARIANT_NOVALUEPROP))
        return DISP_E_TYPEMISMATCH;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    HRESULT hr = static_cast<IDispatch*>(v.object)->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                                           &none, &out, nullptr, nullptr);
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}
} // namespace

void VariantInit(VARIANTARG* v)
{
    if (v == nullptr)
        return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* v)
{
    if (v == nullptr)
        return E_INVALIDARG;
    if (v->vt & VT_BYREF)
    {
        VariantInit(v);
        return S_OK;
    }
    if (v->vt & VT_ARRAY)
    {
        HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr))
            return hr;
    }
    else
    {
        switch (v->vt)
        {
        case VT_BSTR: SysFreeString(v->bstrVal); break;
        case VT_UNKNOWN:
            if (v->punkVal)
                v->punkVal->Release();
            break;
        case VT_DISPATCH:
            if (v->pdispVal)
                v->pdispVal->Release();
            break;
        default:
            if (!IsSupportedScalar(v->vt) && v->vt != VT_CY && v->vt != VT_DECIMAL && v->vt != VT_HRESULT)
                return DISP_E_BADVARTYPE;
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src)
{
    if (dest == nullptr || src == nullptr)
        return E_INVALIDARG;
    if (dest == src)
        return S_OK;
    VARIANT copy = *src;
    if (!(src->vt & VT_BYREF))
    {
        if (src->vt & VT_ARRAY)
        {
            copy.parray = nullptr;
            if (src->parray != nullptr)
            {
                HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
                if (FAILED(hr))
                    return hr;
            }
        }
        else if (src->vt == VT_BSTR && src->bstrVal != nullptr)
        {
            copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
            if (copy.bstrVal == nullptr)
                return E_OUTOFMEMORY;
        }
        else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr)
        {
            if (src->vt == VT_DISPATCH)
                src->pdispVal->AddRef();
            else
                src->punkVal->AddRef();
        }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr))
    {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt)
{
    if (dest == nullptr || src == nullptr)
        return E_INVALIDARG;
    if (vt & (VT_BYREF | VT_ARRAY))
        return vt == src->vt ? VariantCopy(dest, src) : DISP_E_BADVARTYPE;
    if (!IsSupportedScalar(vt))
        return DISP_E_BADVARTYPE;
    if (src->vt == vt)
        return VariantCopy(dest, src);
    if (src->vt & VT_ARRAY)
        return DISP_E_TYPEMISMATCH;

    Value v;
    HRESULT hr = (src->vt & VT_BYREF) ? (src->byref ? ReadValue(src->vt & VT_TYPEMASK, src->byref, v) : E_INVALIDARG)
                                      : ReadValue(src->vt, &src->llVal, v);
    if (FAILED(hr))
        return hr;

    VARIANT result;
    VariantInit(&result);
    VARIANT fromObject;
    VariantInit(&fromObject);
    if (v.kind == Value::Object && vt != VT_UNKNOWN && vt != VT_DISPATCH)
    {
        hr = DefaultValue(v, flags, fromObject);
        if (SUCCEEDED(hr))
            hr = VariantChangeType(&result, &fromObject, flags | VARIANT_NOVALUEPROP, vt);
        VariantClear(&fromObject);
    }
    else
        hr = Coerce(v, flags, vt, result);
    if (FAILED(hr))
    {
        VariantClear(&result);
        return hr;
    }
    // The source may be dest itself: clear only once the result is complete.
    hr = VariantClear(dest);
    if (FAILED(hr))
    {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID /*lcid*/, USHORT flags, VARTYPE vt)
{
    return VariantChangeType(dest, src, flags, vt);
}

HRESULT VarBstrCmp(BSTR left, BSTR right, LCID /*lcid*/, ULONG flags)
{
    const UINT leftLength = SysStringLen(left);
    const UINT rightLength = SysStringLen(right);
    if (leftLength == 0 || rightLength == 0)
    {
        if (leftLength == rightLength)
            return VARCMP_EQ;
        return leftLength == 0 ? VARCMP_LT : VARCMP_GT;
    }
    std::u32string a = Utf16ToUtf32(std::u16string_view(left, leftLength));
    std::u32string b = Utf16ToUtf32(std::u16string_view(right, rightLength));
    std::wstring wa(a.begin(), a.end());
    std::wstring wb(b.begin(), b.end());
    if (flags & NORM_IGNORECASE)
    {
        for (wchar_t& c : wa)
            c = static_cast<wchar_t>(std::towlower(c));
        for (wchar_t& c : wb)
            c = static_cast<wchar_t>(std::towlower(c));
    }
    int c = std::wcscoll(wa.c_str(), wb.c_str());
    if (c == 0)
        c = wa.compare(wb);
    return c < 0 ? VARCMP_LT : (c > 0 ? VARCMP_GT : VARCMP_EQ);
}

#include "Platform/Com/OleAuto.h"
#include "Platform/Win32/Utf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace
{
VARIANT Int(VARTYPE vt, int64_t x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt)
    {
    case VT_I1: v.cVal = static_cast<CHAR>(x); break;
    case VT_I2: v.iVal = static_cast<SHORT>(x); break;
    case VT_I4: v.lVal = static_cast<LONG>(x); break;
    case VT_INT: v.intVal = static_cast<INT>(x); break;
    default: v.llVal = x; break; // VT_I8
    }
    return v;
}

VARIANT UInt(VARTYPE vt, uint64_t x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt)
    {
    case VT_UI1: v.bVal = static_cast<BYTE>(x); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(x); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(x); break;
    case VT_UINT: v.uintVal = static_cast<UINT>(x); break;
    default: v.ullVal = x; break; // VT_UI8
    }
    return v;
}

VARIANT Real(VARTYPE vt, double x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    if (vt == VT_R4)
        v.fltVal = static_cast<float>(x);
    else
        v.dblVal = x; // VT_R8 and VT_DATE share the double
    return v;
}

VARIANT Text(const char16_t* s)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}

VARIANT Bool(bool b)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT Of(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

// "TYPE:value" of a result, so one table can hold every expected outcome.
std::string Describe(const VARIANT& v)
{
    char buffer[64];
    switch (v.vt)
    {
    case VT_EMPTY: return "EMPTY";
    case VT_NULL: return "NULL";
    case VT_I1: return "I1:" + std::to_string(v.cVal);
    case VT_UI1: return "UI1:" + std::to_string(v.bVal);
    case VT_I2: return "I2:" + std::to_string(v.iVal);
    case VT_UI2: return "UI2:" + std::to_string(v.uiVal);
    case VT_I4: return "I4:" + std::to_string(v.lVal);
    case VT_INT: return "INT:" + std::to_string(v.intVal);
    case VT_UI4: return "UI4:" + std::to_string(v.ulVal);
    case VT_UINT: return "UINT:" + std::to_string(v.uintVal);
    case VT_I8: return "I8:" + std::to_string(v.llVal);
    case VT_UI8: return "UI8:" + std::to_string(v.ullVal);
    case VT_R4: std::snprintf(buffer, sizeof buffer, "R4:%g", v.fltVal); return buffer;
    case VT_R8: std::snprintf(buffer, sizeof buffer, "R8:%.17g", v.dblVal); return buffer;
    case VT_DATE: std::snprintf(buffer, sizeof buffer, "DATE:%.17g", v.date); return buffer;
    case VT_BOOL: return "BOOL:" + std::to_string(v.boolVal);
    case VT_BSTR: return "BSTR:" + Utf16ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
    default: return "vt " + std::to_string(v.vt);
    }
}

struct Case
{
    VARIANT source;
    VARTYPE target;
    HRESULT hr;
    const char* expected; // Describe() of the result when hr succeeds
    USHORT flags = 0;
};

std::string Name(const Case& c)
{
    return Describe(c.source) + " -> vt " + std::to_string(c.target);
}
} // namespace

TEST(VariantChangeType, CoercionTable)
{
    const double nan = std::nan("");
    Case cases[] = {
        // VT_EMPTY is 0, "" or false.
        {Of(VT_EMPTY), VT_I1, S_OK, "I1:0"},
        {Of(VT_EMPTY), VT_UI4, S_OK, "UI4:0"},
        {Of(VT_EMPTY), VT_UI8, S_OK, "UI8:0"},
        {Of(VT_EMPTY), VT_R8, S_OK, "R8:0"},
        {Of(VT_EMPTY), VT_BSTR, S_OK, "BSTR:"},
        {Of(VT_EMPTY), VT_BOOL, S_OK, "BOOL:0"},
        {Of(VT_EMPTY), VT_DATE, S_OK, "DATE:0"},
        // Integer ranges at both edges.
        {Int(VT_I4, 127), VT_I1, S_OK, "I1:127"},
        {Int(VT_I4, 128), VT_I1, DISP_E_OVERFLOW, ""},
        {Int(VT_I4, -128), VT_I1, S_OK, "I1:-128"},
        {Int(VT_I4, 255), VT_UI1, S_OK, "UI1:255"},
        {Int(VT_I4, 256), VT_UI1, DISP_E_OVERFLOW, ""},
        {Int(VT_I1, -1), VT_UI1, DISP_E_OVERFLOW, ""},
        {Int(VT_I4, -32768), VT_I2, S_OK, "I2:-32768"},
        {Int(VT_I4, -32769), VT_I2, DISP_E_OVERFLOW, ""},
        {UInt(VT_UI4, 65535), VT_UI2, S_OK, "UI2:65535"},
        {UInt(VT_UI4, 65536), VT_UI2, DISP_E_OVERFLOW, ""},
        {UInt(VT_UI4, 0x80000000u), VT_I4, DISP_E_OVERFLOW, ""},
        {UInt(VT_UI4, 0x7FFFFFFFu), VT_INT, S_OK, "INT:2147483647"},
        {Int(VT_I4, -1), VT_UI4, DISP_E_OVERFLOW, ""},
        {Int(VT_I4, -1), VT_UINT, DISP_E_OVERFLOW, ""},
        {UInt(VT_UI8, UINT64_MAX), VT_I8, DISP_E_OVERFLOW, ""},
        {Int(VT_I8, -1), VT_UI8, DISP_E_OVERFLOW, ""},
        {Int(VT_I8, INT64_MAX), VT_UI8, S_OK, "UI8:9223372036854775807"},
        {Int(VT_I8, 1LL << 40), VT_UI4, DISP_E_OVERFLOW, ""},
        {UInt(VT_UI2, 300), VT_I8, S_OK, "I8:300"},
        {UInt(VT_UINT, 4000000000u), VT_UI4, S_OK, "UI4:4000000000"},
        // Reals round half to even; out of range or NaN overflow.
        {Real(VT_R8, 2.5), VT_I4, S_OK, "I4:2"},
        {Real(VT_R8, 3.5), VT_I4, S_OK, "I4:4"},
        {Real(VT_R8, -2.5), VT_I4, S_OK, "I4:-2"},
        {Real(VT_R4, 1.4), VT_I2, S_OK, "I2:1"},
        {Real(VT_R8, 1e10), VT_I4, DISP_E_OVERFLOW, ""},
        {Real(VT_R8, nan), VT_I4, DISP_E_OVERFLOW, ""},
        {Real(VT_R8, 4294967295.4), VT_UI4, S_OK, "UI4:4294967295"},
        {Real(VT_R8, 4294967295.5), VT_UI4, DISP_E_OVERFLOW, ""},
        {Real(VT_R8, -0.4), VT_UI4, S_OK, "UI4:0"},
        {Real(VT_R8, 1e300), VT_R4, DISP_E_OVERFLOW, ""},
        {Real(VT_R4, 0.5), VT_R8, S_OK, "R8:0.5"},
        {Int(VT_I4, 7), VT_R4, S_OK, "R4:7"},
        // Booleans are -1 and 0; unsigned targets take the bit pattern.
        {Bool(true), VT_I4, S_OK, "I4:-1"},
        {Bool(true), VT_UI1, S_OK, "UI1:255"},
        {Bool(false), VT_UI4, S_OK, "UI4:0"},
        {Bool(true), VT_R8, S_OK, "R8:-1"},
        {Bool(true), VT_BSTR, S_OK, "BSTR:-1"},
        {Bool(false), VT_BSTR, S_OK, "BSTR:0"},
        {Bool(true), VT_BSTR, S_OK, "BSTR:True", VARIANT_ALPHABOOL},
        {Int(VT_I4, 0), VT_BOOL, S_OK, "BOOL:0"},
        {Int(VT_I4, 5), VT_BOOL, S_OK, "BOOL:-1"},
        {Real(VT_R8, 0.25), VT_BOOL, S_OK, "BOOL:-1"},
        // Text to number, decimal.
        {Text(u"7"), VT_UI4, S_OK, "UI4:7"},
        {Text(u" 42 "), VT_I4, S_OK, "I4:42"},
        {Text(u"-5"), VT_UI4, DISP_E_OVERFLOW, ""},
        {Text(u"4294967296"), VT_UI4, DISP_E_OVERFLOW, ""},
        {Text(u"99999999999999999999"), VT_I8, DISP_E_OVERFLOW, ""},
        {Text(u"-9223372036854775808"), VT_I8, S_OK, "I8:-9223372036854775808"},
        {Text(u"18446744073709551615"), VT_UI8, S_OK, "UI8:18446744073709551615"},
        {Text(u"1.5"), VT_I4, S_OK, "I4:2"},
        {Text(u"2.5"), VT_I4, S_OK, "I4:2"},
        {Text(u"1e3"), VT_I4, S_OK, "I4:1000"},
        {Text(u"&HFF"), VT_I4, S_OK, "I4:255"},
        {Text(u"abc"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {Text(u""), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {Text(u"12abc"), VT_UI2, DISP_E_TYPEMISMATCH, ""},
        {Text(u"- 1"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {Text(u"1.25"), VT_R8, S_OK, "R8:1.25"},
        {Text(u"-0.5"), VT_R4, S_OK, "R4:-0.5"},
        {Text(u"x"), VT_R8, DISP_E_TYPEMISMATCH, ""},
        {Text(u"1e400"), VT_R8, DISP_E_OVERFLOW, ""},
        {Text(u"3.5e38"), VT_R4, DISP_E_OVERFLOW, ""},
        // Text to boolean.
        {Text(u"True"), VT_BOOL, S_OK, "BOOL:-1"},
        {Text(u"false"), VT_BOOL, S_OK, "BOOL:0"},
        {Text(u"-1"), VT_BOOL, S_OK, "BOOL:-1"},
        {Text(u"0"), VT_BOOL, S_OK, "BOOL:0"},
        {Text(u"yes"), VT_BOOL, DISP_E_TYPEMISMATCH, ""},
        // Numbers to text.
        {Int(VT_I4, -42), VT_BSTR, S_OK, "BSTR:-42"},
        {UInt(VT_UI8, UINT64_MAX), VT_BSTR, S_OK, "BSTR:18446744073709551615"},
        {Int(VT_I8, INT64_MIN), VT_BSTR, S_OK, "BSTR:-9223372036854775808"},
        {Real(VT_R8, 1.5), VT_BSTR, S_OK, "BSTR:1.5"},
        {Real(VT_R8, 0.1), VT_BSTR, S_OK, "BSTR:0.1"},
        {Real(VT_R4, 0.1), VT_BSTR, S_OK, "BSTR:0.1"},
        {Real(VT_R8, 1e20), VT_BSTR, S_OK, "BSTR:1E+20"},
        // Dates.
        {Real(VT_DATE, 45000.5), VT_BSTR, S_OK, "BSTR:3/15/2023 12:00:00 PM"},
        {Real(VT_DATE, 45000.0), VT_BSTR, S_OK, "BSTR:3/15/2023"},
        {Real(VT_DATE, 0.75), VT_BSTR, S_OK, "BSTR:6:00:00 PM"},
        {Text(u"2023-03-15 12:00:00"), VT_DATE, S_OK, "DATE:45000.5"},
        {Text(u"3/15/2023 6:00 PM"), VT_DATE, S_OK, "DATE:45000.75"},
        {Text(u"3/15/2023"), VT_DATE, S_OK, "DATE:45000"},
        {Text(u"2/30/2023"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
        {Text(u"25:00"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
        {Text(u"soon"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
        {Real(VT_DATE, 45000.5), VT_I4, S_OK, "I4:45000"},
        {Int(VT_I4, 45000), VT_DATE, S_OK, "DATE:45000"},
        {Real(VT_R8, 3e6), VT_DATE, DISP_E_OVERFLOW, ""},
        // VT_NULL converts to nothing else; unknown targets are bad types.
        {Of(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {Of(VT_NULL), VT_BSTR, DISP_E_TYPEMISMATCH, ""},
        {Int(VT_I4, 1), VT_CY, DISP_E_BADVARTYPE, ""},
        {Int(VT_I4, 1), VT_I4 | VT_BYREF, DISP_E_BADVARTYPE, ""},
    };
    for (Case& c : cases)
    {
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = VariantChangeType(&result, &c.source, c.flags, c.target);
        EXPECT_EQ(hr, c.hr) << Name(c);
        if (SUCCEEDED(hr))
            EXPECT_EQ(Describe(result), c.expected) << Name(c);
        else
            EXPECT_EQ(result.vt, VT_EMPTY) << Name(c) << ": a failed conversion leaves dest alone";
        VariantClear(&result);
        VariantClear(&c.source);
    }
}

TEST(VariantChangeType, InPlaceFreesTheSourceText)
{
    VARIANT v = Text(u"123");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_UI4), S_OK); // the sanitizer build catches a leak
    EXPECT_EQ(Describe(v), "UI4:123");
    VARIANT w = Text(u"junk");
    EXPECT_EQ(VariantChangeType(&w, &w, 0, VT_UI4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Describe(w), "BSTR:junk"); // unchanged on failure
    VariantClear(&w);
}

TEST(VariantChangeType, NeverReadsPastTheBstrLength)
{
    // "12" followed by garbage that is not part of the BSTR.
    const char16_t text[] = {u'1', u'2', u'x', u'y'};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text, 2);
    v.bstrVal[2] = u'9'; // overwrite the terminator: only the length may stop the scan
    VARIANT r;
    VariantInit(&r);
    ASSERT_EQ(VariantChangeType(&r, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(r.lVal, 12);
    v.bstrVal[2] = 0;
    VariantClear(&v);
}

TEST(VariantChangeType, ByReferenceSourceIsRead)
{
    LONG target = 77;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4 | VT_BYREF;
    v.plVal = &target;
    VARIANT r;
    VariantInit(&r);
    ASSERT_EQ(VariantChangeType(&r, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Describe(r), "BSTR:77");
    VariantClear(&r);
    EXPECT_EQ(VariantClear(&v), S_OK); // by-reference values own nothing
    EXPECT_EQ(target, 77);
}

namespace
{
// A counted object with an optional default property.
class Counted : public IDispatch
{
public:
    explicit Counted(bool dispatch) : mDispatch(dispatch) {}
    ULONG refs = 1;
    STDMETHOD(QueryInterface)(REFIID riid, void** out) override
    {
        if (riid == IID_IUnknown || (mDispatch && riid == IID_IDispatch))
        {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override
    {
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || result == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(u"31");
        return S_OK;
    }

private:
    bool mDispatch;
};
} // namespace

TEST(VariantChangeType, Objects)
{
    Counted plain(false), dual(true);
    VARIANT u;
    VariantInit(&u);
    u.vt = VT_UNKNOWN;
    u.punkVal = &plain;
    VARIANT r;
    VariantInit(&r);
    EXPECT_EQ(VariantChangeType(&r, &u, 0, VT_DISPATCH), E_NOINTERFACE);
    EXPECT_EQ(VariantChangeType(&r, &u, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs, 1u);

    VARIANT d;
    VariantInit(&d);
    d.vt = VT_DISPATCH;
    d.pdispVal = &dual;
    ASSERT_EQ(VariantChangeType(&r, &d, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(r.punkVal, static_cast<IUnknown*>(&dual));
    EXPECT_EQ(dual.refs, 2u);
    VariantClear(&r);
    EXPECT_EQ(dual.refs, 1u);
    // A dispatch object converts through its default property, unless the caller forbids it.
    ASSERT_EQ(VariantChangeType(&r, &d, 0, VT_UI2), S_OK);
    EXPECT_EQ(Describe(r), "UI2:31");
    EXPECT_EQ(VariantChangeType(&r, &d, VARIANT_NOVALUEPROP, VT_UI2), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dual.refs, 1u);
}

TEST(Variant, CopyAndClear)
{
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(VariantClear(&empty), S_OK);

    VARIANT s = Text(u"deep");
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &s), S_OK);
    EXPECT_NE(copy.bstrVal, s.bstrVal);
    EXPECT_EQ(Describe(copy), "BSTR:deep");
    // Copying over a string frees the old one (the sanitizer build checks).
    ASSERT_EQ(VariantCopy(&copy, &s), S_OK);
    VariantClear(&s);
    EXPECT_EQ(Describe(copy), "BSTR:deep");
    VariantClear(&copy);
    EXPECT_EQ(copy.vt, VT_EMPTY);

    Counted object(true);
    VARIANT o;
    VariantInit(&o);
    o.vt = VT_DISPATCH;
    o.pdispVal = &object;
    ASSERT_EQ(VariantCopy(&copy, &o), S_OK);
    EXPECT_EQ(object.refs, 2u);
    VariantClear(&copy);
    EXPECT_EQ(object.refs, 1u);
}

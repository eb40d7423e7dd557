// Owners of the COM boundary's resources: an interface reference (ComPtr), a BSTR (Bstr) and a VARIANT
// (Variant). Each releases what it holds when it goes, so an early return or a failing check leaks
// nothing. Out() hands the owner's slot to a call that stores a new resource there (the old one is
// released first); Get() lends without giving up ownership, as the conversions of ComPtr and Bstr to
// the raw type do for a call's argument; Detach() gives it up.
#pragma once

#include "Platform/Com/ObjectTemplates.h"
#include "Platform/Com/OleAuto.h"

#include <string>
#include <string_view>
#include <utility>

// The text of a BSTR; a null BSTR is the empty text.
inline std::u16string ToString(BSTR b)
{
    return std::u16string(b ? b : u"", SysStringLen(b));
}

// A BSTR's text without a copy (a null BSTR is empty); valid while the BSTR lives.
inline std::u16string_view ToView(BSTR b)
{
    return std::u16string_view(b ? b : u"", SysStringLen(b));
}

template <class I>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes over a reference the caller owns (as an out parameter hands one over).
    static ComPtr Adopt(I* p)
    {
        ComPtr owner;
        owner.mP = p;
        return owner;
    }
    // Shares p: adds a reference of its own.
    explicit ComPtr(I* p) : mP(p)
    {
        if (mP)
            mP->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.mP) {}
    ComPtr(ComPtr&& o) noexcept : mP(std::exchange(o.mP, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept
    {
        std::swap(mP, o.mP);
        return *this;
    }
    ~ComPtr() { Reset(); }

    I* operator->() const { return mP; }
    I* Get() const { return mP; }
    operator I*() const { return mP; } // lent to a call
    I** Out()
    {
        Reset();
        return &mP;
    }
    void** VoidOut() { return reinterpret_cast<void**>(Out()); }
    I* Detach() { return std::exchange(mP, nullptr); }
    void Reset()
    {
        if (I* p = std::exchange(mP, nullptr))
            p->Release();
    }
    // The object's interface J, or null (hr, when given, says why).
    template <class J>
    ComPtr<J> As(HRESULT* hr = nullptr) const
    {
        ComPtr<J> other;
        const HRESULT r = mP ? mP->QueryInterface(IidOf<J>(), other.VoidOut()) : E_POINTER;
        if (hr)
            *hr = r;
        return other;
    }

private:
    I* mP = nullptr;
};

class Bstr
{
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text) : mB(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    // Takes over a BSTR the caller owns.
    static Bstr Adopt(BSTR b)
    {
        Bstr owner;
        owner.mB = b;
        return owner;
    }
    Bstr(const Bstr& o) : mB(o.mB ? SysAllocStringLen(o.mB, SysStringLen(o.mB)) : nullptr) {}
    Bstr(Bstr&& o) noexcept : mB(std::exchange(o.mB, nullptr)) {}
    Bstr& operator=(Bstr o) noexcept
    {
        std::swap(mB, o.mB);
        return *this;
    }
    ~Bstr() { SysFreeString(mB); }

    BSTR Get() const { return mB; }
    operator BSTR() const { return mB; } // lent to a call
    BSTR* Out()
    {
        SysFreeString(std::exchange(mB, nullptr));
        return &mB;
    }
    BSTR Detach() { return std::exchange(mB, nullptr); }
    std::u16string Str() const { return ToString(mB); }
    UINT Length() const { return SysStringLen(mB); }
    bool Empty() const { return Length() == 0; }

private:
    BSTR mB = nullptr;
};

class Variant
{
public:
    Variant() { VariantInit(&mV); }
    // A text (VT_BSTR).
    explicit Variant(std::u16string_view text) : Variant()
    {
        mV.vt = VT_BSTR;
        mV.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    Variant(const Variant& o) : Variant() { VariantCopy(&mV, &o.mV); }
    explicit Variant(const VARIANT& v) : Variant() { VariantCopy(&mV, &v); }
    Variant(Variant&& o) noexcept : mV(o.mV) { VariantInit(&o.mV); }
    Variant& operator=(Variant o) noexcept
    {
        std::swap(mV, o.mV);
        return *this;
    }
    ~Variant() { VariantClear(&mV); }

    VARIANT& Get() { return mV; }
    const VARIANT& Get() const { return mV; }
    VARIANT* operator->() { return &mV; }
    const VARIANT* operator->() const { return &mV; }
    // The slot for a call that fills it; what was held is cleared first.
    VARIANT* Out()
    {
        VariantClear(&mV);
        return &mV;
    }
    // Hands the value over to a caller's out parameter (what it held is cleared); this one is empty after.
    void MoveTo(VARIANT* out)
    {
        VariantClear(out);
        *out = mV;
        VariantInit(&mV);
    }
    // The value converted to vt, or hr (when given) says why not.
    Variant ChangedTo(VARTYPE vt, HRESULT* hr = nullptr) const
    {
        Variant out;
        const HRESULT r = VariantChangeType(out.Out(), &mV, 0, vt);
        if (hr)
            *hr = r;
        return out;
    }
    // The value as text (VariantChangeType to VT_BSTR); ok tells whether it converted.
    std::u16string Text(bool* ok = nullptr) const
    {
        VARIANT text;
        VariantInit(&text);
        const bool converted = SUCCEEDED(VariantChangeType(&text, &mV, 0, VT_BSTR));
        std::u16string out = converted ? ToString(text.bstrVal) : std::u16string();
        VariantClear(&text);
        if (ok)
            *ok = converted;
        return out;
    }

private:
    VARIANT mV;
};

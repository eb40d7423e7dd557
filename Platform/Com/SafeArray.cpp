#include "Platform/Com/OleAuto.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace
{
// The element type is kept in a prefix before the descriptor, where FADF_HAVEVARTYPE says it is.
const size_t kPrefix = 16;

ULONG ElementSize(VARTYPE vt)
{
    switch (vt)
    {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: case VT_DISPATCH: return sizeof(IUnknown*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

VARTYPE TypeOf(const SAFEARRAY* sa)
{
    VARTYPE vt;
    std::memcpy(&vt, reinterpret_cast<const unsigned char*>(sa) - kPrefix, sizeof vt);
    return vt;
}

// Number of elements, or 0 when it would not fit in memory (counts are limited to 2^31).
ULONG ElementCount(const SAFEARRAY* sa)
{
    uint64_t n = 1;
    for (USHORT d = 0; d < sa->cDims; ++d)
    {
        n *= sa->rgsabound[d].cElements;
        if (n > 0x7FFFFFFFu)
            return 0;
    }
    return static_cast<ULONG>(n);
}

bool TooLarge(const SAFEARRAY* sa)
{
    for (USHORT d = 0; d < sa->cDims; ++d)
        if (sa->rgsabound[d].cElements == 0)
            return false;
    return ElementCount(sa) == 0;
}

SAFEARRAY* AllocDescriptor(VARTYPE vt, UINT dims)
{
    const size_t bytes = kPrefix + sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<unsigned char*>(std::calloc(1, bytes));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &vt, sizeof vt);
    auto* sa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
    sa->cDims = static_cast<USHORT>(dims);
    sa->cbElements = ElementSize(vt);
    sa->fFeatures = FADF_HAVEVARTYPE;
    if (vt == VT_BSTR)
        sa->fFeatures |= FADF_BSTR;
    else if (vt == VT_UNKNOWN)
        sa->fFeatures |= FADF_UNKNOWN;
    else if (vt == VT_DISPATCH)
        sa->fFeatures |= FADF_DISPATCH;
    else if (vt == VT_VARIANT)
        sa->fFeatures |= FADF_VARIANT;
    return sa;
}

void FreeDescriptor(SAFEARRAY* sa)
{
    std::free(reinterpret_cast<unsigned char*>(sa) - kPrefix);
}

// Releases what the elements own.
void ClearElements(SAFEARRAY* sa)
{
    const ULONG n = ElementCount(sa);
    auto* data = static_cast<unsigned char*>(sa->pvData);
    for (ULONG k = 0; k < n && data; ++k)
    {
        void* e = data + size_t(k) * sa->cbElements;
        if (sa->fFeatures & FADF_BSTR)
            SysFreeString(*static_cast<BSTR*>(e));
        else if (sa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH))
        {
            IUnknown* p = *static_cast<IUnknown**>(e);
            if (p)
                p->Release();
        }
        else if (sa->fFeatures & FADF_VARIANT)
            VariantClear(static_cast<VARIANT*>(e));
    }
}

// Address of the element at indices (rgIndices[0] is the least significant dimension).
HRESULT ElementAt(SAFEARRAY* sa, const LONG* indices, void** element)
{
    if (sa == nullptr || indices == nullptr)
        return E_INVALIDARG;
    size_t offset = 0;
    size_t stride = 1;
    for (USHORT d = 0; d < sa->cDims; ++d)
    {
        const SAFEARRAYBOUND& b = sa->rgsabound[d];
        const int64_t i = int64_t(indices[d]) - b.lLbound;
        if (i < 0 || i >= int64_t(b.cElements))
            return DISP_E_BADINDEX;
        offset += size_t(i) * stride;
        stride *= b.cElements;
    }
    *element = static_cast<unsigned char*>(sa->pvData) + offset * sa->cbElements;
    return S_OK;
}

// Copies one element into place as the element type requires.
HRESULT CopyElement(VARTYPE vt, void* dest, const void* src, bool destInitialized)
{
    switch (vt)
    {
    case VT_VARIANT:
        if (!destInitialized)
            VariantInit(static_cast<VARIANT*>(dest));
        return VariantCopy(static_cast<VARIANT*>(dest), static_cast<const VARIANT*>(src));
    case VT_BSTR:
    {
        BSTR s = *static_cast<const BSTR*>(src);
        BSTR copy = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
        if (s && !copy)
            return E_OUTOFMEMORY;
        if (destInitialized)
            SysFreeString(*static_cast<BSTR*>(dest));
        *static_cast<BSTR*>(dest) = copy;
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH:
    {
        IUnknown* p = *static_cast<IUnknown* const*>(src);
        if (p)
            p->AddRef();
        IUnknown*& slot = *static_cast<IUnknown**>(dest);
        if (destInitialized && slot)
            slot->Release();
        slot = p;
        return S_OK;
    }
    default:
        std::memcpy(dest, src, ElementSize(vt));
        return S_OK;
    }
}
} // namespace

// calloc'ed descriptor and data.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds)
{
    if (dims == 0 || dims > 0xFFFF || bounds == nullptr || ElementSize(vt) == 0)
        return nullptr;
    SAFEARRAY* sa = AllocDescriptor(vt, dims);
    if (sa == nullptr)
        return nullptr;
    // Windows keeps the bounds in reverse order: rgsabound[0] is the last dimension.
    for (UINT d = 0; d < dims; ++d)
        sa->rgsabound[d] = bounds[dims - 1 - d];
    if (TooLarge(sa))
    {
        FreeDescriptor(sa);
        return nullptr;
    }
    const size_t n = ElementCount(sa);
    sa->pvData = std::calloc(n ? n : 1, sa->cbElements);
    if (sa->pvData == nullptr)
    {
        FreeDescriptor(sa);
        return nullptr;
    }
    return sa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements)
{
    SAFEARRAYBOUND bound = {elements, lowerBound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* sa)
{
    if (sa == nullptr)
        return S_OK;
    if (sa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    ClearElements(sa);
    std::free(sa->pvData);
    FreeDescriptor(sa);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy)
{
    if (source == nullptr || copy == nullptr)
        return E_INVALIDARG;
    *copy = nullptr;
    const VARTYPE vt = TypeOf(source);
    SAFEARRAY* sa = AllocDescriptor(vt, source->cDims);
    if (sa == nullptr)
        return E_OUTOFMEMORY;
    for (USHORT d = 0; d < source->cDims; ++d)
        sa->rgsabound[d] = source->rgsabound[d];
    const ULONG n = ElementCount(sa);
    sa->pvData = std::calloc(n ? n : 1, sa->cbElements);
    if (sa->pvData == nullptr)
    {
        FreeDescriptor(sa);
        return E_OUTOFMEMORY;
    }
    for (ULONG k = 0; k < n; ++k)
    {
        HRESULT hr = CopyElement(vt, static_cast<unsigned char*>(sa->pvData) + size_t(k) * sa->cbElements,
                                 static_cast<unsigned char*>(source->pvData) + size_t(k) * sa->cbElements,
                                 false);
        if (FAILED(hr))
        {
            SafeArrayDestroy(sa);
            return hr;
        }
    }
    *copy = sa;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* sa)
{
    return sa ? sa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* sa)
{
    return sa ? sa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* sa, VARTYPE* vt)
{
    if (sa == nullptr || vt == nullptr)
        return E_INVALIDARG;
    *vt = TypeOf(sa);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* sa, UINT dim, LONG* bound)
{
    if (sa == nullptr || bound == nullptr)
        return E_INVALIDARG;
    if (dim < 1 || dim > sa->cDims)
        return DISP_E_BADINDEX;
    *bound = sa->rgsabound[sa->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* sa, UINT dim, LONG* bound)
{
    if (sa == nullptr || bound == nullptr)
        return E_INVALIDARG;
    if (dim < 1 || dim > sa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = sa->rgsabound[sa->cDims - dim];
    *bound = static_cast<LONG>(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* sa, LONG* indices, void* value)
{
    void* element = nullptr;
    HRESULT hr = ElementAt(sa, indices, &element);
    if (FAILED(hr))
        return hr;
    const VARTYPE vt = TypeOf(sa);
    if (value == nullptr && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH)
        return E_INVALIDARG;
    // BSTR and interface elements are passed by value, everything else by address.
    void* source = value;
    if (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH)
        source = &value;
    return CopyElement(vt, element, source, true);
}

HRESULT SafeArrayGetElement(SAFEARRAY* sa, LONG* indices, void* value)
{
    if (value == nullptr)
        return E_INVALIDARG;
    void* element = nullptr;
    HRESULT hr = ElementAt(sa, indices, &element);
    if (FAILED(hr))
        return hr;
    return CopyElement(TypeOf(sa), value, element, false);
}

HRESULT SafeArrayLock(SAFEARRAY* sa)
{
    if (sa == nullptr)
        return E_INVALIDARG;
    ++sa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* sa)
{
    if (sa == nullptr)
        return E_INVALIDARG;
    if (sa->cLocks == 0)
        return E_UNEXPECTED;
    --sa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* sa, void** data)
{
    if (sa == nullptr || data == nullptr)
        return E_INVALIDARG;
    ++sa->cLocks;
    *data = sa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* sa)
{
    return SafeArrayUnlock(sa);
}

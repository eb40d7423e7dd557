#include "Platform/Com/Dispatch.h"
#include "Platform/Com/TypeLib.h"
#include "Platform/Win32/Errors.h"

#include <cstdlib>
#include <cstring>

HRESULT ContainingTypeLib(ITypeLib* library, UINT position, ITypeLib** lib, UINT* index)
{
    if (lib == nullptr)
        return E_INVALIDARG;
    *lib = library;
    if (library == nullptr)
        return E_NOTIMPL; // not part of a library this process made
    library->AddRef();
    if (index)
        *index = position;
    return S_OK;
}

namespace
{
bool SameName(const char16_t* a, const OLECHAR* b)
{
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; };
    for (; *a && *b; ++a, ++b)
        if (fold(*a) != fold(*b))
            return false;
    return *a == 0 && *b == 0;
}

BSTR Copy(const char16_t* text)
{
    return SysAllocString(text ? text : u"");
}

const DispatchMember* FindMember(const std::vector<DispatchMember>& members, DISPID id, DispatchKind kind)
{
    for (const DispatchMember& m : members)
        if (m.id == id && m.kind == kind)
            return &m;
    return nullptr;
}

// The member that flags ask for. A call with both METHOD and PROPERTYGET takes either.
const DispatchMember* Select(const std::vector<DispatchMember>& members, DISPID id, WORD flags)
{
    if (flags & DISPATCH_PROPERTYPUT)
        return FindMember(members, id, DispatchKind::PropPut);
    if (flags & DISPATCH_PROPERTYPUTREF)
        return FindMember(members, id, DispatchKind::PropPutRef);
    const DispatchMember* m = nullptr;
    if (flags & DISPATCH_METHOD)
        m = FindMember(members, id, DispatchKind::Method);
    if (m == nullptr && (flags & DISPATCH_PROPERTYGET))
        m = FindMember(members, id, DispatchKind::PropGet);
    return m;
}

// Moves the thread's error information for a failed call into excepInfo.
void FillExcepInfo(HRESULT hr, EXCEPINFO* e)
{
    std::memset(e, 0, sizeof *e);
    e->scode = hr;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info)
    {
        info->GetSource(&e->bstrSource);
        info->GetDescription(&e->bstrDescription);
        info->GetHelpFile(&e->bstrHelpFile);
        info->GetHelpContext(&e->dwHelpContext);
        info->Release();
        return;
    }
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n > 0)
        e->bstrDescription = SysAllocStringLen(text, n);
    LocalFree(text);
}

// Type information over one table. It lives as long as the table; its count is only kept.
class TableTypeInfo final : public ITypeInfo
{
public:
    explicit TableTypeInfo(const DispatchTable& table) : mTable(table) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeInfo)
        {
            *out = static_cast<ITypeInfo*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }

    STDMETHOD(GetTypeAttr)(TYPEATTR** attr) override
    {
        if (attr == nullptr)
            return E_INVALIDARG;
        auto* a = static_cast<TYPEATTR*>(std::calloc(1, sizeof(TYPEATTR)));
        if (a == nullptr)
            return E_OUTOFMEMORY;
        a->guid = mTable.Iid();
        a->lcid = 0x409;
        a->memidConstructor = MEMBERID_NIL;
        a->memidDestructor = MEMBERID_NIL;
        a->typekind = TKIND_DISPATCH;
        a->cFuncs = static_cast<WORD>(mTable.Members().size());
        a->cbSizeVft = static_cast<WORD>(7 * sizeof(void*));
        a->cbAlignment = sizeof(void*);
        a->wTypeFlags = mTable.Dual() ? TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE : TYPEFLAG_FDISPATCHABLE;
        a->wMajorVerNum = 1;
        *attr = a;
        return S_OK;
    }
    STDMETHOD(GetFuncDesc)(UINT index, FUNCDESC** desc) override
    {
        if (desc == nullptr)
            return E_INVALIDARG;
        *desc = nullptr;
        if (index >= mTable.Members().size())
            return TYPE_E_ELEMENTNOTFOUND;
        const DispatchMember& m = mTable.Members()[index];
        auto* d = static_cast<FUNCDESC*>(std::calloc(1, sizeof(FUNCDESC)));
        auto* params = static_cast<ELEMDESC*>(std::calloc(m.params.size() + 1, sizeof(ELEMDESC)));
        if (d == nullptr || params == nullptr)
        {
            std::free(d);
            std::free(params);
            return E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < m.params.size(); ++i)
        {
            params[i].tdesc.vt = m.params[i];
            params[i].paramdesc.wParamFlags = PARAMFLAG_FIN;
        }
        d->memid = m.id;
        d->lprgelemdescParam = params;
        d->funckind = FUNC_DISPATCH;
        d->invkind = static_cast<INVOKEKIND>(m.kind);
        d->callconv = CC_STDCALL;
        d->cParams = static_cast<SHORT>(m.params.size());
        d->oVft = static_cast<SHORT>((7 + index) * sizeof(void*));
        d->elemdescFunc.tdesc.vt = m.result == VT_EMPTY ? VARTYPE(VT_HRESULT) : m.result;
        *desc = d;
        return S_OK;
    }
    STDMETHOD(GetNames)(MEMBERID id, BSTR* names, UINT maxNames, UINT* count) override
    {
        if (names == nullptr || count == nullptr)
            return E_INVALIDARG;
        *count = 0;
        // The member's name, then its parameters' names (from the first member of that id that has them).
        const DispatchMember* found = nullptr;
        for (const DispatchMember& m : mTable.Members())
            if (m.id == id && (found == nullptr || (found->paramNames.empty() && !m.paramNames.empty())))
                found = &m;
        if (found == nullptr)
            return TYPE_E_ELEMENTNOTFOUND;
        if (maxNames > 0)
            names[(*count)++] = Copy(found->name);
        for (const char16_t* p : found->paramNames)
            if (*count < maxNames)
                names[(*count)++] = Copy(p);
        return S_OK;
    }
    STDMETHOD(GetIDsOfNames)(LPOLESTR* names, UINT count, MEMBERID* ids) override
    {
        return mTable.GetIDsOfNames(IID_NULL, names, count, ids);
    }
    STDMETHOD(Invoke)(void* instance, MEMBERID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override
    {
        return mTable.Invoke(static_cast<IDispatch*>(instance), id, IID_NULL, flags, params, result, excepInfo,
                             argErr);
    }
    STDMETHOD(GetDocumentation)(MEMBERID id, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override
    {
        const char16_t* n = nullptr;
        const char16_t* d = nullptr;
        if (id == MEMBERID_NIL)
        {
            n = mTable.Name();
            d = mTable.Doc();
        }
        else
            for (const DispatchMember& m : mTable.Members())
                if (m.id == id)
                {
                    n = m.name;
                    d = m.doc;
                    break;
                }
        if (n == nullptr)
            return TYPE_E_ELEMENTNOTFOUND;
        if (name)
            *name = Copy(n);
        if (doc)
            *doc = Copy(d);
        if (helpContext)
            *helpContext = 0;
        if (helpFile)
            *helpFile = nullptr;
        return S_OK;
    }
    STDMETHOD(GetTypeComp)(ITypeComp**) override { return E_NOTIMPL; }
    STDMETHOD(GetVarDesc)(UINT, tagVARDESC**) override { return E_NOTIMPL; }
    STDMETHOD(GetRefTypeOfImplType)(UINT, HREFTYPE*) override { return E_NOTIMPL; }
    STDMETHOD(GetImplTypeFlags)(UINT, INT*) override { return E_NOTIMPL; }
    STDMETHOD(GetDllEntry)(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    STDMETHOD(GetRefTypeInfo)(HREFTYPE, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(AddressOfMember)(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
    STDMETHOD(CreateInstance)(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHOD(GetMops)(MEMBERID, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(GetContainingTypeLib)(ITypeLib** lib, UINT* index) override
    {
        return ContainingTypeLib(mTable.Library(), mTable.LibraryIndex(), lib, index);
    }
    STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* attr) override { std::free(attr); }
    STDMETHOD_(void, ReleaseFuncDesc)(FUNCDESC* desc) override
    {
        if (desc)
            std::free(desc->lprgelemdescParam);
        std::free(desc);
    }
    STDMETHOD_(void, ReleaseVarDesc)(tagVARDESC*) override {}

    // Deleted by the table that owns it.
    void Destroy() { delete this; }

private:
    ~TableTypeInfo() = default;
    const DispatchTable& mTable;
};
} // namespace

DispatchTable::DispatchTable(const IID& iid, const char16_t* name, const char16_t* doc,
                             std::vector<DispatchMember> members)
    : mIid(&iid), mName(name), mDoc(doc), mMembers(std::move(members)), mTypeInfo(new TableTypeInfo(*this))
{
}

DispatchTable::DispatchTable(const IID& iid, const char16_t* name, const char16_t* doc, const DispatchTable& base,
                             std::vector<DispatchMember> members)
    : DispatchTable(iid, name, doc, base.Members())
{
    mMembers.insert(mMembers.end(), members.begin(), members.end());
}

DispatchTable::DispatchTable(DispinterfaceTag, const IID& iid, const char16_t* name, const char16_t* doc,
                             std::vector<DispatchMember> members)
    : DispatchTable(iid, name, doc, std::move(members))
{
    mDual = false;
}

DispatchTable::~DispatchTable()
{
    static_cast<TableTypeInfo*>(mTypeInfo)->Destroy();
}

HRESULT DispatchTable::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) const
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    if (count == 0)
        return S_OK;
    // The member, then its parameters by name: a parameter's id is its position.
    const DispatchMember* found = nullptr;
    for (const DispatchMember& m : mMembers)
        if (names[0] && SameName(m.name, names[0]) &&
            (found == nullptr || (found->paramNames.empty() && !m.paramNames.empty())))
            found = &m;
    if (found == nullptr)
        return DISP_E_UNKNOWNNAME;
    ids[0] = found->id;
    for (UINT i = 1; i < count; ++i)
    {
        for (size_t p = 0; p < found->paramNames.size(); ++p)
            if (names[i] && SameName(found->paramNames[p], names[i]))
                ids[i] = static_cast<DISPID>(p);
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchTable::Invoke(IDispatch* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) const
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr))
        return E_INVALIDARG;
    const DispatchMember* m = Select(mMembers, id, flags);
    if (m == nullptr)
        return DISP_E_MEMBERNOTFOUND;
    if (m->thunk == nullptr)
        return E_NOTIMPL; // a pure dispatch interface is implemented by sinks, not here
    const bool put = m->kind == DispatchKind::PropPut || m->kind == DispatchKind::PropPutRef;
    const bool putValue = put && params->cNamedArgs == 1 && params->rgdispidNamedArgs &&
                          params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if (params->cNamedArgs > 0 && !putValue && (m->paramNames.empty() || params->rgdispidNamedArgs == nullptr))
        return DISP_E_NONAMEDARGS;
    if (params->cArgs != m->params.size())
        return DISP_E_BADPARAMCOUNT;

    // Positional arguments arrive last first after the named ones: positional parameter i is
    // rgvarg[cArgs - 1 - i]; a named argument j is parameter rgdispidNamedArgs[j].
    const UINT n = params->cArgs;
    std::vector<UINT> slotOf(n); // the rgvarg index of each parameter
    if (putValue || params->cNamedArgs == 0)
        for (UINT i = 0; i < n; ++i)
            slotOf[i] = n - 1 - i;
    else
    {
        const UINT named = params->cNamedArgs, positional = n - named;
        std::vector<bool> taken(n, false);
        for (UINT i = 0; i < positional; ++i)
        {
            slotOf[i] = n - 1 - i;
            taken[i] = true;
        }
        for (UINT j = 0; j < named; ++j)
        {
            const DISPID p = params->rgdispidNamedArgs[j];
            if (p < 0 || static_cast<UINT>(p) >= n || taken[p])
            {
                if (argErr)
                    *argErr = j;
                return DISP_E_PARAMNOTFOUND;
            }
            slotOf[p] = j;
            taken[p] = true;
        }
    }
    std::vector<VARIANT> args(n);
    HRESULT hr = S_OK;
    UINT converted = 0;
    for (; converted < n; ++converted)
    {
        VARIANT& a = args[converted];
        VariantInit(&a);
        const VARIANT& source = params->rgvarg[slotOf[converted]];
        const VARTYPE vt = m->params[converted];
        hr = vt == VT_VARIANT ? VariantCopy(&a, &source) : VariantChangeType(&a, &source, 0, vt);
        if (FAILED(hr))
        {
            if (argErr)
                *argErr = slotOf[converted];
            if (hr != DISP_E_OVERFLOW)
                hr = DISP_E_TYPEMISMATCH;
            break;
        }
    }
    if (SUCCEEDED(hr))
    {
        if (result)
            VariantInit(result);
        hr = m->thunk(self, args.data(), m->result, result);
        if (FAILED(hr) && excepInfo)
        {
            FillExcepInfo(hr, excepInfo);
            hr = DISP_E_EXCEPTION;
        }
    }
    for (UINT i = 0; i < converted && i < n; ++i)
        VariantClear(&args[i]);
    return hr;
}

namespace dispatch_detail
{
HRESULT ReadInteger(const VARIANT& v, int64_t& out)
{
    switch (v.vt)
    {
    case VT_I1: out = v.cVal; return S_OK;
    case VT_UI1: out = v.bVal; return S_OK;
    case VT_I2: out = v.iVal; return S_OK;
    case VT_BOOL: out = v.boolVal; return S_OK;
    case VT_UI2: out = v.uiVal; return S_OK;
    case VT_I4: case VT_INT: case VT_ERROR: out = v.lVal; return S_OK;
    case VT_UI4: case VT_UINT: out = v.ulVal; return S_OK;
    case VT_I8: case VT_UI8: out = v.llVal; return S_OK;
    case VT_EMPTY: out = 0; return S_OK;
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ReadReal(const VARIANT& v, double& out)
{
    switch (v.vt)
    {
    case VT_R4: out = v.fltVal; return S_OK;
    case VT_R8: case VT_DATE: out = v.dblVal; return S_OK;
    default:
    {
        int64_t i = 0;
        HRESULT hr = ReadInteger(v, i);
        out = static_cast<double>(i);
        return hr;
    }
    }
}

HRESULT StoreInteger(VARIANT* r, VARTYPE vt, int64_t value)
{
    VariantInit(r);
    r->vt = vt;
    switch (vt)
    {
    case VT_I1: r->cVal = static_cast<CHAR>(value); return S_OK;
    case VT_UI1: r->bVal = static_cast<BYTE>(value); return S_OK;
    case VT_I2: r->iVal = static_cast<SHORT>(value); return S_OK;
    case VT_BOOL: r->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; return S_OK;
    case VT_UI2: r->uiVal = static_cast<USHORT>(value); return S_OK;
    case VT_I4: case VT_INT: case VT_ERROR: r->lVal = static_cast<LONG>(value); return S_OK;
    case VT_UI4: case VT_UINT: r->ulVal = static_cast<ULONG>(value); return S_OK;
    case VT_I8: case VT_UI8: r->llVal = value; return S_OK;
    case VT_R4: case VT_R8: case VT_DATE: return StoreReal(r, vt, static_cast<double>(value));
    default: r->vt = VT_EMPTY; return DISP_E_BADVARTYPE;
    }
}

HRESULT StoreReal(VARIANT* r, VARTYPE vt, double value)
{
    VariantInit(r);
    r->vt = vt;
    switch (vt)
    {
    case VT_R4: r->fltVal = static_cast<float>(value); return S_OK;
    case VT_R8: case VT_DATE: r->dblVal = value; return S_OK;
    default: r->vt = VT_EMPTY; return DISP_E_BADVARTYPE;
    }
}
} // namespace dispatch_detail

#include "Platform/Com/TypeLib.h"

#include <cstdlib>
#include <memory>

namespace
{
BSTR Copy(const char16_t* text)
{
    return SysAllocString(text ? text : u"");
}

bool SameName(const char16_t* a, const OLECHAR* b)
{
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c; };
    for (; *a && *b; ++a, ++b)
        if (fold(*a) != fold(*b))
            return false;
    return *a == 0 && *b == 0;
}

HRESULT Documentation(const char16_t* n, const char16_t* d, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile)
{
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

// Type information that lives as long as the process; what it does not describe answers E_NOTIMPL.
class StaticTypeInfo : public ITypeInfo
{
public:
    virtual ~StaticTypeInfo() = default; // owned and deleted by the library
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
    STDMETHOD(GetTypeComp)(ITypeComp**) override { return E_NOTIMPL; }
    STDMETHOD(GetFuncDesc)(UINT, FUNCDESC**) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHOD(GetVarDesc)(UINT, VARDESC**) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHOD(GetRefTypeOfImplType)(UINT, HREFTYPE*) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHOD(GetImplTypeFlags)(UINT, INT*) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHOD(Invoke)(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetDllEntry)(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    STDMETHOD(GetRefTypeInfo)(HREFTYPE, ITypeInfo**) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHOD(AddressOfMember)(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
    STDMETHOD(CreateInstance)(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHOD(GetMops)(MEMBERID, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(GetContainingTypeLib)(ITypeLib** lib, UINT* index) override
    {
        return ContainingTypeLib(mLibrary, mIndex, lib, index);
    }
    STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* attr) override { std::free(attr); }
    STDMETHOD_(void, ReleaseFuncDesc)(FUNCDESC* desc) override { std::free(desc); }
    STDMETHOD_(void, ReleaseVarDesc)(VARDESC* desc) override
    {
        if (desc && desc->varkind == VAR_CONST && desc->lpvarValue)
            VariantClear(desc->lpvarValue);
        std::free(desc);
    }

    void Attach(ITypeLib* library, UINT index)
    {
        mLibrary = library;
        mIndex = index;
    }

protected:
    TYPEATTR* NewAttr(const GUID& guid, TYPEKIND kind)
    {
        auto* a = static_cast<TYPEATTR*>(std::calloc(1, sizeof(TYPEATTR)));
        if (a == nullptr)
            return nullptr;
        a->guid = guid;
        a->lcid = 0x409;
        a->memidConstructor = MEMBERID_NIL;
        a->memidDestructor = MEMBERID_NIL;
        a->typekind = kind;
        a->cbAlignment = sizeof(void*);
        a->wMajorVerNum = 1;
        return a;
    }

private:
    ITypeLib* mLibrary = nullptr;
    UINT mIndex = 0;
};

// An enumeration: its constants as variables of kind VAR_CONST, member ids 0x40000000 + position.
class EnumTypeInfo final : public StaticTypeInfo
{
public:
    explicit EnumTypeInfo(EnumDescription e) : mEnum(std::move(e)) {}
    const EnumDescription& Description() const { return mEnum; }
    static MEMBERID IdOf(size_t position) { return static_cast<MEMBERID>(0x40000000 + position); }

    STDMETHOD(GetTypeAttr)(TYPEATTR** attr) override
    {
        if (attr == nullptr)
            return E_INVALIDARG;
        *attr = NewAttr(GUID_NULL, TKIND_ENUM);
        if (*attr == nullptr)
            return E_OUTOFMEMORY;
        (*attr)->cVars = static_cast<WORD>(mEnum.constants.size());
        (*attr)->cbSizeInstance = 4;
        return S_OK;
    }
    STDMETHOD(GetVarDesc)(UINT index, VARDESC** desc) override
    {
        if (desc == nullptr)
            return E_INVALIDARG;
        *desc = nullptr;
        if (index >= mEnum.constants.size())
            return TYPE_E_ELEMENTNOTFOUND;
        // The description and its value in one block, freed by ReleaseVarDesc.
        auto* d = static_cast<VARDESC*>(std::calloc(1, sizeof(VARDESC) + sizeof(VARIANT)));
        if (d == nullptr)
            return E_OUTOFMEMORY;
        auto* value = reinterpret_cast<VARIANT*>(d + 1);
        VariantInit(value);
        value->vt = VT_I4;
        value->lVal = mEnum.constants[index].value;
        d->memid = IdOf(index);
        d->lpvarValue = value;
        d->elemdescVar.tdesc.vt = VT_I4;
        d->varkind = VAR_CONST;
        *desc = d;
        return S_OK;
    }
    STDMETHOD(GetNames)(MEMBERID id, BSTR* names, UINT maxNames, UINT* count) override
    {
        if (names == nullptr || count == nullptr)
            return E_INVALIDARG;
        *count = 0;
        const size_t position = static_cast<size_t>(id) - 0x40000000;
        if (id < 0x40000000 || position >= mEnum.constants.size())
            return TYPE_E_ELEMENTNOTFOUND;
        if (maxNames > 0)
            names[(*count)++] = Copy(mEnum.constants[position].name);
        return S_OK;
    }
    STDMETHOD(GetIDsOfNames)(LPOLESTR* names, UINT count, MEMBERID* ids) override
    {
        if (names == nullptr || ids == nullptr)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i)
        {
            ids[i] = MEMBERID_NIL;
            for (size_t p = 0; p < mEnum.constants.size(); ++p)
                if (names[i] && SameName(mEnum.constants[p].name, names[i]))
                    ids[i] = IdOf(p);
            if (ids[i] == MEMBERID_NIL)
                hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    STDMETHOD(GetDocumentation)(MEMBERID id, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override
    {
        if (id == MEMBERID_NIL)
            return Documentation(mEnum.name, mEnum.doc, name, doc, helpContext, helpFile);
        const size_t position = static_cast<size_t>(id) - 0x40000000;
        if (id < 0x40000000 || position >= mEnum.constants.size())
            return TYPE_E_ELEMENTNOTFOUND;
        return Documentation(mEnum.constants[position].name, u"", name, doc, helpContext, helpFile);
    }

private:
    EnumDescription mEnum;
};

// A class: the interfaces it offers, by reference to their type information (href = position).
class CoclassTypeInfo final : public StaticTypeInfo
{
public:
    explicit CoclassTypeInfo(CoclassDescription c) : mClass(std::move(c)) {}
    const CoclassDescription& Description() const { return mClass; }

    STDMETHOD(GetTypeAttr)(TYPEATTR** attr) override
    {
        if (attr == nullptr)
            return E_INVALIDARG;
        *attr = NewAttr(*mClass.clsid, TKIND_COCLASS);
        if (*attr == nullptr)
            return E_OUTOFMEMORY;
        (*attr)->cImplTypes = static_cast<WORD>(mClass.interfaces.size());
        return S_OK;
    }
    STDMETHOD(GetRefTypeOfImplType)(UINT index, HREFTYPE* ref) override
    {
        if (ref == nullptr)
            return E_INVALIDARG;
        if (index >= mClass.interfaces.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *ref = index;
        return S_OK;
    }
    STDMETHOD(GetImplTypeFlags)(UINT index, INT* flags) override
    {
        if (flags == nullptr)
            return E_INVALIDARG;
        if (index >= mClass.interfaces.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *flags = mClass.interfaces[index].flags;
        return S_OK;
    }
    STDMETHOD(GetRefTypeInfo)(HREFTYPE ref, ITypeInfo** info) override
    {
        if (info == nullptr)
            return E_INVALIDARG;
        *info = nullptr;
        if (ref >= mClass.interfaces.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *info = mClass.interfaces[ref].table->TypeInfo();
        (*info)->AddRef();
        return S_OK;
    }
    STDMETHOD(GetNames)(MEMBERID, BSTR*, UINT, UINT* count) override
    {
        if (count)
            *count = 0;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHOD(GetIDsOfNames)(LPOLESTR*, UINT, MEMBERID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHOD(GetDocumentation)(MEMBERID id, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override
    {
        if (id != MEMBERID_NIL)
            return TYPE_E_ELEMENTNOTFOUND;
        return Documentation(mClass.name, mClass.doc, name, doc, helpContext, helpFile);
    }

private:
    CoclassDescription mClass;
};
} // namespace

class TypeLibrary final : public ITypeLib
{
public:
    TypeLibrary(const GUID& libid, const char16_t* name, const char16_t* doc, WORD major, WORD minor)
        : mLibid(libid), mName(name), mDoc(doc), mMajor(major), mMinor(minor)
    {
    }

    struct Entry
    {
        ITypeInfo* info;
        TYPEKIND kind;
        GUID guid;
        const char16_t* name;
        const char16_t* doc;
    };
    std::vector<Entry> entries;
    std::vector<std::unique_ptr<StaticTypeInfo>> owned;

    STDMETHOD(QueryInterface)(REFIID riid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeLib)
        {
            *out = static_cast<ITypeLib*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }

    STDMETHOD_(UINT, GetTypeInfoCount)() override { return static_cast<UINT>(entries.size()); }
    STDMETHOD(GetTypeInfo)(UINT index, ITypeInfo** info) override
    {
        if (info == nullptr)
            return E_INVALIDARG;
        *info = nullptr;
        if (index >= entries.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *info = entries[index].info;
        (*info)->AddRef();
        return S_OK;
    }
    STDMETHOD(GetTypeInfoType)(UINT index, TYPEKIND* kind) override
    {
        if (kind == nullptr)
            return E_INVALIDARG;
        if (index >= entries.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *kind = entries[index].kind;
        return S_OK;
    }
    STDMETHOD(GetTypeInfoOfGuid)(REFGUID guid, ITypeInfo** info) override
    {
        if (info == nullptr)
            return E_INVALIDARG;
        *info = nullptr;
        for (const Entry& e : entries)
            if (e.guid == guid && !(guid == GUID_NULL))
            {
                *info = e.info;
                (*info)->AddRef();
                return S_OK;
            }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHOD(GetLibAttr)(TLIBATTR** attr) override
    {
        if (attr == nullptr)
            return E_INVALIDARG;
        auto* a = static_cast<TLIBATTR*>(std::calloc(1, sizeof(TLIBATTR)));
        if (a == nullptr)
            return E_OUTOFMEMORY;
        a->guid = mLibid;
        a->lcid = 0;
        a->syskind = SYS_WIN64;
        a->wMajorVerNum = mMajor;
        a->wMinorVerNum = mMinor;
        *attr = a;
        return S_OK;
    }
    STDMETHOD(GetTypeComp)(ITypeComp**) override { return E_NOTIMPL; }
    STDMETHOD(GetDocumentation)(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override
    {
        if (index == -1)
            return Documentation(mName, mDoc, name, doc, helpContext, helpFile);
        if (index < 0 || static_cast<size_t>(index) >= entries.size())
            return TYPE_E_ELEMENTNOTFOUND;
        return Documentation(entries[index].name, entries[index].doc, name, doc, helpContext, helpFile);
    }
    STDMETHOD(IsName)(LPOLESTR name, ULONG, BOOL* found) override
    {
        if (name == nullptr || found == nullptr)
            return E_INVALIDARG;
        USHORT count = 1;
        ITypeInfo* info = nullptr;
        MEMBERID id;
        *found = SUCCEEDED(FindName(name, 0, &info, &id, &count)) && count == 1;
        return S_OK;
    }
    // Types by name (member id MEMBERID_NIL), then members of types by name, up to *found of them.
    STDMETHOD(FindName)(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids, USHORT* found) override
    {
        if (name == nullptr || infos == nullptr || ids == nullptr || found == nullptr)
            return E_INVALIDARG;
        const USHORT room = *found;
        USHORT n = 0;
        for (const Entry& e : entries)
        {
            if (n >= room)
                break;
            MEMBERID id = MEMBERID_NIL;
            if (!SameName(e.name, name))
            {
                LPOLESTR names[1] = {name};
                if (e.kind == TKIND_COCLASS || FAILED(e.info->GetIDsOfNames(names, 1, &id)))
                    continue;
            }
            infos[n] = e.info;
            ids[n] = id;
            ++n;
        }
        *found = n;
        return S_OK;
    }
    STDMETHOD_(void, ReleaseTLibAttr)(TLIBATTR* attr) override { std::free(attr); }

private:
    GUID mLibid;
    const char16_t* mName;
    const char16_t* mDoc;
    WORD mMajor, mMinor;
};

TypeLibrary* MakeTypeLibrary(const GUID& libid, const char16_t* name, const char16_t* doc, WORD major, WORD minor,
                             const std::vector<const DispatchTable*>& interfaces,
                             const std::vector<EnumDescription>& enums, const std::vector<CoclassDescription>& coclasses)
{
    auto* library = new TypeLibrary(libid, name, doc, major, minor);
    for (const EnumDescription& e : enums)
    {
        auto info = std::make_unique<EnumTypeInfo>(e);
        info->Attach(library, static_cast<UINT>(library->entries.size()));
        library->entries.push_back(
            {info.get(), TKIND_ENUM, GUID_NULL, info->Description().name, info->Description().doc});
        library->owned.push_back(std::move(info));
    }
    for (const DispatchTable* t : interfaces)
    {
        t->AttachLibrary(library, static_cast<UINT>(library->entries.size()));
        library->entries.push_back({t->TypeInfo(), TKIND_DISPATCH, t->Iid(), t->Name(), t->Doc()});
    }
    for (const CoclassDescription& c : coclasses)
    {
        auto info = std::make_unique<CoclassTypeInfo>(c);
        info->Attach(library, static_cast<UINT>(library->entries.size()));
        library->entries.push_back(
            {info.get(), TKIND_COCLASS, *info->Description().clsid, info->Description().name, info->Description().doc});
        library->owned.push_back(std::move(info));
    }
    return library;
}

ITypeLib* AsTypeLib(TypeLibrary* library)
{
    return library;
}

void DestroyTypeLibrary(TypeLibrary* library)
{
    delete library;
}

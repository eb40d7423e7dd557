// Table-driven IDispatch. Beside each dual interface stands one table of its members (dispatch id,
// name, kind, parameter types, result type) bound to the interface's C++ methods; IDispatchImpl<I>
// answers GetIDsOfNames and Invoke from it, converting arguments with VariantChangeType, and a small
// ITypeInfo describes it. The tables of all interfaces together are the type library.
//
//   template <> const DispatchTable& DispatchTableOf<IThing>()
//   {
//       static const DispatchTable table(IidOf<IThing>(), u"IThing", u"A thing.", {
//           DispMethod<&IThing::Run>(0x1, u"Run", {VT_BSTR}),
//           DispPropGet<&IThing::get_Size>(0x2, u"Size", VT_UI4),
//           DispPropPut<&IThing::put_Size>(0x2, u"Size", VT_UI4),
//       });
//       return table;
//   }
//
// The last parameter of a method is its result when it is an out pointer (T*, BSTR*, I**).
#pragma once

#include "Platform/Com/ObjectTemplates.h"

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// ---- ITypeInfo (slot order of the system's interface; this system answers the members marked *)

typedef DWORD HREFTYPE;
typedef enum tagINVOKEKIND
{
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8
} INVOKEKIND;
typedef enum tagTYPEKIND
{
    TKIND_ENUM = 0,
    TKIND_RECORD,
    TKIND_MODULE,
    TKIND_INTERFACE,
    TKIND_DISPATCH,
    TKIND_COCLASS,
    TKIND_ALIAS,
    TKIND_UNION
} TYPEKIND;
typedef enum tagFUNCKIND
{
    FUNC_VIRTUAL = 0,
    FUNC_PUREVIRTUAL,
    FUNC_NONVIRTUAL,
    FUNC_STATIC,
    FUNC_DISPATCH
} FUNCKIND;
typedef enum tagCALLCONV
{
    CC_STDCALL = 4
} CALLCONV;
#define MEMBERID_NIL DISPID_UNKNOWN
#define TYPEFLAG_FDUAL 0x40
#define TYPEFLAG_FDISPATCHABLE 0x1000
#define PARAMFLAG_FIN 0x1
#define PARAMFLAG_FOUT 0x2
#define PARAMFLAG_FRETVAL 0x8

typedef struct tagTYPEDESC
{
    union
    {
        struct tagTYPEDESC* lptdesc;
        HREFTYPE hreftype;
    };
    VARTYPE vt;
} TYPEDESC;
typedef struct tagPARAMDESC
{
    void* pparamdescex;
    USHORT wParamFlags;
} PARAMDESC;
typedef struct tagELEMDESC
{
    TYPEDESC tdesc;
    PARAMDESC paramdesc;
} ELEMDESC;
typedef struct tagIDLDESC
{
    ULONG_PTR dwReserved;
    USHORT wIDLFlags;
} IDLDESC;
typedef struct tagTYPEATTR
{
    GUID guid;
    LCID lcid;
    DWORD dwReserved;
    MEMBERID memidConstructor;
    MEMBERID memidDestructor;
    LPOLESTR lpstrSchema;
    ULONG cbSizeInstance;
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD cbSizeVft;
    WORD cbAlignment;
    WORD wTypeFlags;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    TYPEDESC tdescAlias;
    IDLDESC idldescType;
} TYPEATTR;
typedef struct tagFUNCDESC
{
    MEMBERID memid;
    HRESULT* lprgscode;
    ELEMDESC* lprgelemdescParam;
    FUNCKIND funckind;
    INVOKEKIND invkind;
    CALLCONV callconv;
    SHORT cParams;
    SHORT cParamsOpt;
    SHORT oVft;
    SHORT cScodes;
    ELEMDESC elemdescFunc;
    WORD wFuncFlags;
} FUNCDESC;
struct ITypeComp;
struct ITypeLib;

typedef enum tagVARKIND
{
    VAR_PERINSTANCE = 0,
    VAR_STATIC,
    VAR_CONST,
    VAR_DISPATCH
} VARKIND;
typedef struct tagVARDESC
{
    MEMBERID memid;
    LPOLESTR lpstrSchema;
    union
    {
        ULONG oInst;
        VARIANT* lpvarValue;
    };
    ELEMDESC elemdescVar;
    WORD wVarFlags;
    VARKIND varkind;
} VARDESC;
#define IMPLTYPEFLAG_FDEFAULT 0x1
#define IMPLTYPEFLAG_FSOURCE 0x2

struct ITypeInfo : public IUnknown
{
    STDMETHOD(GetTypeAttr)(TYPEATTR** attr) = 0; // *
    STDMETHOD(GetTypeComp)(ITypeComp** comp) = 0;
    STDMETHOD(GetFuncDesc)(UINT index, FUNCDESC** desc) = 0; // *
    STDMETHOD(GetVarDesc)(UINT index, tagVARDESC** desc) = 0;
    STDMETHOD(GetNames)(MEMBERID id, BSTR* names, UINT maxNames, UINT* count) = 0; // *
    STDMETHOD(GetRefTypeOfImplType)(UINT index, HREFTYPE* ref) = 0;
    STDMETHOD(GetImplTypeFlags)(UINT index, INT* flags) = 0;
    STDMETHOD(GetIDsOfNames)(LPOLESTR* names, UINT count, MEMBERID* ids) = 0; // *
    STDMETHOD(Invoke)(void* instance, MEMBERID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) = 0; // *
    STDMETHOD(GetDocumentation)(MEMBERID id, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) = 0; // *
    STDMETHOD(GetDllEntry)(MEMBERID id, INVOKEKIND kind, BSTR* dll, BSTR* name, WORD* ordinal) = 0;
    STDMETHOD(GetRefTypeInfo)(HREFTYPE ref, ITypeInfo** info) = 0;
    STDMETHOD(AddressOfMember)(MEMBERID id, INVOKEKIND kind, void** address) = 0;
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** object) = 0;
    STDMETHOD(GetMops)(MEMBERID id, BSTR* mops) = 0;
    STDMETHOD(GetContainingTypeLib)(ITypeLib** lib, UINT* index) = 0;
    STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* attr) = 0; // *
    STDMETHOD_(void, ReleaseFuncDesc)(FUNCDESC* desc) = 0; // *
    STDMETHOD_(void, ReleaseVarDesc)(tagVARDESC* desc) = 0;
};
DECLARE_INTERFACE_IID(ITypeInfo, IID_ITypeInfo)

// ---- Member tables

enum class DispatchKind
{
    Method = INVOKE_FUNC,
    PropGet = INVOKE_PROPERTYGET,
    PropPut = INVOKE_PROPERTYPUT,
    PropPutRef = INVOKE_PROPERTYPUTREF
};

// Calls the bound method with args already converted to the member's parameter types; stores the
// out value as resultType into result (or frees it when result is null).
typedef HRESULT (*DispatchThunk)(IDispatch* self, VARIANT* args, VARTYPE resultType, VARIANT* result);

struct DispatchMember
{
    DISPID id;
    const char16_t* name;
    DispatchKind kind;
    std::vector<VARTYPE> params; // VT_VARIANT passes the argument unchanged
    VARTYPE result;              // VT_EMPTY: none
    DispatchThunk thunk; // null in a pure dispatch (event) interface, which this system only calls
    const char16_t* doc;
    std::vector<const char16_t*> paramNames = {}; // in parameter order; may be empty
};

// The member with its parameters' names, for GetNames and for GetIDsOfNames with named arguments.
inline DispatchMember Named(DispatchMember m, std::vector<const char16_t*> names)
{
    m.paramNames = std::move(names);
    return m;
}

class DispatchTable
{
public:
    DispatchTable(const IID& iid, const char16_t* name, const char16_t* doc, std::vector<DispatchMember> members);
    // A derived interface: the base's members first, then its own.
    DispatchTable(const IID& iid, const char16_t* name, const char16_t* doc, const DispatchTable& base,
                  std::vector<DispatchMember> members);
    ~DispatchTable();
    // A pure dispatch interface (an event interface that sinks implement): described, never invoked here.
    struct DispinterfaceTag
    {
    };
    DispatchTable(DispinterfaceTag, const IID& iid, const char16_t* name, const char16_t* doc,
                  std::vector<DispatchMember> members);

    const IID& Iid() const { return *mIid; }
    bool Dual() const { return mDual; }
    // The type library that holds this table, and its index there (set by the library).
    void AttachLibrary(ITypeLib* library, UINT index) const
    {
        mLibrary = library;
        mIndex = index;
    }
    ITypeLib* Library() const { return mLibrary; }
    UINT LibraryIndex() const { return mIndex; }
    const char16_t* Name() const { return mName; }
    const char16_t* Doc() const { return mDoc; }
    const std::vector<DispatchMember>& Members() const { return mMembers; }
    // The type information over this table (lives as long as the table).
    ITypeInfo* TypeInfo() const { return mTypeInfo; }

    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) const;
    HRESULT Invoke(IDispatch* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT* argErr) const;

private:
    const IID* mIid;
    const char16_t* mName;
    const char16_t* mDoc;
    std::vector<DispatchMember> mMembers;
    ITypeInfo* mTypeInfo;
    bool mDual = true;
    mutable ITypeLib* mLibrary = nullptr;
    mutable UINT mIndex = 0;
};

// Specialised beside each dual interface.
template <class I>
const DispatchTable& DispatchTableOf();

// ---- Binding C++ methods

namespace dispatch_detail
{
template <class P>
constexpr bool IsOutParam()
{
    if constexpr (!std::is_pointer_v<P> || std::is_same_v<P, BSTR>)
        return false;
    else
    {
        using T = std::remove_pointer_t<P>;
        return std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>;
    }
}

HRESULT ReadInteger(const VARIANT& v, int64_t& out);
HRESULT ReadReal(const VARIANT& v, double& out);
HRESULT StoreInteger(VARIANT* result, VARTYPE vt, int64_t value);
HRESULT StoreReal(VARIANT* result, VARTYPE vt, double value);

// An input argument taken from a converted variant.
template <class T, class = void>
struct In
{
    T value{};
    HRESULT Load(VARIANT& v)
    {
        if constexpr (std::is_same_v<T, BSTR>)
        {
            value = v.vt == VT_BSTR ? v.bstrVal : nullptr;
            return S_OK;
        }
        else if constexpr (std::is_same_v<T, VARIANT>)
        {
            value = v;
            return S_OK;
        }
        else if constexpr (std::is_floating_point_v<T>)
        {
            double d = 0;
            HRESULT hr = ReadReal(v, d);
            value = static_cast<T>(d);
            return hr;
        }
        else
        {
            static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "unsupported dispatch parameter type");
            int64_t i = 0;
            HRESULT hr = ReadInteger(v, i);
            value = static_cast<T>(i);
            return hr;
        }
    }
};

// An interface pointer argument: asked for its own interface, held during the call.
template <class I>
struct In<I*, std::enable_if_t<std::is_base_of_v<IUnknown, I>>>
{
    I* value = nullptr;
    HRESULT Load(VARIANT& v)
    {
        if ((v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH) || v.punkVal == nullptr)
            return S_OK;
        return v.punkVal->QueryInterface(IidOf<I>(), reinterpret_cast<void**>(&value)) == S_OK ? S_OK
                                                                                               : DISP_E_TYPEMISMATCH;
    }
    ~In()
    {
        if (value)
            value->Release();
    }
};

// The out value of a method, stored into the result variant as the table's type.
template <class T>
struct Out
{
    T value{};
    HRESULT Store(VARTYPE vt, VARIANT* result)
    {
        if constexpr (std::is_same_v<T, BSTR>)
        {
            if (result == nullptr)
                SysFreeString(value);
            else
            {
                result->vt = VT_BSTR;
                result->bstrVal = value;
            }
            return S_OK;
        }
        else if constexpr (std::is_pointer_v<T>)
        {
            static_assert(std::is_base_of_v<IUnknown, std::remove_pointer_t<T>>, "unsupported dispatch result type");
            if (result == nullptr)
            {
                if (value)
                    value->Release();
                return S_OK;
            }
            result->vt = vt == VT_UNKNOWN ? VT_UNKNOWN : VT_DISPATCH;
            result->punkVal = nullptr;
            if (value == nullptr)
                return S_OK;
            HRESULT hr = value->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch,
                                               reinterpret_cast<void**>(&result->punkVal));
            value->Release();
            if (FAILED(hr))
                result->vt = VT_EMPTY;
            return hr;
        }
        else if constexpr (std::is_floating_point_v<T>)
            return result ? StoreReal(result, vt, value) : S_OK;
        else
            return result ? StoreInteger(result, vt, static_cast<int64_t>(value)) : S_OK;
    }
};

template <class... Ps>
using Last = std::tuple_element_t<sizeof...(Ps) - 1, std::tuple<Ps...>>;

template <auto M, class C, class... Ps, size_t... Is>
HRESULT Call(IDispatch* self, VARIANT* args, VARTYPE resultType, VARIANT* result, std::index_sequence<Is...>)
{
    using Params = std::tuple<Ps...>;
    std::tuple<In<std::tuple_element_t<Is, Params>>...> in;
    HRESULT hr = S_OK;
    ((hr = SUCCEEDED(hr) ? std::get<Is>(in).Load(args[Is]) : hr), ...);
    if (FAILED(hr))
        return hr;
    C* object = static_cast<C*>(self);
    if constexpr (sizeof...(Is) < sizeof...(Ps))
    {
        Out<std::remove_pointer_t<Last<Ps...>>> out;
        hr = (object->*M)(std::get<Is>(in).value..., &out.value);
        if (SUCCEEDED(hr))
        {
            HRESULT stored = out.Store(resultType, result);
            if (FAILED(stored))
                return stored;
        }
        return hr;
    }
    else
        return (object->*M)(std::get<Is>(in).value...);
}

// Whether the last parameter is the result.
template <class... Ps>
constexpr bool HasOut()
{
    if constexpr (sizeof...(Ps) == 0)
        return false;
    else
        return IsOutParam<Last<Ps...>>();
}

template <auto M, class C, class... Ps>
HRESULT Thunk(IDispatch* self, VARIANT* args, VARTYPE resultType, VARIANT* result)
{
    constexpr bool hasOut = HasOut<Ps...>();
    constexpr size_t inCount = sizeof...(Ps) - (hasOut ? 1 : 0);
    return Call<M, C, Ps...>(self, args, resultType, result, std::make_index_sequence<inCount>{});
}

template <auto M, class C, class... Ps>
constexpr DispatchThunk Select(HRESULT (STDMETHODCALLTYPE C::*)(Ps...))
{
    static_assert(std::is_base_of_v<IDispatch, C>, "dispatch members belong to dual interfaces");
    return &Thunk<M, C, Ps...>;
}
} // namespace dispatch_detail

template <auto M>
constexpr DispatchThunk DispatchThunkFor()
{
    return dispatch_detail::Select<M>(M);
}

template <auto M>
DispatchMember DispMethod(DISPID id, const char16_t* name, std::vector<VARTYPE> params, VARTYPE result = VT_EMPTY,
                          const char16_t* doc = u"")
{
    return DispatchMember{id, name, DispatchKind::Method, std::move(params), result, DispatchThunkFor<M>(), doc};
}

// A getter; index parameters (the Handler property's id) come first.
template <auto M>
DispatchMember DispPropGet(DISPID id, const char16_t* name, VARTYPE type, std::vector<VARTYPE> index = {},
                           const char16_t* doc = u"")
{
    return DispatchMember{id, name, DispatchKind::PropGet, std::move(index), type, DispatchThunkFor<M>(), doc};
}

template <auto M>
DispatchMember DispPropPut(DISPID id, const char16_t* name, VARTYPE type, std::vector<VARTYPE> index = {},
                           const char16_t* doc = u"", DispatchKind kind = DispatchKind::PropPut)
{
    index.push_back(type);
    return DispatchMember{id, name, kind, std::move(index), VT_EMPTY, DispatchThunkFor<M>(), doc};
}

// ---- The IDispatch part of a dual interface I

template <class I>
class IDispatchImpl : public I
{
public:
    STDMETHOD(GetTypeInfoCount)(UINT* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT index, LCID /*lcid*/, ITypeInfo** info) override
    {
        if (info == nullptr)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        *info = DispatchTableOf<I>().TypeInfo();
        (*info)->AddRef();
        return S_OK;
    }
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID /*lcid*/, DISPID* ids) override
    {
        return DispatchTableOf<I>().GetIDsOfNames(riid, names, count, ids);
    }
    STDMETHOD(Invoke)(DISPID id, REFIID riid, LCID /*lcid*/, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override
    {
        return DispatchTableOf<I>().Invoke(static_cast<I*>(this), id, riid, flags, params, result, excepInfo,
                                           argErr);
    }
};

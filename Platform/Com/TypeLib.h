// A type library assembled from the process's tables: the dispatch tables of the interfaces, the
// enumerations with their constants and the classes with the interfaces they offer. ITypeLib and the
// type information of each entry answer what browsers of type information (scripting hosts,
// generators) ask: attributes, names, documentation, members, constants and implemented interfaces.
#pragma once

#include "Platform/Com/Dispatch.h"

inline constexpr IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

typedef enum tagSYSKIND
{
    SYS_WIN16 = 0,
    SYS_WIN32,
    SYS_MAC,
    SYS_WIN64
} SYSKIND;
typedef struct tagTLIBATTR
{
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
} TLIBATTR;

// ITypeLib in the system's slot order.
struct ITypeLib : public IUnknown
{
    STDMETHOD_(UINT, GetTypeInfoCount)() = 0;
    STDMETHOD(GetTypeInfo)(UINT index, ITypeInfo** info) = 0;
    STDMETHOD(GetTypeInfoType)(UINT index, TYPEKIND* kind) = 0;
    STDMETHOD(GetTypeInfoOfGuid)(REFGUID guid, ITypeInfo** info) = 0;
    STDMETHOD(GetLibAttr)(TLIBATTR** attr) = 0;
    STDMETHOD(GetTypeComp)(ITypeComp** comp) = 0;
    STDMETHOD(GetDocumentation)(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) = 0;
    STDMETHOD(IsName)(LPOLESTR name, ULONG hash, BOOL* found) = 0;
    STDMETHOD(FindName)(LPOLESTR name, ULONG hash, ITypeInfo** infos, MEMBERID* ids, USHORT* found) = 0;
    STDMETHOD_(void, ReleaseTLibAttr)(TLIBATTR* attr) = 0;
};
DECLARE_INTERFACE_IID(ITypeLib, IID_ITypeLib)

// ITypeInfo::GetContainingTypeLib for an entry of library (null: E_NOTIMPL).
HRESULT ContainingTypeLib(ITypeLib* library, UINT position, ITypeLib** lib, UINT* index);

struct EnumConstant
{
    const char16_t* name;
    LONG value;
};

struct EnumDescription
{
    const char16_t* name;
    const char16_t* doc;
    std::vector<EnumConstant> constants;
};

struct ImplementedInterface
{
    const DispatchTable* table;
    INT flags; // IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE
};

struct CoclassDescription
{
    const CLSID* clsid;
    const char16_t* name;
    const char16_t* doc;
    std::vector<ImplementedInterface> interfaces;
};

class TypeLibrary;

// Builds a library; it lives for the rest of the process (type information is handed out freely).
TypeLibrary* MakeTypeLibrary(const GUID& libid, const char16_t* name, const char16_t* doc, WORD major, WORD minor,
                             const std::vector<const DispatchTable*>& interfaces,
                             const std::vector<EnumDescription>& enums, const std::vector<CoclassDescription>& coclasses);
ITypeLib* AsTypeLib(TypeLibrary* library);
// Frees a library made by MakeTypeLibrary (when the module that made it goes away).
void DestroyTypeLibrary(TypeLibrary* library);

// Persistence through property bags: IPersist, IPersistPropertyBag, IPropertyBag, IErrorLog.
#pragma once

#include "Platform/Com/ObjectTemplates.h"

inline constexpr IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPersistPropertyBag = {
    0x37D84F60, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IErrorLog = {0x3127CA40, 0x446E, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

struct IErrorLog : public IUnknown
{
    STDMETHOD(AddError)(LPCOLESTR propertyName, EXCEPINFO* excepInfo) = 0;
};

struct IPropertyBag : public IUnknown
{
    // var->vt on entry is the type the caller wants (VT_EMPTY: any).
    STDMETHOD(Read)(LPCOLESTR propertyName, VARIANT* var, IErrorLog* errorLog) = 0;
    STDMETHOD(Write)(LPCOLESTR propertyName, VARIANT* var) = 0;
};

struct IPersist : public IUnknown
{
    STDMETHOD(GetClassID)(CLSID* clsid) = 0;
};

struct IPersistPropertyBag : public IPersist
{
    STDMETHOD(InitNew)() = 0;
    STDMETHOD(Load)(IPropertyBag* bag, IErrorLog* errorLog) = 0;
    STDMETHOD(Save)(IPropertyBag* bag, BOOL clearDirty, BOOL saveAllProperties) = 0;
};

DECLARE_INTERFACE_IID(IPersist, IID_IPersist)
DECLARE_INTERFACE_IID(IPersistPropertyBag, IID_IPersistPropertyBag)
DECLARE_INTERFACE_IID(IPropertyBag, IID_IPropertyBag)
DECLARE_INTERFACE_IID(IErrorLog, IID_IErrorLog)

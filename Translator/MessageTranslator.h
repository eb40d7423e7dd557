// The message translator: an in-process server of its own that turns serialized Results into display
// text. Its dual interface's fourth operation translates, its sixth translates for SNMP traps.
#pragma once

#include "Platform/Com/Dispatch.h"

inline constexpr CLSID CLSID_MessageTranslator = {
    0x9B3D5E70, 0x2C41, 0x4F8A, {0xB1, 0x6E, 0x52, 0x0D, 0x7A, 0x33, 0x00, 0x01}};
inline constexpr IID IID_IMessageTranslator = {
    0x9B3D5E70, 0x2C41, 0x4F8A, {0xB1, 0x6E, 0x52, 0x0D, 0x7A, 0x33, 0x00, 0x02}};

struct IMessageTranslator : public IDispatch
{
    // The language of the texts ("en" when nothing is translated).
    STDMETHOD(get_Language)(BSTR* language) = 0;
    // The display text of a result code without arguments.
    STDMETHOD(Explain)(ULONG code, BSTR* text) = 0;
    // The symbolic name of a code or message identifier ("" when none is registered).
    STDMETHOD(SymbolicName)(ULONG code, BSTR* name) = 0;
    // The display text, in the current language, of a serialized Result; E_INVALIDARG for other text.
    STDMETHOD(Translate)(BSTR text, BSTR* translated, SHORT flags) = 0;
    // The same in English.
    STDMETHOD(TranslateEnglish)(BSTR text, BSTR* translated) = 0;
    // The English display text of a serialized Result on one line; E_INVALIDARG for other text.
    STDMETHOD(TranslateForTrap)(BSTR text, BSTR* translated, LONG option) = 0;
};
DECLARE_INTERFACE_IID(IMessageTranslator, IID_IMessageTranslator)

// Members whose result is their last parameter are reachable through dispatch; Translate and
// TranslateForTrap (result in the middle) are called through the interface itself.
template <> const DispatchTable& DispatchTableOf<IMessageTranslator>();

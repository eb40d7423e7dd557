// The message translator's class and its in-process server entry points. On load the library registers
// the message tables and its class object for this process, so CoCreateInstance finds it without a
// registry entry.
#include "Translator/MessageTranslator.h"
#include "Platform/Com/Owners.h"
#include "Platform/Com/RegistryScript.h"
#include "Platform/Win32/Library.h"

#include <cstdlib>
#include "Base/Dev/Global/StringRepository.h"
#include "Base/Dev/Local/Localization.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Utf.h"

#include <mutex>

template <>
const DispatchTable& DispatchTableOf<IMessageTranslator>()
{
    static const DispatchTable table(
        IID_IMessageTranslator, u"IMessageTranslator", u"Turns serialized results into display text.",
        {
            DispPropGet<&IMessageTranslator::get_Language>(0x1, u"Language", VT_BSTR),
            DispMethod<&IMessageTranslator::Explain>(0x2, u"Explain", {VT_UI4}, VT_BSTR),
            DispMethod<&IMessageTranslator::SymbolicName>(0x3, u"SymbolicName", {VT_UI4}, VT_BSTR),
            DispMethod<&IMessageTranslator::TranslateEnglish>(0x5, u"TranslateEnglish", {VT_BSTR}, VT_BSTR),
        });
    return table;
}

namespace
{
HRESULT Out(const String& text, BSTR* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// The Result a text serializes, or false.
bool Parse(BSTR text, Result& result)
{
    return TryDeserializeResult(ToView(text), result);
}

class CMessageTranslator : public IDispatchImpl<IMessageTranslator>, public ComObjectRootEx<MultiThreadModel>
{
public:
    BEGIN_COM_MAP(CMessageTranslator)
    COM_INTERFACE_ENTRY(IMessageTranslator)
    COM_INTERFACE_ENTRY2(IDispatch, IMessageTranslator)
    END_COM_MAP()

    STDMETHOD(get_Language)(BSTR* language) override
    {
        const std::string l = CurrentLocale().language;
        return Out(Utf8ToUtf16(l.empty() ? "en" : l), language);
    }
    STDMETHOD(Explain)(ULONG code, BSTR* text) override
    {
        return Out(DisplayText(Result(__FILE__, __LINE__, "CMessageTranslator::Explain", code)), text);
    }
    STDMETHOD(SymbolicName)(ULONG code, BSTR* name) override
    {
        return Out(Utf8ToUtf16(StringRepository::GetSymbolicName(code)), name);
    }
    STDMETHOD(Translate)(BSTR text, BSTR* translated, SHORT) override
    {
        Result r;
        if (translated == nullptr)
            return E_POINTER;
        *translated = nullptr;
        return Parse(text, r) ? Out(DisplayText(r), translated) : E_INVALIDARG;
    }
    STDMETHOD(TranslateEnglish)(BSTR text, BSTR* translated) override
    {
        Result r;
        if (translated == nullptr)
            return E_POINTER;
        *translated = nullptr;
        return Parse(text, r) ? Out(DisplayText(r, true), translated) : E_INVALIDARG;
    }
    STDMETHOD(TranslateForTrap)(BSTR text, BSTR* translated, LONG) override
    {
        Result r;
        if (translated == nullptr)
            return E_POINTER;
        *translated = nullptr;
        if (!Parse(text, r))
            return E_INVALIDARG;
        // One line: line breaks and tabs become single blanks.
        String line;
        for (char16_t c : DisplayText(r, true))
        {
            const bool space = c == u'\r' || c == u'\n' || c == u'\t';
            if (!space)
                line += c;
            else if (!line.empty() && line.back() != u' ')
                line += u' ';
        }
        return Out(line, translated);
    }
};

ComClassEntry gClasses[] = {{&CLSID_MessageTranslator, &ComCreator<CMessageTranslator>::CreateInstance, nullptr}};
std::mutex gClassesMutex;
DWORD gCookie = 0;

__attribute__((constructor)) void TranslatorLoad()
{
    RegisterMessageTables();
    IUnknown* factory = nullptr;
    if (SUCCEEDED(ComGetClassObject(gClasses, 1, gClassesMutex, CLSID_MessageTranslator, IID_IUnknown,
                                    reinterpret_cast<void**>(&factory))))
    {
        CoRegisterClassObject(CLSID_MessageTranslator, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &gCookie);
        factory->Release();
    }
}

__attribute__((destructor)) void TranslatorUnload()
{
    if (gCookie)
        CoRevokeClassObject(gCookie);
    ComReleaseFactories(gClasses, 1);
}
} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    return ComGetClassObject(gClasses, 1, gClassesMutex, clsid, iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow()
{
    return ComCanUnloadNow();
}

namespace
{
// The translator's class and ProgIDs.
const char16_t* const kTranslatorScript = uR"(HKCR
{
    Quellon.MessageTranslator.1 = s 'MessageTranslator Class'
    {
        CLSID = s '%CLSID%'
    }
    Quellon.MessageTranslator = s 'MessageTranslator Class'
    {
        CLSID = s '%CLSID%'
        CurVer = s 'Quellon.MessageTranslator.1'
    }
    NoRemove CLSID
    {
        ForceRemove '%CLSID%' = s 'MessageTranslator Class'
        {
            ProgID = s 'Quellon.MessageTranslator.1'
            VersionIndependentProgID = s 'Quellon.MessageTranslator'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Both'
            }
        }
    }
}
)";

HRESULT RegisterTranslator(bool registering)
{
    const std::u16string module = ModuleFileOfAddress(reinterpret_cast<const void*>(&RegisterTranslator));
    if (module.empty())
        return E_UNEXPECTED;
    OLECHAR clsid[39];
    StringFromGUID2(CLSID_MessageTranslator, clsid, 39);
    return UpdateRegistryFromScript(kTranslatorScript, registering, {{u"CLSID", clsid}, {u"MODULE", module}});
}
} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer()
{
    return RegisterTranslator(true);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer()
{
    return RegisterTranslator(false);
}

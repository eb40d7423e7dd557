// The module's registry scripts (carried inside the module, by resource number) and its registration
// exports.
#include "Ferrule/Interfaces.h"
#include "Ferrule/ClassTable.h"
#include "Platform/Com/RegistryScript.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace
{
// Scripts 101 to 111: a class with its ProgIDs, class key and compatibility key.
const char16_t* const kClassScript = uR"(HKCR
{
    '%PROGID%' = s '%DESCRIPTION%'
    {
        CLSID = s '%CLSID%'
    }
    '%VIPROGID%' = s '%DESCRIPTION%'
    {
        CLSID = s '%CLSID%'
        CurVer = s '%PROGID%'
    }
    NoRemove CLSID
    {
        ForceRemove '%CLSID%' = s '%DESCRIPTION%'
        {
            ProgID = s '%CLASSPROGID%'
            VersionIndependentProgID = s '%VIPROGID%'
            ForceRemove Programmable
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s '%THREADING%'
            }
            TypeLib = s '%LIBID%'
        }
    }
}
HKLM
{
    NoRemove SOFTWARE
    {
        NoRemove Microsoft
        {
            NoRemove 'Internet Explorer'
            {
                NoRemove 'ActiveX Compatibility'
                {
                    ForceRemove '%CLSID%'
                    {
                        val 'Compatibility Flags' = d 1024
                    }
                }
            }
        }
    }
}
)";

// Script 205: the event-log source.
const char16_t* const kEventSourceScript = uR"(HKLM
{
    NoRemove SYSTEM
    {
        NoRemove CurrentControlSet
        {
            NoRemove Services
            {
                NoRemove EventLog
                {
                    NoRemove Application
                    {
                        ForceRemove Ardentis = s 'Ardentis 22'
                        {
                            val CategoryCount = d 3
                            val CategoryMessageFile = s '%MODULE%'
                            val EventMessageFile = s '%MODULE%'
                            val TypesSupported = d 7
                        }
                    }
                }
            }
        }
    }
}
)";

// The type library NOTIFICATIONHANDLERLib 1.0 and the module that carries it.
const char16_t* const kTypeLibScript = uR"(HKCR
{
    NoRemove TypeLib
    {
        ForceRemove '%LIBID%'
        {
            1.0 = s 'NOTIFICATIONHANDLERLib'
            {
                0
                {
                    win64 = s '%MODULE%'
                }
                FLAGS = s '0'
                HELPDIR = s ''
            }
        }
    }
}
)";


// The module's full path.
std::u16string ModuleFile()
{
    return ModuleFileOfAddress(reinterpret_cast<const void*>(&ModuleFile));
}

HRESULT RunClassScript(const ClassRow& c, bool registering)
{
    return UpdateRegistryFromScript(kClassScript, registering,
                                    {{u"PROGID", c.progId},
                                     {u"VIPROGID", c.versionIndependent},
                                     {u"CLASSPROGID", c.classProgId},
                                     {u"DESCRIPTION", c.description},
                                     {u"THREADING", c.threading},
                                     {u"CLSID", GuidText(*c.clsid)},
                                     {u"LIBID", GuidText(LIBID_NOTIFICATIONHANDLERLib)},
                                     {u"MODULE", ModuleFile()}});
}

HRESULT Register(bool registering)
{
    const std::vector<std::pair<std::u16string, std::u16string>> module = {
        {u"MODULE", ModuleFile()}, {u"LIBID", GuidText(LIBID_NOTIFICATIONHANDLERLib)}};
    UpdateRegistryFromScript(kEventSourceScript, registering, module); // its result is not reported
    HRESULT hr = S_OK;
    for (const ClassRow& c : kClasses)
        if (SUCCEEDED(hr))
            hr = RunClassScript(c, registering);
    if (SUCCEEDED(hr))
        hr = UpdateRegistryFromScript(kTypeLibScript, registering, module);
    return hr;
}
} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer()
{
    return Register(true);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer()
{
    return Register(false);
}

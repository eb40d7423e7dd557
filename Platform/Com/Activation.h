// Class activation: class objects registered in this process first, then the registry
// (HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 → load the library → DllGetClassObject).
#pragma once

#include "Platform/Com/OleAuto.h"

struct IClassFactory : public IUnknown
{
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** object) = 0;
    STDMETHOD(LockServer)(BOOL lock) = 0;
};

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1

typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID, REFIID, void**);
typedef HRESULT (*LPFNCANUNLOADNOW)();

// Counts per thread: S_OK the first time, S_FALSE after. Activation works on threads that never
// call it, so nothing here answers CO_E_NOTINITIALIZED.
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();

// Registers a class object for this process; the table holds a reference until revoked.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsContext, DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* serverInfo, REFIID riid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, void** object);

// HKEY_CLASSES_ROOT\<ProgID>\CLSID; an unknown ProgID gives CO_E_CLASSSTRING.
HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
// Braced GUID text in any case, or a ProgID; null gives CLSID_NULL.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);

// Task memory: malloc/free.
void* CoTaskMemAlloc(SIZE_T bytes);
void CoTaskMemFree(void* p);

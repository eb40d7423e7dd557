// OLE Automation data types: BSTR, DATE, VARIANT, SAFEARRAY, IDispatch and error information.
#pragma once

#include "Platform/Com/Unknown.h"

#include <string>

// ---- BSTR: UTF-16 text after a 4-byte byte-length prefix, NUL-terminated, embedded NULs kept.
// A null BSTR is the empty string.
typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;

BSTR SysAllocString(LPCOLESTR text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length);
INT SysReAllocString(BSTR* target, LPCOLESTR text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// ---- DATE: days since 30 December 1899; the fraction is the time of day.
typedef double DATE;
typedef int16_t VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// Whole seconds (the nearest one); wMilliseconds is 0. FALSE outside years 100..9999.
INT VariantTimeToSystemTime(DATE time, LPSYSTEMTIME systemTime);
// Milliseconds are ignored; FALSE for fields out of range (month, day of that month, hour, ...).
INT SystemTimeToVariantTime(const SYSTEMTIME* systemTime, DATE* time);

// ---- VARIANT
typedef uint16_t VARTYPE;
enum VARENUM : VARTYPE
{
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

struct IDispatch;
struct tagSAFEARRAY;

typedef struct tagVARIANT
{
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union
    {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        tagSAFEARRAY* parray;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        void* byref;
        tagVARIANT* pvarVal;
        BSTR* pbstrVal;
        LONG* plVal;
    };
} VARIANT, VARIANTARG;
typedef VARIANT* LPVARIANT;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_DATE(v) ((v)->date)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)

#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

void VariantInit(VARIANTARG* v);
// Frees what the variant owns (BSTR, interface reference, array) and leaves VT_EMPTY.
HRESULT VariantClear(VARIANTARG* v);
// Deep copy: BSTRs and arrays are copied, interfaces AddRef'ed. dest is cleared first.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// The OLE Automation coercions between the scalar types, text and interfaces. Text is read and
// written in the C locale's notation (decimal point "."); booleans become "-1"/"0" unless
// VARIANT_ALPHABOOL asks for "True"/"False"; dates as "M/D/YYYY h:mm:ss AM". dest may equal src.
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags, VARTYPE vt);

// ---- Text comparison
#define VARCMP_LT 0
#define VARCMP_EQ 1
#define VARCMP_GT 2
#define VARCMP_NULL 3
#define NORM_IGNORECASE 0x00000001
// Compares by the process's collation order (LC_COLLATE, wcscoll) on the whole text; a null or
// empty BSTR is less than any non-empty one. NORM_IGNORECASE folds case first. Texts the collation
// calls equal are ordered by code units, so distinct texts never compare equal.
HRESULT VarBstrCmp(BSTR left, BSTR right, LCID lcid, ULONG flags);

// ---- SAFEARRAY (one or more dimensions; the module uses one-dimensional VARIANT arrays)
typedef struct tagSAFEARRAYBOUND
{
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY
{
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_HAVEVARTYPE 0x0080

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
// Elements are copied in and out as VariantCopy / SysAllocString / AddRef do.
HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);

// ---- IDispatch (the table-driven implementation lives with activation)
typedef LONG DISPID;
typedef DISPID MEMBERID;
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

typedef struct tagDISPPARAMS
{
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO
{
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
    HRESULT scode;
} EXCEPINFO;

struct ITypeInfo;

struct IDispatch : public IUnknown
{
    STDMETHOD(GetTypeInfoCount)(UINT* count) = 0;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** typeInfo) = 0;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) = 0;
    STDMETHOD(Invoke)(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) = 0;
};

// ---- Error information, one object per thread.
struct IErrorInfo : public IUnknown
{
    STDMETHOD(GetGUID)(GUID* guid) = 0;
    STDMETHOD(GetSource)(BSTR* source) = 0;
    STDMETHOD(GetDescription)(BSTR* description) = 0;
    STDMETHOD(GetHelpFile)(BSTR* helpFile) = 0;
    STDMETHOD(GetHelpContext)(DWORD* helpContext) = 0;
};

struct ICreateErrorInfo : public IUnknown
{
    STDMETHOD(SetGUID)(REFGUID guid) = 0;
    STDMETHOD(SetSource)(LPOLESTR source) = 0;
    STDMETHOD(SetDescription)(LPOLESTR description) = 0;
    STDMETHOD(SetHelpFile)(LPOLESTR helpFile) = 0;
    STDMETHOD(SetHelpContext)(DWORD helpContext) = 0;
};

struct ISupportErrorInfo : public IUnknown
{
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) = 0;
};

// A new error-information object (multi-threaded reference count).
HRESULT CreateErrorInfo(ICreateErrorInfo** errorInfo);
// Installs errorInfo (AddRef'ed; may be null) for the calling thread, releasing the earlier one.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo);
// Hands the thread's error information to the caller and clears it; S_FALSE and null when none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo);
// Not Windows calls: the thread's error information as one description (with the interface and
// source when given), and its description taken back ("" when there is none; the information is
// consumed, as GetErrorInfo does).
void SetErrorDescription(const std::u16string& description, REFIID iid = IID_NULL, const char16_t* source = nullptr);
std::u16string TakeErrorDescription();

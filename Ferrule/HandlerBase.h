// The handler base shared by all handlers: name and filters with the filter test, dispatch, persistence
// of a class's rows through IPersistPropertyBag, ISupportErrorInfo, the shared text functions and the
// one way a handler reports a failure.
#pragma once

#include "Ferrule/ClassTable.h"
#include "Ferrule/Words.h"

#include "Base/Dev/Global/Result.h"
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Owners.h"

#include <new>
#include <optional>
#include <stdexcept>

// ---- The interface boundary

// Runs body and turns whatever it throws into an HRESULT with error information: a Result gives its
// serialized text (and its code when that is a failure HRESULT, else E_FAIL); AssertionFailure the
// text of a check or precondition failure (E_UNEXPECTED); bad_alloc E_OUTOFMEMORY; any other standard
// exception its text (E_FAIL); anything else E_UNEXPECTED. No exception leaves an interface.
HRESULT ExceptionToHresult(const char* function);
template <class Body>
HRESULT Boundary(const char* function, Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (...)
    {
        return ExceptionToHresult(function);
    }
}

// ---- Shared text functions

// True and R replaced when text begins with "Result (" and parses; otherwise false, R unchanged.
bool ParseSerializedResult(const String& text, Result& result);
String TypeText(eZD_NOTIFY_TYPE type);
String PriorityText(eZD_NOTIFY_PRIORITY priority);
// The fixed words readers and filters match on, in every language (TypeWord, PriorityWord): Words.h.
// User-locale short date, a blank, the time forced to 24 hours; empty parts when it cannot convert.
String TimeStampText(DATE timeStamp);
// "0x%02X".
String CodeText(ULONG code);
// " (UMI:Q-281-<facility>-<number>)\r\n" from the eight hexadecimal digits before the first ":", or "".
String UmiSuffix(const String& description);
// How failures combine, stated once: the newest failure carries the earlier ones as its last argument.
Result Nest(Result newest, const Result& earlier);

// A handler's failure as the manager takes it after the call: the error description as it crossed the
// boundary, and the Result itself when a handler of this module reported it on this thread (a handler
// from outside is read from its text alone).
struct TakenFailure
{
    String text;
    std::optional<Result> value;
};
// Takes the thread's error information.
TakenFailure TakeHandlerFailure();

// The failures of one notification, collected as values and made into one text once (the manager's
// error description). A failure that is a Result nests what came before it; any other text, and
// everything after it, goes on a line of its own.
class FailureList
{
public:
    // A handler's failure, as the manager took it.
    void Add(const TakenFailure& failure);
    // A failure of the manager itself.
    void Add(const Result& failure);
    bool Empty() const { return !mChain && mPlain.empty(); }
    String Text() const;

private:
    std::optional<Result> mChain; // while every failure is a Result
    String mOnlyText;            // the chain's text while it is one handler's description, as it came
    String mPlain;               // once a plain text came: everything, one failure a line
};

// The failures one handler call reports, collected as values while the call runs: the frame around a
// delivery holds one, and makes the error information from it once, when the call ends.
class CallFailures
{
public:
    CallFailures();
    ~CallFailures();
    CallFailures(const CallFailures&) = delete;
    CallFailures& operator=(const CallFailures&) = delete;
    // The call running on this thread, or null outside one.
    static CallFailures* Current();
    void Add(const Result& failure);
    // Makes the thread's error information describe what was reported, when anything was.
    void Publish() const;

private:
    CallFailures* mOuter;
    std::optional<Result> mChain;
};
// Reports result as a failure of the running handler call (it nests the call's earlier failures), or,
// outside a call, makes the thread's error information describe it alone. Returns hr, or
// DISP_E_EXCEPTION when hr is 0.
[[nodiscard]] HRESULT ReportHandlerFailure(HRESULT hr, Result result);
// (e AND 0xFFFF) OR 0x80070000 for the last OS error e; 0 stays 0.
HRESULT LastErrorHresult();

// ---- Copying strings through out parameters

// Frees a non-empty string already in *out, then stores a copy of value.
HRESULT CopyOut(BSTR value, BSTR* out);
// Replaces field with a copy of value (null stays null).
HRESULT CopyIn(BSTR value, Bstr& field);
inline HRESULT CopyOut(const Bstr& value, BSTR* out)
{
    return CopyOut(value.Get(), out);
}
// A plain value through an out parameter: E_POINTER for a null one.
template <class T>
HRESULT ValueOut(T field, T* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = field;
    return S_OK;
}

// ---- INotifyHandlerImpl: name, filters and the filter test

// Test notifications (TEST, TEST) reach every handler whose two filters are not 0.
bool PassesFilter(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, uint32_t typeFilter, uint32_t priorityFilter);

// One notification as a handler receives it.
struct Notification
{
    BSTR application;
    eZD_NOTIFY_TYPE type;
    eZD_NOTIFY_PRIORITY priority;
    ULONG code;
    BSTR description; // the display text, or the serialized result for INotifySerialized
    BSTR source;
    DATE timeStamp;
};

// Every handler failure is made here, so that it records where it was raised: the handler's source name
// (as failure records name it), the line of the HANDLER_FAILURE that raised it, and the function.
Result HandlerFailure(const char* source, int line, const char* function, uint32_t code,
                      const Argument& detail = Result::NoArgument());
#define HANDLER_FAILURE(source, function, code, ...) HandlerFailure(source, __LINE__, function, code, ##__VA_ARGS__)

template <class I>
class INotifyHandlerImpl : public IDispatchImpl<I>
{
public:
    INotifyHandlerImpl() = default;
    virtual ~INotifyHandlerImpl() = default;

    // Every handler's Notify: the check its rule makes before the filter test, the filter test (1,
    // S_FALSE, when the notification is filtered out), then its delivery inside the interface boundary.
    STDMETHOD(Notify)(BSTR application, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code,
                      BSTR description, BSTR source, DATE timeStamp) final
    {
        return Frame(Notification{application, type, priority, code, description, source, timeStamp},
                     [this](const Notification& n) { return Deliver(n); });
    }
    STDMETHOD(get_Name)(BSTR* name) override { return CopyOut(mName, name); }
    STDMETHOD(get_TypeFilter)(eZD_NOTIFY_TYPE* filter) override
    {
        if (filter == nullptr)
            return E_POINTER;
        *filter = static_cast<eZD_NOTIFY_TYPE>(mTypeFilter);
        return S_OK;
    }
    STDMETHOD(put_TypeFilter)(eZD_NOTIFY_TYPE filter) override
    {
        mTypeFilter = static_cast<uint32_t>(filter);
        return S_OK;
    }
    STDMETHOD(get_PriorityFilter)(eZD_NOTIFY_PRIORITY* filter) override
    {
        if (filter == nullptr)
            return E_POINTER;
        *filter = static_cast<eZD_NOTIFY_PRIORITY>(mPriorityFilter);
        return S_OK;
    }
    STDMETHOD(put_PriorityFilter)(eZD_NOTIFY_PRIORITY filter) override
    {
        mPriorityFilter = static_cast<uint32_t>(filter);
        return S_OK;
    }

    bool FilterTest(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority) const
    {
        return PassesFilter(type, priority, mTypeFilter, mPriorityFilter);
    }

protected:
    // What the handler does with a notification that passed its filters; by default nothing.
    virtual HRESULT Deliver(const Notification&) { return S_OK; }
    // Checked before the filter test: a value ends the call with it (the e-mail handler's library check,
    // a trap handler that is not enabled); none goes on.
    virtual std::optional<HRESULT> BeforeFilter() { return std::nullopt; }
    // The function the boundary names for a failure that escapes the delivery ("CNotifyLog::Notify").
    virtual const char* NotifyFunction() const { return "INotifyHandlerImpl::Notify"; }
    // The frame around a delivery, for Notify and a handler's NotifySerialized alike.
    template <class Delivery>
    HRESULT Frame(const Notification& n, Delivery deliver)
    {
        CallFailures call;
        if (const std::optional<HRESULT> early = BeforeFilter())
        {
            call.Publish();
            return *early;
        }
        if (!FilterTest(n.type, n.priority))
            return S_FALSE;
        const HRESULT hr = Boundary(NotifyFunction(), [&]() -> HRESULT { return deliver(n); });
        call.Publish();
        return hr;
    }

    // Set once by the constructor of the handler class.
    void SetName(const String& name) { mName = Bstr(name); }
    void SetFilters(uint32_t typeFilter, uint32_t priorityFilter)
    {
        mTypeFilter = typeFilter;
        mPriorityFilter = priorityFilter;
    }

    Bstr mName{u""};
    uint32_t mPriorityFilter = 0;
    uint32_t mTypeFilter = 0;
};

// ---- Persistence over a table of rows, through the class's own dispatch interface

// A row is a setting of the class table; one without a policy-file element is skipped.
using PersistRow = Setting;

// The two filter rows every handler persists first.
inline constexpr PersistRow kTypeFilterRow = setting::TypeFilter;
inline constexpr PersistRow kPriorityFilterRow = setting::PriorityFilter;

struct PersistTable
{
    const PersistRow* rows;
    size_t count;
};

// Load: a read that fails keeps the property; a read that succeeds (an absent name answers VT_EMPTY)
// sets it through dispatch; a failing setter ends with E_FAIL. Save: every row read through dispatch
// and written as the row's type.
// The rows of a class of the module: its settings in the class table.
PersistTable PersistTableOf(REFCLSID clsid);
HRESULT LoadRows(IDispatch* object, const PersistTable& table, IPropertyBag* bag, IErrorLog* errorLog);
HRESULT SaveRows(IDispatch* object, const PersistTable& table, IPropertyBag* bag);

// T provides: static const CLSID& ClassId() and an IDispatch. Its rows are its settings in the class
// table; a class outside the table declares its own static PersistRows().
template <class T>
class IPersistPropertyBagImpl : public IPersistPropertyBag
{
public:
    STDMETHOD(GetClassID)(CLSID* clsid) override
    {
        if (clsid == nullptr)
            return E_POINTER;
        *clsid = T::ClassId();
        return S_OK;
    }
    STDMETHOD(InitNew)() override { return S_OK; }
    STDMETHOD(Load)(IPropertyBag* bag, IErrorLog* errorLog) override
    {
        return Boundary("IPersistPropertyBag::Load", [&] {
            const ComPtr<IDispatch> self = Self();
            if (!self)
                return E_FAIL;
            const HRESULT hr = LoadRows(self.Get(), T::PersistRows(), bag, errorLog);
            return static_cast<T*>(this)->LoadExtra(bag, hr);
        });
    }
    STDMETHOD(Save)(IPropertyBag* bag, BOOL clearDirty, BOOL) override
    {
        return Boundary("IPersistPropertyBag::Save", [&] {
            const ComPtr<IDispatch> self = Self();
            if (!self)
                return E_FAIL;
            const HRESULT hr = SaveRows(self.Get(), T::PersistRows(), bag);
            return static_cast<T*>(this)->SaveExtra(bag, clearDirty, hr);
        });
    }

    static PersistTable PersistRows() { return PersistTableOf(T::ClassId()); }

    // What a class persists besides its rows (the e-mail handler's password); by default nothing.
    HRESULT LoadExtra(IPropertyBag*, HRESULT rows) { return rows; }
    HRESULT SaveExtra(IPropertyBag*, BOOL, HRESULT rows) { return rows; }

private:
    ComPtr<IDispatch> Self()
    {
        ComPtr<IDispatch> d;
        QueryInterface(IID_IDispatch, d.VoidOut());
        return d;
    }
};

// ---- ISupportErrorInfo over the class's list of interfaces

template <class T>
class ISupportErrorInfoImpl : public ISupportErrorInfo
{
public:
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override
    {
        for (const IID* const* p = T::ErrorInfoInterfaces(); *p; ++p)
            if (**p == riid)
                return S_OK;
        return S_FALSE;
    }
};

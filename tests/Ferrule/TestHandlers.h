// Handlers for the manager's tests, created from a policy file like any handler: recorders that keep
// what they receive (plainly or through INotifySerialized), and failing handlers with a plain text or
// a serialized Result.
#pragma once

#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/HandlerBase.h"
#include "Messages/MessageTables.h"

#include <string>
#include <vector>

#define TEST_CLSID(n) {0x0A000000u + (n), 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0, (n)}}
inline constexpr CLSID CLSID_TestRecorder = TEST_CLSID(1);
inline constexpr CLSID CLSID_TestSerialRecorder = TEST_CLSID(2);
inline constexpr CLSID CLSID_TestFailureA = TEST_CLSID(3);
inline constexpr CLSID CLSID_TestFailureB = TEST_CLSID(4);
inline constexpr CLSID CLSID_TestSerializedFailure = TEST_CLSID(5);
inline constexpr CLSID CLSID_TestSerializedFailure2 = TEST_CLSID(6);
inline constexpr CLSID CLSID_TestMaintained = TEST_CLSID(7);

struct Call
{
    std::u16string handler;
    std::u16string description;
    eZD_NOTIFY_TYPE type;
    eZD_NOTIFY_PRIORITY priority;
    ULONG code;
};

// Everything the test handlers received, in order.
inline std::vector<Call>& Calls()
{
    static std::vector<Call> calls;
    return calls;
}

inline PersistTable FilterRows()
{
    static const PersistRow rows[] = {kTypeFilterRow, kPriorityFilterRow};
    return {rows, 2};
}

template <class Self, const CLSID* Clsid>
class CTestHandlerBase : public INotifyHandlerImpl<INotifyHandler>,
                         public IPersistPropertyBagImpl<Self>,
                         public ComObjectRoot
{
public:
    static const CLSID& ClassId() { return *Clsid; }
    static PersistTable PersistRows() { return FilterRows(); }

protected:
    void Record(const char16_t* handler, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR text)
    {
        Calls().push_back(Call{handler, std::u16string(text ? text : u"", SysStringLen(text)), type, priority, code});
    }
};

class CTestRecorder : public CTestHandlerBase<CTestRecorder, &CLSID_TestRecorder>
{
public:
    BEGIN_COM_MAP(CTestRecorder)
    COM_INTERFACE_ENTRY(INotifyHandler)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyHandler)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    END_COM_MAP()

    CTestRecorder() { SetName(u"recorder"); }
    HRESULT Deliver(const Notification& n) override
    {
        Record(u"recorder", n.type, n.priority, n.code, n.description);
        return S_OK;
    }
};

class CTestSerialRecorder : public CTestHandlerBase<CTestSerialRecorder, &CLSID_TestSerialRecorder>,
                            public IDispatchImpl<INotifySerialized>
{
public:
    BEGIN_COM_MAP(CTestSerialRecorder)
    COM_INTERFACE_ENTRY(INotifyHandler)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyHandler)
    COM_INTERFACE_ENTRY(INotifySerialized)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    END_COM_MAP()

    CTestSerialRecorder() { SetName(u"serial-recorder"); }
    STDMETHOD(NotifySerialized)(BSTR, eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR text, BSTR,
                                DATE) override
    {
        if (!FilterTest(type, priority))
            return S_FALSE;
        Record(u"serial-recorder", type, priority, code, text);
        return S_OK;
    }
};

// Fails with (text, hr); serialized: ReportHandlerFailure of a Result carrying the text.
template <const CLSID* Clsid, int Variant>
class CTestFailure : public CTestHandlerBase<CTestFailure<Clsid, Variant>, Clsid>
{
public:
    BEGIN_COM_MAP(CTestFailure)
    COM_INTERFACE_ENTRY(INotifyHandler)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyHandler)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    END_COM_MAP()

    CTestFailure() { this->SetName(u"failure"); }
    HRESULT Deliver(const Notification&) override
    {
        switch (Variant)
        {
        case 0: SetErrorDescription(u"A"); return E_FAIL;
        case 1: SetErrorDescription(u"B"); return E_ACCESSDENIED;
        default:
        {
            Result r;
            r.Init(__FILE__, __LINE__, "CTestFailure::Notify", Variant == 2 ? NOTIFY_ERROR_EMAIL_SEND : NOTIFY_ERROR_LOG_WRITE_FAILED);
            return ReportHandlerFailure(static_cast<HRESULT>(0x80070000u | (20 + Variant)), r);
        }
        }
    }
};
using CTestFailureA = CTestFailure<&CLSID_TestFailureA, 0>;
using CTestFailureB = CTestFailure<&CLSID_TestFailureB, 1>;
using CTestSerializedFailure = CTestFailure<&CLSID_TestSerializedFailure, 2>;
using CTestSerializedFailure2 = CTestFailure<&CLSID_TestSerializedFailure2, 3>;

// Offers INotifyHandlerMaintain; counts the calls. Terminate fails while failTerminate is set.
struct MaintainCounts
{
    int initialized = 0;
    int terminated = 0;
    bool failTerminate = false;
};
inline MaintainCounts& Maintained()
{
    static MaintainCounts counts;
    return counts;
}

class CTestMaintained : public CTestHandlerBase<CTestMaintained, &CLSID_TestMaintained>,
                        public IDispatchImpl<INotifyHandlerMaintain>
{
public:
    BEGIN_COM_MAP(CTestMaintained)
    COM_INTERFACE_ENTRY(INotifyHandler)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyHandler)
    COM_INTERFACE_ENTRY(INotifyHandlerMaintain)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    END_COM_MAP()

    CTestMaintained() { SetName(u"maintained"); }
    STDMETHOD(Initialize)() override
    {
        ++Maintained().initialized;
        return S_OK;
    }
    STDMETHOD(Terminate)() override
    {
        ++Maintained().terminated;
        return Maintained().failTerminate ? E_FAIL : S_OK;
    }
};

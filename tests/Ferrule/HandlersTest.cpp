#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/HandlerBase.h"
#include "Messages/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifyLog.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Platform/Win32/Utf.h"

#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace
{
class Handlers : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        setenv("LC_ALL", "C", 1); // the time-stamp text uses the C locale's formats
        // The e-mail handler's password values go to a registry of the test's own.
        static TempDir registry;
        setenv("FERRULE_REGISTRY_DIR", registry.Path().c_str(), 1);
        RegisterMessageTables();
    }
};

template <class T>
ComPtr<IDispatch> Create()
{
    ComPtr<IDispatch> d;
    EXPECT_EQ(ComCreator<T>::CreateInstance(nullptr, IID_IDispatch, d.VoidOut()), S_OK);
    return d;
}

VARIANT Text(const char16_t* s)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}

VARIANT Number(VARTYPE vt, int64_t x)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = 0;
    if (vt == VT_BOOL)
        v.boolVal = static_cast<VARIANT_BOOL>(x);
    else
        v.lVal = static_cast<LONG>(x);
    return v;
}

DISPID IdOf(IDispatch* d, const char16_t* name)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    return id;
}

HRESULT Put(IDispatch* d, const char16_t* name, VARIANT value)
{
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value, &named, 1, 1};
    const HRESULT hr = d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    VariantClear(&value);
    return hr;
}

// The property as text ("TYPE:value"), read through dispatch by name.
std::string Get(IDispatch* d, const char16_t* name)
{
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT v;
    VariantInit(&v);
    const HRESULT hr = d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr);
    if (FAILED(hr))
        return "failed";
    VARIANT text;
    VariantInit(&text);
    const VARTYPE vt = v.vt;
    VariantChangeType(&text, &v, 0, VT_BSTR);
    const std::string out = std::to_string(vt) + ":" + Utf16ToUtf8(std::u16string(text.bstrVal ? text.bstrVal : u""));
    VariantClear(&v);
    VariantClear(&text);
    return out;
}

// A property bag in memory; names in failing answer E_FAIL, absent names S_FALSE with VT_EMPTY.
class MemoryBag final : public IPropertyBag
{
public:
    std::map<std::u16string, VARIANT> values;
    std::set<std::u16string> failing;
    std::vector<std::u16string> writes;

    ~MemoryBag()
    {
        for (auto& [name, v] : values)
            VariantClear(&v);
    }
    void Set(const char16_t* name, VARIANT v)
    {
        VariantClear(&values[name]);
        values[name] = v;
    }
    STDMETHOD(QueryInterface)(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(Read)(LPCOLESTR name, VARIANT* var, IErrorLog*) override
    {
        if (failing.count(name))
            return E_FAIL;
        auto it = values.find(name);
        if (it == values.end())
        {
            VariantInit(var);
            return S_FALSE;
        }
        VariantInit(var);
        return VariantCopy(var, &it->second);
    }
    STDMETHOD(Write)(LPCOLESTR name, VARIANT* var) override
    {
        writes.push_back(name);
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, var);
        Set(name, copy);
        return S_OK;
    }
};

ComPtr<IPersistPropertyBag> Persist(IDispatch* d)
{
    ComPtr<IPersistPropertyBag> p;
    EXPECT_EQ(d->QueryInterface(IID_IPersistPropertyBag, p.VoidOut()), S_OK);
    return p;
}
} // namespace

TEST_F(Handlers, FilterTest)
{
    struct Row
    {
        uint32_t typeFilter, priorityFilter;
        eZD_NOTIFY_TYPE type;
        eZD_NOTIFY_PRIORITY priority;
        bool passes;
    } rows[] = {
        {0xF, 0xF, NOTIFY_TYPE_TEST, NOTIFY_PRIORITY_TEST, true},
        {0xF, 0xF, NOTIFY_TYPE_UNKNOWN, NOTIFY_PRIORITY_HIGH, false},
        {1, 1, NOTIFY_TYPE_TEST, NOTIFY_PRIORITY_TEST, true},
        {1, 1, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_LOW, false},
        {1, 1, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, true},
        {0, 0xF, NOTIFY_TYPE_TEST, NOTIFY_PRIORITY_TEST, false},
        {3, 0xF, NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_MEDIUM, true},
        {0xF, 0xF, NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_UNKNOWN, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(PassesFilter(r.type, r.priority, r.typeFilter, r.priorityFilter), r.passes)
            << r.typeFilter << "/" << r.priorityFilter << " " << r.type << "/" << r.priority;

    // Through the interface: 0 passes, 1 filtered out.
    ComPtr<INotifyHandler> log;
    ASSERT_EQ(ComCreator<CNotifyLog>::CreateInstance(nullptr, IID_INotifyHandler, log.VoidOut()), S_OK);
    EXPECT_EQ(log->Notify(nullptr, NOTIFY_TYPE_TEST, NOTIFY_PRIORITY_TEST, 0, nullptr, nullptr, 0), S_FALSE);
    log->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0x10));
    eZD_NOTIFY_TYPE type;
    log->get_TypeFilter(&type);
    EXPECT_EQ(type, 0x10); // any bits are stored
    log->put_TypeFilter(NOTIFY_TYPE_ERROR);
    log->put_PriorityFilter(NOTIFY_PRIORITY_HIGH);
    EXPECT_EQ(log->Notify(nullptr, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, nullptr, nullptr, 0), S_OK);
    log.Reset();
}

TEST_F(Handlers, TextFunctions)
{
    const std::pair<int, const char*> types[] = {{1, "Error"}, {2, "Warning"}, {4, "Info"}, {8, "Info"}, {3, "Unknown"},
                                                 {0, "Unknown"}};
    for (auto [t, text] : types)
        EXPECT_EQ(Narrow(TypeText(static_cast<eZD_NOTIFY_TYPE>(t))), text);
    const std::pair<int, const char*> priorities[] = {{1, "High"}, {2, "Medium"}, {4, "Low"}, {8, "Low"}, {6, "Unknown"}};
    for (auto [p, text] : priorities)
        EXPECT_EQ(Narrow(PriorityText(static_cast<eZD_NOTIFY_PRIORITY>(p))), text);
    EXPECT_EQ(Narrow(CodeText(0)), "0x00");
    EXPECT_EQ(Narrow(CodeText(5)), "0x05");
    EXPECT_EQ(Narrow(CodeText(0xECE30068)), "0xECE30068");

    const std::pair<const char16_t*, const char*> umi[] = {
        {u"Error 0xE7D10019: cannot open volume", " (UMI:Q-281-2001-25)\r\n"},
        {u"12345678: x", ""},
        {u"Failed 0000FFFF: x", ""},
        {u"Failed 1234ABCD: x", " (UMI:Q-281-564-43981)\r\n"},
        {u"Failed 1234ABCG: x", ""},
        {u"no colon at all", ""},
    };
    for (auto [description, suffix] : umi)
        EXPECT_EQ(Narrow(UmiSuffix(description)), suffix) << Narrow(description);

    SYSTEMTIME st{2026, 12, 3, 9, 23, 52, 30, 0};
    DATE date;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
    EXPECT_EQ(Narrow(TimeStampText(date)), "12/09/2026 23:52:30");
    EXPECT_EQ(Narrow(TimeStampText(1e9)), " "); // cannot convert: empty parts
}

TEST_F(Handlers, ReportHandlerFailureNesting)
{
    auto make = [](uint32_t code) {
        Result r;
        r.Init(__FILE__, __LINE__, "CNotifyLog::Notify", code);
        return r;
    };

    // Outside a handler call a failure stands alone, whatever error information the thread held.
    SetErrorDescription(make(NOTIFY_ERROR_LOG_WRITE_FAILED).Serialize());
    EXPECT_EQ(ReportHandlerFailure(0x80070020, make(NOTIFY_ERROR_LOG_CREATE_FAILED)), static_cast<HRESULT>(0x80070020));
    TakenFailure alone = TakeHandlerFailure();
    EXPECT_EQ(Narrow(alone.text).rfind("Result (0xece30068 30 NOTIFY_ERROR_LOG_CREATE_FAILED", 0), 0u) << Narrow(alone.text);
    ASSERT_TRUE(alone.value);
    EXPECT_EQ(alone.value->Serialize(), alone.text);
    EXPECT_TRUE(alone.value->Arguments() == nullptr || alone.value->Arguments()->empty());

    // Inside one call the newest failure carries the earlier ones, and the text is made when the call ends.
    {
        CallFailures call;
        EXPECT_EQ(ReportHandlerFailure(E_FAIL, make(NOTIFY_ERROR_LOG_WRITE_FAILED)), E_FAIL);
        EXPECT_EQ(ReportHandlerFailure(S_OK, make(NOTIFY_ERROR_EMAIL_SEND)), DISP_E_EXCEPTION);
        EXPECT_TRUE(TakeHandlerFailure().text.empty());
        call.Publish();
    }
    const TakenFailure nested = TakeHandlerFailure();
    ASSERT_TRUE(nested.value);
    EXPECT_EQ(nested.value->GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    ASSERT_EQ(nested.value->Arguments()->size(), 1u);
    EXPECT_EQ((*nested.value->Arguments())[0].GetResult().GetCode(), NOTIFY_ERROR_LOG_WRITE_FAILED);
    Result parsed;
    ASSERT_TRUE(ParseSerializedResult(nested.text, parsed));
    EXPECT_EQ(parsed.Serialize(), nested.text);

    // Error information that a handler of this module did not make is read from its text alone.
    SetErrorDescription(u"Plain failure.");
    const TakenFailure plain = TakeHandlerFailure();
    EXPECT_EQ(Narrow(plain.text), "Plain failure.");
    EXPECT_FALSE(plain.value);

    Result untouched = make(NOTIFY_ERROR_LOAD_FAILED);
    EXPECT_FALSE(ParseSerializedResult(u"Result (garbage", untouched));
    EXPECT_FALSE(ParseSerializedResult(u"result (0 15 GENERIC_SUCCESS )", untouched));
    EXPECT_EQ(untouched.GetCode(), NOTIFY_ERROR_LOAD_FAILED);
}

TEST_F(Handlers, EveryPropertyThroughDispatch)
{
    struct Row
    {
        ComPtr<IDispatch> (*create)();
        const char16_t* name;
        VARIANT value;          // what is put
        const char* readBack;   // "VT:text" read back; "" when only the put is checked
        HRESULT putResult = S_OK;
    };
    Row rows[] = {
        {&Create<CNotifyLog>, u"MaxSize", Text(u"7"), "19:7"},
        {&Create<CNotifyLog>, u"MaxSize", Number(VT_I4, 0), "19:1024", E_INVALIDARG},
        {&Create<CNotifyLog>, u"MaxSize", Number(VT_I4, -1), "19:1024", DISP_E_OVERFLOW},
        {&Create<CNotifyLog>, u"MaxSize", Text(u"4294967295"), "19:4294967295"},
        {&Create<CNotifyLog>, u"FileName", Text(u"App.log.txt"), "8:App.log.txt"},
        {&Create<CNotifyLog>, u"FilePath", Text(u"/var/log/backup"), "8:/var/log/backup\\"},
        {&Create<CNotifyLog>, u"FilePath", Text(u"C:\\Logs\\"), "8:C:\\Logs\\"},
        {&Create<CNotifyLog>, u"FilePath", Text(u""), "8:"},
        {&Create<CNotifyLog>, u"TypeFilter", Number(VT_UI4, 0xFFFFFFFF), "19:4294967295"},
        {&Create<CNotifyLog>, u"PriorityFilter", Number(VT_I4, 7), "19:7"},
        {&Create<CNotifyLog>, u"Name", Text(u"x"), "8:LogFile", DISP_E_MEMBERNOTFOUND},
        {&Create<CNotifySysEvent>, u"Name", Text(u"x"), "8:EventLog", DISP_E_MEMBERNOTFOUND},
        {&Create<CNotifySysEvent>, u"TypeFilter", Number(VT_I4, 3), "19:3"},
        {&Create<CNotifyApp>, u"Clients", Text(u"4"), "23:4"},
        {&Create<CNotifyApp>, u"Name", Text(u"x"), "8:AppNotifier", DISP_E_MEMBERNOTFOUND},
        {&Create<CNotifySNMPTrap>, u"Destination", Text(u"127.0.0.1"), "8:127.0.0.1"},
        {&Create<CNotifySNMPTrap>, u"TrapPort", Number(VT_I4, 0), "23:0"},
        {&Create<CNotifySNMPTrap>, u"SNMPVersionV2", Number(VT_BOOL, 0), "11:0"},
        {&Create<CNotifySNMPTrap>, u"CommunityString", Text(u"public"), "8:public"},
        {&Create<CNotifySNMPTrap>, u"SNMPTrapEnabled", Text(u"True"), "11:-1"},
        {&Create<CNotifySNMPTrap>, u"Name", Text(u"x"), "8:SNMP Trap", DISP_E_MEMBERNOTFOUND},
        {&Create<CNotifyConnPt>, u"PriorityFilter", Number(VT_I4, 1), "19:1"},
        {&Create<CNotifyConnPt>, u"Name", Text(u"x"), "8:NotifyConnPt", DISP_E_MEMBERNOTFOUND},
        {&Create<CNotifyEmail>, u"Address", Text(u"ops@example.org"), "8:ops@example.org"},
        {&Create<CNotifyEmail>, u"SMTPServer", Text(u"127.0.0.1"), "8:127.0.0.1"},
        {&Create<CNotifyEmail>, u"ServerPort", Number(VT_I4, 2525), "23:2525"},
        {&Create<CNotifyEmail>, u"ServerPort", Number(VT_I4, 0), "23:25"},
        {&Create<CNotifyEmail>, u"ServerPort", Number(VT_I4, 65536), "23:25"},
        {&Create<CNotifyEmail>, u"AddressFrom", Text(u"backup@example.org"), "8:backup@example.org"},
        {&Create<CNotifyEmail>, u"Anonymous", Number(VT_BOOL, 0), "11:-1"}, // any value makes it anonymous
        {&Create<CNotifyEmail>, u"Authentication", Number(VT_I4, 9999), "3:9999"},
        {&Create<CNotifyEmail>, u"User", Text(u"ops"), "8:ops"},
        {&Create<CNotifyEmail>, u"Encryption", Text(u"1"), "3:1"},
        {&Create<CNotifyEmail>, u"Encryption", Number(VT_I4, 9999), "3:9999"},
        {&Create<CNotifyEmail>, u"Name", Text(u"x"), "8:E-mail", DISP_E_MEMBERNOTFOUND},
    };
    for (Row& r : rows)
    {
        ComPtr<IDispatch> d = r.create();
        EXPECT_EQ(Put(d, r.name, r.value), r.putResult) << Narrow(r.name);
        EXPECT_EQ(Get(d, r.name), r.readBack) << Narrow(r.name);
        d.Reset();
    }
}

TEST_F(Handlers, DefaultsAndDerivedValues)
{
    ComPtr<IDispatch> email = Create<CNotifyEmail>();
    EXPECT_EQ(Get(email, u"ServerPort"), "23:25");
    EXPECT_EQ(Get(email, u"Authentication"), "3:2");
    EXPECT_EQ(Get(email, u"Anonymous"), "11:0");
    EXPECT_EQ(Get(email, u"Encryption"), "3:0");
    EXPECT_EQ(Put(email, u"Authentication", Number(VT_I4, 0)), S_OK);
    EXPECT_EQ(Get(email, u"Anonymous"), "11:-1");
    EXPECT_EQ(Put(email, u"User", Text(u"ops")), S_OK);
    ComPtr<INotifyEmail4> e4;
    ASSERT_EQ(email->QueryInterface(IID_INotifyEmail4, e4.VoidOut()), S_OK);
    EXPECT_EQ(std::u16string(static_cast<CNotifyEmail*>(e4.Get())->KeyAccountName()), u"ops");
    e4.Reset();
    email.Reset();

    ComPtr<IDispatch> snmp = Create<CNotifySNMPTrap>();
    EXPECT_EQ(Get(snmp, u"SNMPVersionV2"), "11:-1");
    EXPECT_EQ(Get(snmp, u"SNMPTrapEnabled"), "11:0");
    EXPECT_EQ(Get(snmp, u"TrapPort"), "23:162");
    snmp.Reset();

    ComPtr<IDispatch> connPt = Create<CNotifyConnPt>();
    EXPECT_EQ(Get(connPt, u"TypeFilter"), "19:4294967295");
    EXPECT_EQ(Get(connPt, u"PriorityFilter"), "19:4294967295");
    connPt.Reset();

    ComPtr<IDispatch> log = Create<CNotifyLog>();
    EXPECT_EQ(Get(log, u"MaxSize"), "19:1024");
    EXPECT_EQ(Get(log, u"TypeFilter"), "19:0");
    log.Reset();
}

TEST_F(Handlers, NullOutPointersAndStringSlots)
{
    ComPtr<INotifyLog> log;
    ASSERT_EQ(ComCreator<CNotifyLog>::CreateInstance(nullptr, IID_INotifyLog, log.VoidOut()), S_OK);
    EXPECT_EQ(log->get_Name(nullptr), E_POINTER);
    EXPECT_EQ(log->get_MaxSize(nullptr), E_POINTER);
    EXPECT_EQ(log->get_FileName(nullptr), E_POINTER);
    EXPECT_EQ(log->get_FilePath(nullptr), E_POINTER);
    EXPECT_EQ(log->get_TypeFilter(nullptr), E_POINTER);
    EXPECT_EQ(log->get_PriorityFilter(nullptr), E_POINTER);
    BSTR slot = SysAllocString(u"left over"); // freed by the getter (the sanitizer build checks)
    ASSERT_EQ(log->get_Name(&slot), S_OK);
    EXPECT_EQ(std::u16string(slot), u"LogFile");
    SysFreeString(slot);
    log.Reset();

    ComPtr<INotifyEmail4> email;
    ASSERT_EQ(ComCreator<CNotifyEmail>::CreateInstance(nullptr, IID_INotifyEmail4, email.VoidOut()),
              S_OK);
    EXPECT_EQ(email->get_Address(nullptr), E_POINTER);
    EXPECT_EQ(email->get_ServerPort(nullptr), E_POINTER);
    EXPECT_EQ(email->get_Anonymous(nullptr), E_POINTER);
    EXPECT_EQ(email->get_Encryption(nullptr), E_POINTER);
    EXPECT_EQ(email->get_EncryptedPassword(nullptr), E_POINTER);
    email.Reset();

    ComPtr<INotifySNMPTrap> snmp;
    ASSERT_EQ(ComCreator<CNotifySNMPTrap>::CreateInstance(nullptr, IID_INotifySNMPTrap, snmp.VoidOut()),
              S_OK);
    EXPECT_EQ(snmp->get_SNMPTrapEnabled(nullptr), E_POINTER);
    EXPECT_EQ(snmp->get_Destination(nullptr), E_POINTER);
    snmp.Reset();
}

TEST_F(Handlers, LoadAndSaveThroughAPropertyBag)
{
    ComPtr<IDispatch> log = Create<CNotifyLog>();
    ComPtr<IPersistPropertyBag> persist = Persist(log);
    EXPECT_EQ(persist->Load(nullptr, nullptr), E_INVALIDARG);

    // A failed read keeps the value; an absent name sets 0, empty or false.
    Put(log, u"PriorityFilter", Number(VT_I4, 6));
    Put(log, u"FileName", Text(u"kept-or-not"));
    MemoryBag bag;
    bag.failing.insert(u"PriorityFilter");
    bag.Set(u"TypeFilter", Number(VT_UI4, 3));
    bag.Set(u"Path", Text(u"/var/log"));
    bag.Set(u"MaxSize", Text(u"64"));
    ASSERT_EQ(persist->Load(&bag, nullptr), S_OK);
    EXPECT_EQ(Get(log, u"PriorityFilter"), "19:6");
    EXPECT_EQ(Get(log, u"TypeFilter"), "19:3");
    EXPECT_EQ(Get(log, u"FilePath"), "8:/var/log\\");
    EXPECT_EQ(Get(log, u"FileName"), "8:"); // absent from the bag
    EXPECT_EQ(Get(log, u"MaxSize"), "19:64");

    // MaxSize 0 ends Load with E_FAIL after the other rows were set.
    MemoryBag zero;
    zero.Set(u"TypeFilter", Number(VT_UI4, 1));
    zero.Set(u"File", Text(u"x.log"));
    zero.Set(u"MaxSize", Number(VT_UI4, 0));
    EXPECT_EQ(persist->Load(&zero, nullptr), E_FAIL);
    EXPECT_EQ(Get(log, u"File"), "failed"); // bag names are not property names
    EXPECT_EQ(Get(log, u"FileName"), "8:x.log");
    EXPECT_EQ(Get(log, u"MaxSize"), "19:64");

    MemoryBag out;
    ASSERT_EQ(persist->Save(&out, TRUE, FALSE), S_OK);
    EXPECT_EQ(out.writes, (std::vector<std::u16string>{u"TypeFilter", u"PriorityFilter", u"Path", u"File", u"MaxSize"}));
    EXPECT_EQ(out.values[u"MaxSize"].vt, VT_UI4);
    CLSID clsid;
    ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_NotifyLog);
    persist.Reset();
    log.Reset();

    // "Encryption" is written as text and read back as a number.
    ComPtr<IDispatch> email = Create<CNotifyEmail>();
    Put(email, u"Encryption", Number(VT_I4, 2));
    ComPtr<IPersistPropertyBag> emailPersist = Persist(email);
    MemoryBag emailBag;
    ASSERT_EQ(emailPersist->Save(&emailBag, TRUE, TRUE), S_OK);
    ASSERT_EQ(emailBag.values[u"Encryption"].vt, VT_BSTR);
    EXPECT_EQ(std::u16string(emailBag.values[u"Encryption"].bstrVal), u"2");
    EXPECT_EQ(emailBag.values[u"ServerPort"].vt, VT_UINT);
    ComPtr<IDispatch> fresh = Create<CNotifyEmail>();
    ComPtr<IPersistPropertyBag> freshPersist = Persist(fresh);
    ASSERT_EQ(freshPersist->Load(&emailBag, nullptr), S_OK);
    EXPECT_EQ(Get(fresh, u"Encryption"), "3:2");
    EXPECT_EQ(Get(fresh, u"ServerPort"), "23:25");
    freshPersist.Reset();
    fresh.Reset();
    emailPersist.Reset();
    email.Reset();
}

TEST_F(Handlers, ErrorInfoSupportAndClassIds)
{
    struct Row
    {
        ComPtr<IDispatch> (*create)();
        std::vector<const IID*> supported;
    } rows[] = {
        {&Create<CNotifyLog>, {&IID_INotifyHandler, &IID_INotifyLog}},
        {&Create<CNotifySysEvent>, {&IID_INotifyHandler, &IID_INotifySysEvent}},
        {&Create<CNotifySNMPTrap>, {&IID_INotifyHandler, &IID_INotifySNMPTrap}},
        {&Create<CNotifyApp>, {&IID_INotifyApp}},
        {&Create<CNotifyConnPt>, {&IID_INotifyConnPt}},
        {&Create<CNotifyEmail>,
         {&IID_INotifyHandler, &IID_INotifyEmail, &IID_INotifyEmail2, &IID_INotifyEmail3, &IID_INotifyEmail4}},
    };
    const IID* all[] = {&IID_INotifyHandler, &IID_INotifyLog,    &IID_INotifySysEvent, &IID_INotifySNMPTrap,
                        &IID_INotifyApp,     &IID_INotifyConnPt, &IID_INotifyEmail,    &IID_INotifyEmail4,
                        &IID_IDispatch};
    for (Row& r : rows)
    {
        ComPtr<IDispatch> d = r.create();
        ComPtr<ISupportErrorInfo> s;
        ASSERT_EQ(d->QueryInterface(IID_ISupportErrorInfo, s.VoidOut()), S_OK);
        for (const IID* iid : all)
        {
            const bool expected = std::find(r.supported.begin(), r.supported.end(), iid) != r.supported.end();
            EXPECT_EQ(s->InterfaceSupportsErrorInfo(*iid), expected ? S_OK : S_FALSE);
        }
        s.Reset();
        d.Reset();
    }

    // The handler class ids sort into the dispatch order.
    const CLSID order[] = {CLSID_NotifyConnPt, CLSID_NotifyApp, CLSID_NotifySNMPTrap, CLSID_NotifyEmail,
                           CLSID_NotifySysEvent, CLSID_NotifyLog};
    for (size_t i = 0; i + 1 < 6; ++i)
    {
        OLECHAR a[39], b[39];
        StringFromGUID2(order[i], a, 39);
        StringFromGUID2(order[i + 1], b, 39);
        Bstr ba(a), bb(b);
        EXPECT_EQ(VarBstrCmp(ba, bb, LOCALE_USER_DEFAULT, 0), VARCMP_LT) << i;
    }
}

TEST_F(Handlers, BoundaryTurnsExceptionsIntoHresults)
{
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw RESULT_AT("t", NOTIFY_ERROR_EMAIL_SEND); }),
              static_cast<HRESULT>(NOTIFY_ERROR_EMAIL_SEND));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    Bstr d;
    info->GetDescription(d.Out());
    EXPECT_EQ(std::u16string(d).rfind(u"Result (0xece3006a", 0), 0u);
    info.Reset();
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw CheckFailure("f.cpp", 1, "t", "x"); }), E_UNEXPECTED);
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw std::runtime_error("boom"); }), E_FAIL);
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw 42; }), E_UNEXPECTED);
    EXPECT_EQ(Boundary("t", []() -> HRESULT { throw RESULT_AT("t", 5); }), static_cast<HRESULT>(0x80070005));
    SetErrorInfo(0, nullptr);
}

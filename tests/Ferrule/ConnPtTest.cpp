// The connection-point handler with sinks written here.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyConnPt.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

namespace
{
// One call as a sink received it: the arguments in parameter order, as text with their types.
using Call = std::vector<std::string>;

std::string Describe(const VARIANT& v)
{
    switch (v.vt)
    {
    case VT_BSTR: return "BSTR:" + Utf16ToUtf8(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)));
    case VT_I4: return "I4:" + std::to_string(v.lVal);
    case VT_UI4: return "UI4:" + std::to_string(v.ulVal);
    case VT_DATE: return "DATE:" + std::to_string(v.date);
    default: return "vt" + std::to_string(v.vt);
    }
}

class Sink final : public IDispatch
{
public:
    explicit Sink(bool events = true, HRESULT answer = S_OK) : mEvents(events), mAnswer(answer) {}
    std::vector<Call> calls;
    ULONG refs = 1;

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || (mEvents && iid == IID__INotifyConnPtEvents))
        {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
    STDMETHOD(GetTypeInfoCount)(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        Call call = {"id " + std::to_string(id) + " lcid " + std::to_string(lcid) + " flags " + std::to_string(flags)};
        for (UINT i = params->cArgs; i-- > 0;) // last first: parameter order is the reverse
            call.push_back(Describe(params->rgvarg[i]));
        calls.push_back(call);
        return mAnswer;
    }

private:
    bool mEvents;
    HRESULT mAnswer;
};


class ConnPt : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        ASSERT_EQ(ComCreator<CNotifyConnPt>::CreateInstance(nullptr, IID_INotifySerialized,
                                                             mHandler.VoidOut()),
                  S_OK);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(mHandler->QueryInterface(IID_IConnectionPointContainer, container.VoidOut()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(IID__INotifyConnPtEvents, mPoint.Out()), S_OK);
        ComPtr<IConnectionPoint> none;
        EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, none.Out()), CONNECT_E_NOCONNECTION);
        container.Reset();
    }
    void TearDown() override
    {
        mPoint.Reset();
        mHandler.Reset();
    }
    HRESULT Fire(int type = 1, int priority = 1)
    {
        Bstr a(u"App"), d(u"Backup failed."), s(u"nightly");
        const HRESULT hr = mHandler->NotifySerialized(a, static_cast<eZD_NOTIFY_TYPE>(type),
                                                      static_cast<eZD_NOTIFY_PRIORITY>(priority), 0x1F, d, s, 46365.5);
        return hr;
    }

    ComPtr<INotifySerialized> mHandler;
    ComPtr<IConnectionPoint> mPoint;
};
} // namespace

TEST_F(ConnPt, FiringReachesEverySinkAndAnswersWithTheLast)
{
    EXPECT_EQ(Fire(), S_OK); // no sink
    Sink failing(true, E_FAIL), good;
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(mPoint->Advise(&failing, &c1), S_OK);
    ASSERT_EQ(mPoint->Advise(&good, &c2), S_OK);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(c2, 2u);
    EXPECT_EQ(Fire(), S_OK); // the first failed, the last succeeded
    ASSERT_EQ(failing.calls.size(), 1u);
    ASSERT_EQ(good.calls.size(), 1u);
    EXPECT_EQ(good.calls[0], (Call{"id 1 lcid 1024 flags 1", "BSTR:App", "I4:1", "I4:1", "UI4:31",
                                   "BSTR:Backup failed.", "BSTR:nightly", "DATE:" + std::to_string(46365.5)}));
    // The order reversed: the failing one last decides.
    ASSERT_EQ(mPoint->Unadvise(c2), S_OK);
    EXPECT_EQ(Fire(), E_FAIL);

    // Filtered out: 1, nobody called; a test notification passes non-zero filters.
    ComPtr<INotifyHandler> handler;
    mHandler->QueryInterface(IID_INotifyHandler, handler.VoidOut());
    handler->put_TypeFilter(NOTIFY_TYPE_WARNING);
    EXPECT_EQ(Fire(), S_FALSE);
    EXPECT_EQ(Fire(8, 8), E_FAIL);
    // Notify itself fires nothing.
    const size_t before = failing.calls.size();
    Bstr a(u"App");
    EXPECT_EQ(handler->Notify(a, NOTIFY_TYPE_TEST, NOTIFY_PRIORITY_TEST, 0, a, a, 0), S_OK);
    EXPECT_EQ(failing.calls.size(), before);
    handler.Reset();
    ASSERT_EQ(mPoint->Unadvise(c1), S_OK);
    EXPECT_EQ(failing.refs, 1u); // every reference given back
}

TEST_F(ConnPt, CookiesSlotsAndRefusals)
{
    Sink sinks[9];
    DWORD cookies[9] = {};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(mPoint->Advise(&sinks[i], &cookies[i]), S_OK);
    ASSERT_EQ(mPoint->Unadvise(2), S_OK);
    ASSERT_EQ(mPoint->Advise(&sinks[3], &cookies[3]), S_OK);
    EXPECT_EQ(cookies[3], 2u); // the free slot again
    // Beyond four the slots double.
    for (int i = 4; i < 9; ++i)
        ASSERT_EQ(mPoint->Advise(&sinks[i], &cookies[i]), S_OK);
    EXPECT_EQ(cookies[8], 8u);
    ComPtr<IEnumConnections> e;
    ASSERT_EQ(mPoint->EnumConnections(e.Out()), S_OK);
    CONNECTDATA data[16];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(16, data, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 8u);
    for (ULONG i = 0; i < fetched; ++i)
        data[i].pUnk->Release();
    e.Reset();
    EXPECT_EQ(Fire(), S_OK);
    for (int i : {0, 2, 3, 4, 5, 6, 7, 8})
        EXPECT_EQ(sinks[i].calls.size(), 1u) << i;

    Sink notEvents(false);
    DWORD cookie = 99;
    EXPECT_EQ(mPoint->Advise(&notEvents, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(mPoint->Advise(nullptr, &cookie), E_POINTER);
    for (DWORD bad : {0u, 42u})
        EXPECT_EQ(mPoint->Unadvise(bad), CONNECT_E_NOCONNECTION);
    IID iid;
    mPoint->GetConnectionInterface(&iid);
    EXPECT_TRUE(iid == IID__INotifyConnPtEvents);
    for (int i : {0, 2, 3, 4, 5, 6, 7, 8})
        mPoint->Unadvise(cookies[i]);
}

TEST(ConnPtThroughTheManager, ASinkReceivesWhatClientsSend)
{
    RegisterMessageTables();
    TempDir dir;
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    Bstr app(u"App"), policy(Utf8ToUtf16(dir.Path() + "/app.notify.xml"));
    ASSERT_EQ(n->Initialize(app, policy), S_OK);
    Bstr key(GuidText(CLSID_NotifyConnPt));
    ComPtr<INotifyHandler> handler;
    ASSERT_EQ(n->GetHandler(key, handler.Out()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(handler->QueryInterface(IID_IConnectionPointContainer, container.VoidOut()), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID__INotifyConnPtEvents, point.Out()), S_OK);
    Sink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);

    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0); // the log file lands here
    Bstr text(u"disk full"), src(u"nightly");
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_WARNING, NOTIFY_PRIORITY_MEDIUM, 0x1F, text, src, 46365.5), S_OK);
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0xECE3006A, text, src, 46365.5), S_OK);
    ASSERT_EQ(chdir(old), 0);
    ASSERT_EQ(sink.calls.size(), 2u);
    EXPECT_EQ(sink.calls[0], (Call{"id 1 lcid 1024 flags 1", "BSTR:App", "I4:2", "I4:2", "UI4:31", "BSTR:disk full",
                                   "BSTR:nightly", "DATE:" + std::to_string(46365.5)}));
    // A bit-31 code: the description is the serialized result the manager made.
    EXPECT_EQ(sink.calls[1][4], "UI4:" + std::to_string(0xECE3006Au));
    EXPECT_EQ(sink.calls[1][5].rfind("BSTR:Result (0xece3006a ", 0), 0u) << sink.calls[1][5];
    for (const Call& c : sink.calls)
    {
        for (const std::string& a : c)
            std::printf("%s  ", a.c_str());
        std::printf("\n");
    }
    point->Unadvise(cookie);
    point.Reset();
    container.Reset();
    handler.Reset();
    n.Reset();
}

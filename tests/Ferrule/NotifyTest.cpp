#include "Ferrule/Notify.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifyLog.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"
#include "TestHandlers.h"

#include "Platform/Com/Owners.h"

#include "Ferrule/ClassTable.h"
#include "TestSupport.h"
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{
// A UTF-16LE file (the log file) as UTF-8.
std::string Utf16File(const std::string& path)
{
    const std::string raw = ReadFile(path);
    std::u16string text;
    for (size_t i = 2; i + 1 < raw.size(); i += 2)
        text += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
    return Utf16ToUtf8(text);
}

std::string Key(REFCLSID clsid)
{
    return Narrow(GuidText(clsid));
}

// A policy file with the given handler elements.
std::string Policy(const std::string& handlers)
{
    return "<NotifyPolicy><Handlers>" + handlers + "</Handlers></NotifyPolicy>";
}

// The log-file handler's elements carry MaxSize: an absent one reads as 0, which it refuses.
std::string HandlerElement(REFCLSID clsid, uint32_t typeFilter, uint32_t priorityFilter, std::string extra = "")
{
    if (clsid == CLSID_NotifyLog && extra.empty())
        extra = "<MaxSize vt=\"19\">64</MaxSize>";
    return "<Handler clsid=\"" + Key(clsid) + "\"><TypeFilter vt=\"19\">" + std::to_string(typeFilter) +
           "</TypeFilter><PriorityFilter vt=\"19\">" + std::to_string(priorityFilter) + "</PriorityFilter>" + extra +
           "</Handler>";
}

class Manager : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        RegisterMessageTables();
        // The translator, as an in-process server found by CoCreateInstance.
        ASSERT_NE(LoadLibraryW(u"Translator.dll"), nullptr);
        // The module's handler classes, as the module offers them.
        for (const ClassRow& c : kClasses)
            if (c.IsHandler())
                Register(*c.clsid, c.create);
        Register(CLSID_TestRecorder, &ComCreator<CTestRecorder>::CreateInstance);
        Register(CLSID_TestSerialRecorder, &ComCreator<CTestSerialRecorder>::CreateInstance);
        Register(CLSID_TestFailureA, &ComCreator<CTestFailureA>::CreateInstance);
        Register(CLSID_TestFailureB, &ComCreator<CTestFailureB>::CreateInstance);
        Register(CLSID_TestSerializedFailure, &ComCreator<CTestSerializedFailure>::CreateInstance);
        Register(CLSID_TestSerializedFailure2, &ComCreator<CTestSerializedFailure2>::CreateInstance);
        Register(CLSID_TestMaintained, &ComCreator<CTestMaintained>::CreateInstance);
    }
    static void Register(REFCLSID clsid, ComCreatorFunction create)
    {
        const auto factory = ComPtr<IClassFactory>::Adopt(new ComClassFactory(create));
        DWORD cookie;
        CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    }

    void SetUp() override
    {
        ASSERT_EQ(getcwd(mOldDir, sizeof mOldDir), mOldDir);
        ASSERT_EQ(chdir(mDir.Path().c_str()), 0); // relative policy paths land here
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        Calls().clear();
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override { ASSERT_EQ(chdir(mOldDir), 0); }

    void WriteFile(const std::string& name, const std::string& content) { std::ofstream(name) << content; }

    ComPtr<INotify> NewManager()
    {
        ComPtr<INotify> n;
        EXPECT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
        return n;
    }

    HRESULT Init(INotify* n, const char16_t* app, const char16_t* file = u"")
    {
        return n->Initialize(Bstr(app), Bstr(file));
    }

    HRESULT Send(INotify* n, ULONG code, const std::u16string& description, eZD_NOTIFY_TYPE type = NOTIFY_TYPE_ERROR,
                 eZD_NOTIFY_PRIORITY priority = NOTIFY_PRIORITY_HIGH)
    {
        return n->Notify(type, priority, code, Bstr(description), Bstr(u"test"), 46365.5);
    }

    // The thread's error description and source (consumed).
    static std::string ErrorDescription(std::string* source = nullptr)
    {
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Out()) != S_OK)
            return "(none)";
        Bstr d, s;
        info->GetDescription(d.Out());
        info->GetSource(s.Out());
        if (source)
            *source = Utf16ToUtf8(s.Str());
        return Utf16ToUtf8(d.Str());
    }

    ComPtr<INotifyHandler> Handler(INotify* n, const std::u16string& id)
    {
        ComPtr<INotifyHandler> h;
        EXPECT_EQ(n->GetHandler(Bstr(id), h.Out()), S_OK);
        return h;
    }

    std::vector<Call> CallsOf(const char16_t* handler)
    {
        std::vector<Call> out;
        for (const Call& c : Calls())
            if (c.handler == handler)
                out.push_back(c);
        return out;
    }

    TempDir mDir;
    char mOldDir[4096];
};
} // namespace

TEST_F(Manager, NotInitialized)
{
    ComPtr<INotify> n = NewManager();
    EXPECT_EQ(Send(n, 0, u"x"), E_UNEXPECTED);
    std::string source;
    EXPECT_EQ(ErrorDescription(&source),
              "Result (0xece3006c 37 NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED Args [0];)<9 1.0-*-*-* >");
    EXPECT_EQ(source, "Quellon.Notify.1");

    EXPECT_EQ(Init(n, u""), E_INVALIDARG);
    EXPECT_EQ(ErrorDescription(), "An application name must be specified.");
    EXPECT_EQ(Send(n, 0, u"x"), E_UNEXPECTED);
    EXPECT_TRUE(Calls().empty());
    Bstr app;
    EXPECT_EQ(n->get_Application(nullptr), E_POINTER);
    ASSERT_EQ(n->get_Application(app.Out()), S_OK);
    EXPECT_EQ(SysStringLen(app), 0u);
    n.Reset(); // never initialized: nothing is written
    EXPECT_FALSE(std::ifstream(".notify.xml").good());
}

TEST_F(Manager, EveryClassDispatchesInTheOrderOfItsIdentifiersText)
{
    // A policy that names every handler class of the table, those a set adds among them, in reverse.
    std::string elements;
    std::vector<String> expected;
    for (const ClassRow& c : kClasses)
        if (c.IsHandler())
        {
            elements = HandlerElement(*c.clsid, 0xF, 0xF) + elements;
            expected.push_back(UpperKey(GuidText(*c.clsid)));
        }
    std::sort(expected.begin(), expected.end());
    WriteFile("every.notify.xml", Policy(elements));
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"every"), S_OK);
    EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys(), expected);
}

TEST_F(Manager, TheDefaultPolicyKeepsTheFilesFormat)
{
    // The file a manager writes for no policy at all, element by element and row by row with its types:
    // files already on machines are read with this format, and tools grep it.
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"Format"), S_OK);
    n.Reset();
    const std::string expected =
        "<NotifyPolicy><Handlers>"
        "<Handler name=\"NotifyConnPt\" clsid=\"{1C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0006}\"><TypeFilter vt=\"19\">7</TypeFilter>"
        "<PriorityFilter vt=\"19\">7</PriorityFilter></Handler>"
        "<Handler name=\"AppNotifier\" clsid=\"{2C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0005}\"><TypeFilter vt=\"19\">1</TypeFilter>"
        "<PriorityFilter vt=\"19\">7</PriorityFilter></Handler>"
        "<Handler name=\"SNMP Trap\" clsid=\"{3C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0009}\"><TypeFilter vt=\"19\">0</TypeFilter>"
        "<PriorityFilter vt=\"19\">1</PriorityFilter><Destination vt=\"8\"/><TrapPort vt=\"23\">162</TrapPort>"
        "<SNMPVersionV2 vt=\"11\">-1</SNMPVersionV2><CommunityString vt=\"8\"/><SNMPTrapEnabled vt=\"11\">0</SNMPTrapEnabled>"
        "</Handler>"
        "<Handler name=\"E-mail\" clsid=\"{4C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0002}\"><TypeFilter vt=\"19\">0</TypeFilter>"
        "<PriorityFilter vt=\"19\">1</PriorityFilter><EmailAddress vt=\"8\"/><SMTPServer vt=\"8\"/>"
        "<ServerPort vt=\"23\">25</ServerPort><From vt=\"8\"/><Authentication vt=\"19\">2</Authentication>"
        "<User vt=\"8\"/><Encryption vt=\"8\">0</Encryption><AESAdvancedPwd256ICFIPS vt=\"8\"/></Handler>"
        "<Handler name=\"EventLog\" clsid=\"{5C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0004}\"><TypeFilter vt=\"19\">7</TypeFilter>"
        "<PriorityFilter vt=\"19\">3</PriorityFilter></Handler>"
        "<Handler name=\"LogFile\" clsid=\"{6C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0003}\"><TypeFilter vt=\"19\">7</TypeFilter>"
        "<PriorityFilter vt=\"19\">7</PriorityFilter><Path vt=\"8\"/><File vt=\"8\"/><MaxSize vt=\"19\">1024</MaxSize>"
        "</Handler></Handlers></NotifyPolicy>";
    EXPECT_EQ(ReadFile("Format.notify.xml"), expected);
}

TEST_F(Manager, DefaultsAndFileNames)
{
    // No file at all: the six built-ins with their default filters, in class-id order.
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"Backup"), S_OK);
    const std::vector<String> keys = static_cast<CNotify*>(n.Get())->Keys();
    const std::vector<String> expected = {GuidText(CLSID_NotifyConnPt), GuidText(CLSID_NotifyApp),
                                          GuidText(CLSID_NotifySNMPTrap), GuidText(CLSID_NotifyEmail),
                                          GuidText(CLSID_NotifySysEvent), GuidText(CLSID_NotifyLog)};
    EXPECT_EQ(keys, expected);
    const std::tuple<CLSID, int, int> defaults[] = {
        {CLSID_NotifyEmail, 0, 1}, {CLSID_NotifyConnPt, 7, 7},  {CLSID_NotifySysEvent, 7, 3},
        {CLSID_NotifyLog, 7, 7},   {CLSID_NotifyApp, 1, 7},     {CLSID_NotifySNMPTrap, 0, 1},
    };
    for (auto [clsid, type, priority] : defaults)
    {
        ComPtr<INotifyHandler> h = Handler(n, UpperKey(GuidText(clsid)));
        ASSERT_NE(h, nullptr);
        eZD_NOTIFY_TYPE t;
        eZD_NOTIFY_PRIORITY p;
        h->get_TypeFilter(&t);
        h->get_PriorityFilter(&p);
        EXPECT_EQ(t, type);
        EXPECT_EQ(p, priority);
        h.Reset();
    }
    // A lower-case id finds the handler; an unknown one answers success and no object.
    std::u16string lower = GuidText(CLSID_NotifyLog);
    for (char16_t& c : lower)
        c = static_cast<char16_t>(std::towlower(c));
    ComPtr<INotifyHandler> log = Handler(n, lower);
    EXPECT_NE(log, nullptr);
    log.Reset();
    EXPECT_EQ(Handler(n, u"{00000000-0000-0000-0000-000000000000}"), nullptr);
    n.Reset();

    // Released: the file named after the application was written, without a declaration.
    const std::string written = ReadFile("Backup.notify.xml");
    EXPECT_EQ(written.rfind("<NotifyPolicy><Handlers><Handler name=\"NotifyConnPt\" clsid=\"" + Key(CLSID_NotifyConnPt) +
                                "\"><TypeFilter vt=\"19\">7</TypeFilter>",
                            0),
              0u)
        << written;
    EXPECT_NE(written.find("<Handler name=\"LogFile\" clsid=\"" + Key(CLSID_NotifyLog) +
                           "\"><TypeFilter vt=\"19\">7</TypeFilter><PriorityFilter vt=\"19\">7</PriorityFilter>"
                           "<Path vt=\"8\"/><File vt=\"8\"/><MaxSize vt=\"19\">1024</MaxSize></Handler>"),
              std::string::npos)
        << written;
}

TEST_F(Manager, FallbackFileAndLoadingRules)
{
    // Backup.notify.xml is missing: config.notify.xml is read, Backup.notify.xml is written.
    WriteFile("config.notify.xml",
              Policy(HandlerElement(CLSID_NotifyLog, 3, 4) +
                     "<Handler clsid=\"" + Key(CLSID_NotifyEmail) + "\">"
                     "<TypeFilter vt=\"19\">1</TypeFilter><PriorityFilter vt=\"19\">2</PriorityFilter>"
                     "<ServerPort>2525</ServerPort><EmailAddress vt=\"8\">ops@example.org</EmailAddress></Handler>" +
                     HandlerElement(CLSID_NotifyLog, 1, 1)));
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"Backup"), S_OK);
    ComPtr<INotifyHandler> log = Handler(n, GuidText(CLSID_NotifyLog));
    eZD_NOTIFY_TYPE t;
    eZD_NOTIFY_PRIORITY p;
    log->get_TypeFilter(&t);
    log->get_PriorityFilter(&p);
    EXPECT_EQ(t, 3);  // the first element for a key wins
    EXPECT_EQ(p, 5);  // the high bit is added
    log.Reset();
    ComPtr<INotifyEmail> email;
    ComPtr<INotifyHandler> h = Handler(n, GuidText(CLSID_NotifyEmail));
    ASSERT_EQ(h->QueryInterface(IID_INotifyEmail, email.VoidOut()), S_OK);
    UINT port = 0;
    email->get_ServerPort(&port);
    EXPECT_EQ(port, 25u); // an element without "vt" fails to read: the default stays
    Bstr address;
    email->get_Address(address.Out());
    EXPECT_EQ(std::u16string(address), u"ops@example.org");
    email.Reset();
    h.Reset();
    n.Reset();
    EXPECT_TRUE(std::ifstream("Backup.notify.xml").good());
}

TEST_F(Manager, BadPolicyFilesLeaveTheDefaults)
{
    const std::string cases[] = {
        "this is not XML",
        "<NotifyPolicy><Handlers><Handler clsid=\"",                                   // truncated
        "<?xml version=\"1.0\"?>" + Policy(HandlerElement(CLSID_NotifyLog, 1, 1)),     // a declaration first
        "<Other/>",                                                                   // no Handlers
        Policy("<Handler clsid=\"{12345678-1234-1234-1234-123456789012}\"/>"),         // a class nobody has
        Policy("<Handler clsid=\"not a clsid\"/>"),
        Policy("<Handler/>" + HandlerElement(CLSID_NotifyLog, 1, 1)),                   // no clsid: skipped
        std::string(1 << 20, '<'),                                                    // large and broken
    };
    for (const std::string& content : cases)
    {
        WriteFile("app.notify.xml", content);
        ComPtr<INotify> n = NewManager();
        ASSERT_EQ(Init(n, u"app"), S_OK) << content.substr(0, 60);
        EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys().size(), 6u) << content.substr(0, 60);
        // A Handler element that names a class that cannot be loaded is no silent success: every
        // notification says so (the built-in handlers still deliver).
        const bool unloadable = content.find("clsid=\"{1234") != std::string::npos ||
                                content.find("not a clsid") != std::string::npos;
        const HRESULT hr = Send(n, 0, u"still works", NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW);
        EXPECT_EQ(SUCCEEDED(hr), !unloadable) << content.substr(0, 60);
        if (unloadable)
        {
            const std::string text = ErrorDescription();
            EXPECT_EQ(text.rfind("Result (0xece30079 ", 0), 0u) << text;
        }
        n.Reset();
    }
    // The element without clsid was skipped and the one after it loaded.
    WriteFile("skip.notify.xml", Policy("<Handler/>" + HandlerElement(CLSID_NotifyLog, 1, 1)));
    ComPtr<INotify> n = NewManager();
    Init(n, u"skip");
    ComPtr<INotifyHandler> log = Handler(n, GuidText(CLSID_NotifyLog));
    eZD_NOTIFY_TYPE t;
    log->get_TypeFilter(&t);
    EXPECT_EQ(t, 1);
    log.Reset();
    n.Reset();

    // A comment in "Handlers" stops loading there; handlers before it stay.
    WriteFile("comment.notify.xml", Policy(HandlerElement(CLSID_TestRecorder, 0xF, 0xF) + "<!-- stop -->" +
                                           HandlerElement(CLSID_TestSerialRecorder, 0xF, 0xF)));
    n = NewManager();
    Init(n, u"comment");
    EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys().size(), 6u + 1); // the six built-ins and the first
    ComPtr<INotifyHandler> first = Handler(n, GuidText(CLSID_TestRecorder));
    ASSERT_NE(first, nullptr);
    first.Reset();
    EXPECT_EQ(Handler(n, GuidText(CLSID_TestSerialRecorder)), nullptr);
    n.Reset();
}

TEST_F(Manager, CodedDescriptions)
{
    WriteFile("app.notify.xml", Policy(HandlerElement(CLSID_TestRecorder, 0xF, 0xF) +
                                       HandlerElement(CLSID_TestSerialRecorder, 0xF, 0xF)));
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    const ULONG code = NOTIFY_ERROR_EMAIL_SEND;
    const std::string serialized = "Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [0];)<9 1.0-*-*-* >";

    struct Row
    {
        ULONG code;
        std::u16string description;
        std::string serialHandlerGets;
        std::string plainHandlerGets;
    } rows[] = {
        // Bit 31 set, plain text: the serialized Result of the code; others its translated message.
        {code, u"plain text", serialized, "Error ECE3006A: Unable to send notification e-mail."},
        // Bit 31 clear: unchanged.
        {0x1F, u"plain text", "plain text", "plain text"},
        // Already a serialized Result with the code, or with it nested: unchanged.
        {code, Utf8ToUtf16(serialized), serialized, "Error ECE3006A: Unable to send notification e-mail."},
        // "Result (" that does not parse: plain text.
        {code, u"Result (broken", serialized, "Error ECE3006A: Unable to send notification e-mail."},
    };
    for (const Row& r : rows)
    {
        Calls().clear();
        EXPECT_EQ(Send(n, r.code, r.description), S_OK);
        const std::vector<Call> serial = CallsOf(u"serial-recorder");
        const std::vector<Call> plain = CallsOf(u"recorder");
        ASSERT_EQ(serial.size(), 1u);
        ASSERT_EQ(plain.size(), 1u);
        EXPECT_EQ(Narrow(serial[0].description), r.serialHandlerGets);
        EXPECT_EQ(Narrow(plain[0].description), r.plainHandlerGets);
    }

    // A serialized Result of another code gets the code added: an aggregate of both.
    Calls().clear();
    Result other = RESULT_AT("t", NOTIFY_ERROR_LOG_WRITE_FAILED);
    ASSERT_EQ(Send(n, code, other.Serialize()), S_OK);
    Result got;
    ASSERT_TRUE(ParseSerializedResult(CallsOf(u"serial-recorder")[0].description, got));
    EXPECT_EQ(got.GetCode(), ERROR_ERRORS_EXIST);
    EXPECT_TRUE(got.Contains(code));
    EXPECT_TRUE(got.Contains(NOTIFY_ERROR_LOG_WRITE_FAILED));

    // A nested Result with the code is left alone.
    Calls().clear();
    Result outer = RESULT_AT("t", NOTIFY_ERROR_EMAIL_CONFIG);
    outer.GetArguments().push_back(Argument(RESULT_AT("t", code)));
    ASSERT_EQ(Send(n, code, outer.Serialize()), S_OK);
    EXPECT_EQ(CallsOf(u"serial-recorder")[0].description, outer.Serialize());
    n.Reset();
}

TEST_F(Manager, FailuresAreCollectedAndLogged)
{
    WriteFile("app.notify.xml", Policy(HandlerElement(CLSID_TestFailureA, 0xF, 0xF) +
                                       HandlerElement(CLSID_TestFailureB, 0xF, 0xF)));
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    // A recorder in the log-file handler's place sees the failures sent to it.
    ComPtr<INotifyHandler> recorder;
    ASSERT_EQ(ComCreator<CTestRecorder>::CreateInstance(nullptr, IID_INotifyHandler, recorder.VoidOut()),
              S_OK);
    recorder->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    recorder->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    Bstr logKey(GuidText(CLSID_NotifyLog).c_str());
    ASSERT_EQ(n->put_Handler(logKey, recorder), S_OK);
    recorder.Reset();

    Calls().clear();
    EXPECT_EQ(Send(n, 0, u"event", NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW), E_ACCESSDENIED);
    std::string source;
    EXPECT_EQ(ErrorDescription(), "A\r\nB\r\n");
    const std::vector<Call> logged = CallsOf(u"recorder");
    ASSERT_EQ(logged.size(), 3u); // two failures, then the notification itself
    EXPECT_EQ(Narrow(logged[0].description), "A");
    EXPECT_EQ(logged[0].type, NOTIFY_TYPE_WARNING);
    EXPECT_EQ(logged[0].priority, NOTIFY_PRIORITY_HIGH);
    EXPECT_EQ(logged[0].code, static_cast<ULONG>(E_FAIL));
    EXPECT_EQ(Narrow(logged[1].description), "B");
    EXPECT_EQ(logged[1].code, static_cast<ULONG>(E_ACCESSDENIED));
    EXPECT_EQ(Narrow(logged[2].description), "event");

    // Handler put: an id that is not in the table does nothing; a non-handler object is refused.
    Bstr unknown(u"{00000000-0000-0000-0000-000000000001}");
    EXPECT_EQ(n->put_Handler(unknown, recorder), S_OK);
    EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys().size(), 6u + 2); // the six built-ins and both
    ComPtr<IPropertyBag> notAHandler;
    CXMLPropBag().CreateBag(std::make_shared<XmlDocument>(), XmlNode(), notAHandler.Out());
    EXPECT_EQ(n->put_Handler(logKey, reinterpret_cast<INotifyHandler*>(notAHandler.Get())), E_INVALIDARG);
    EXPECT_EQ(n->put_Handler(logKey, nullptr), E_INVALIDARG);
    notAHandler.Reset();
    n.Reset();
}

TEST_F(Manager, SerializedFailuresNest)
{
    WriteFile("app.notify.xml", Policy(HandlerElement(CLSID_TestSerializedFailure, 0xF, 0xF) +
                                       HandlerElement(CLSID_TestSerializedFailure2, 0xF, 0xF)));
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    EXPECT_EQ(Send(n, 0, u"event", NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW), static_cast<HRESULT>(0x80070017));
    Result all;
    ASSERT_TRUE(ParseSerializedResult(Utf8ToUtf16(ErrorDescription()), all));
    EXPECT_EQ(all.GetCode(), NOTIFY_ERROR_LOG_WRITE_FAILED); // the newest failure outside
    ASSERT_TRUE(all.HasArguments());
    EXPECT_EQ(all.Arguments()->back().GetResult().GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    n.Reset();
}

TEST_F(Manager, SettingsSurviveTheFile)
{
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app", u"policy.xml"), S_OK);
    auto set = [&](REFCLSID clsid, const char16_t* property, const char16_t* value) {
        ComPtr<INotifyHandler> h = Handler(n, GuidText(clsid));
        LPOLESTR names[] = {const_cast<LPOLESTR>(property)};
        DISPID id;
        ASSERT_EQ(h->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(value);
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params = {&v, &named, 1, 1};
        EXPECT_EQ(h->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK)
            << Narrow(property);
        VariantClear(&v);
        h.Reset();
    };
    const std::tuple<CLSID, const char16_t*, const char16_t*> settings[] = {
        {CLSID_NotifyLog, u"FilePath", u"/var/log/backup"}, {CLSID_NotifyLog, u"FileName", u"x.log"},
        {CLSID_NotifyLog, u"MaxSize", u"64"},               {CLSID_NotifyEmail, u"Address", u"ops@example.org"},
        {CLSID_NotifyEmail, u"SMTPServer", u"127.0.0.1"},   {CLSID_NotifyEmail, u"ServerPort", u"2525"},
        {CLSID_NotifyEmail, u"AddressFrom", u"b@example.org"}, {CLSID_NotifyEmail, u"Authentication", u"1"},
        {CLSID_NotifyEmail, u"User", u"ops"},               {CLSID_NotifyEmail, u"Encryption", u"2"},
        {CLSID_NotifySNMPTrap, u"Destination", u"127.0.0.1"}, {CLSID_NotifySNMPTrap, u"TrapPort", u"1162"},
        {CLSID_NotifySNMPTrap, u"SNMPVersionV2", u"0"},     {CLSID_NotifySNMPTrap, u"CommunityString", u"public"},
        {CLSID_NotifySNMPTrap, u"SNMPTrapEnabled", u"-1"},  {CLSID_NotifySysEvent, u"TypeFilter", u"2"},
        {CLSID_NotifyApp, u"PriorityFilter", u"9"},         {CLSID_NotifyConnPt, u"TypeFilter", u"5"},
    };
    for (auto [clsid, property, value] : settings)
        set(clsid, property, value);
    n.Reset();

    const std::string file = ReadFile("policy.xml");
    EXPECT_NE(file.find("<Encryption vt=\"8\">2</Encryption>"), std::string::npos) << file;
    EXPECT_NE(file.find("<Path vt=\"8\">/var/log/backup\\</Path>"), std::string::npos) << file;
    EXPECT_NE(file.find("<SNMPVersionV2 vt=\"11\">0</SNMPVersionV2>"), std::string::npos) << file;

    n = NewManager();
    ASSERT_EQ(Init(n, u"app", u"policy.xml"), S_OK);
    n.Reset();
    EXPECT_EQ(ReadFile("policy.xml"), file); // read back and written again: the same document
}

TEST_F(Manager, AnElementThatCannotBeLoadedTakesNoOtherSettingsWithIt)
{
    // A handler of a class this module does not have, an e-mail handler whose stored password is
    // damaged, and the log file's settings after both.
    const std::string unknown = "<Handler clsid=\"{12345678-1234-1234-1234-123456789012}\"><Level vt=\"19\">3</Level></Handler>";
    const std::string email = "<Handler clsid=\"" + Key(CLSID_NotifyEmail) +
                              "\"><TypeFilter vt=\"19\">1</TypeFilter><PriorityFilter vt=\"19\">1</PriorityFilter>"
                              "<EmailAddress vt=\"8\">ops@example.org</EmailAddress><SMTPServer vt=\"8\">127.0.0.1"
                              "</SMTPServer><AESAdvancedPwd256ICFIPS vt=\"8\">6z0062</AESAdvancedPwd256ICFIPS></Handler>";
    const std::string policy = Policy(
        unknown + email + HandlerElement(CLSID_NotifyLog, 7, 7, "<MaxSize vt=\"19\">64</MaxSize><Path vt=\"8\">logs/</Path>"));
    WriteFile("app.notify.xml", policy);
    mkdir("logs", 0755);
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys().size(), 6u);

    // Both problems are reported by every notification, and logged where the policy says.
    EXPECT_TRUE(FAILED(Send(n, 0, u"disk full")));
    const std::string description = ErrorDescription();
    EXPECT_NE(description.find("0xece30079"), std::string::npos) << description; // the unknown class
    EXPECT_NE(description.find("{12345678-1234-1234-1234-123456789012}"), std::string::npos) << description;
    EXPECT_NE(description.find("0xece30078"), std::string::npos) << description; // the stored password
    const std::string log = Utf16File("logs/app.log.txt");
    EXPECT_NE(log.find("could not be loaded"), std::string::npos) << log;
    EXPECT_NE(log.find("AESAdvancedPwd256ICFIPS"), std::string::npos) << log;
    EXPECT_NE(log.find("disk full"), std::string::npos) << log;
    EXPECT_FALSE(std::ifstream("app.log.txt").good());
    n.Reset();
    EXPECT_EQ(ReadFile("app.notify.xml"), policy); // nothing changed: left as it is

    // A change writes the file, with the element that could not be loaded as it was read.
    n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    ComPtr<INotifyHandler> logHandler = Handler(n, GuidText(CLSID_NotifyLog));
    ComPtr<INotifyLog> logFile;
    ASSERT_EQ(logHandler->QueryInterface(IID_INotifyLog, logFile.VoidOut()), S_OK);
    EXPECT_EQ(logFile->put_MaxSize(32), S_OK);
    logFile.Reset();
    logHandler.Reset();
    n.Reset();
    const std::string written = ReadFile("app.notify.xml");
    EXPECT_NE(written.find("<Handlers>" + unknown), std::string::npos) << written;
    EXPECT_NE(written.find("<MaxSize vt=\"19\">32</MaxSize>"), std::string::npos) << written;
    EXPECT_EQ(ReadFile("app.notify.xml.unreadable"), policy);

    // A built-in handler whose element is refused is not replaced by a default one.
    const std::string refused = Policy(HandlerElement(CLSID_NotifyLog, 7, 7, "<MaxSize vt=\"19\">0</MaxSize>"));
    WriteFile("refused.notify.xml", refused);
    n = NewManager();
    ASSERT_EQ(Init(n, u"refused"), S_OK);
    EXPECT_EQ(static_cast<CNotify*>(n.Get())->Keys().size(), 5u);
    EXPECT_EQ(Handler(n, GuidText(CLSID_NotifyLog)), nullptr);
    EXPECT_TRUE(FAILED(Send(n, 0, u"x")));
    EXPECT_NE(ErrorDescription().find(Key(CLSID_NotifyLog)), std::string::npos);
    n.Reset();
    EXPECT_EQ(ReadFile("refused.notify.xml"), refused);
    EXPECT_FALSE(std::ifstream("refused.log.txt").good());
}

TEST_F(Manager, MaintainedHandlersAndAFailingSave)
{
    const std::string policy = Policy(HandlerElement(CLSID_TestMaintained, 0xF, 0xF));
    WriteFile("app.notify.xml", policy);
    Maintained() = MaintainCounts();
    ComPtr<INotify> n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    EXPECT_EQ(Maintained().initialized, 1); // after its properties were loaded
    EXPECT_EQ(Maintained().terminated, 0);

    // A failing Terminate fails the save: the file on disk stays as it was.
    Maintained().failTerminate = true;
    n.Reset();
    EXPECT_EQ(Maintained().terminated, 1);
    std::ifstream in("app.notify.xml");
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), policy);

    // Nothing changed: Terminate runs, the file is left as it is.
    Maintained() = MaintainCounts();
    n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    n.Reset();
    EXPECT_EQ(Maintained().terminated, 1);
    std::ifstream same("app.notify.xml");
    std::stringstream unchanged;
    unchanged << same.rdbuf();
    EXPECT_EQ(unchanged.str(), policy);

    // A changed setting, without the failure: the file is rewritten from the handlers.
    Maintained() = MaintainCounts();
    n = NewManager();
    ASSERT_EQ(Init(n, u"app"), S_OK);
    ComPtr<INotifyHandler> h = Handler(n, UpperKey(GuidText(CLSID_TestMaintained)));
    ASSERT_NE(h, nullptr);
    h->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(7));
    h.Reset();
    n.Reset();
    EXPECT_EQ(Maintained().terminated, 1);
    std::ifstream again("app.notify.xml");
    std::stringstream rewritten;
    rewritten << again.rdbuf();
    EXPECT_NE(rewritten.str(), policy);
    EXPECT_NE(rewritten.str().find("name=\"maintained\""), std::string::npos);
}

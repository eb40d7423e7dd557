// The event-log handler against a syslog socket and a journal socket that the test binds in its own
// folder.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifySysEvent.h"
#include "Platform/Win32/EventLog.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/SystemLog.h"
#include "Platform/Win32/Utf.h"
#include "JournalSocket.h"
#include "SyslogSink.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <tuple>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
class EventLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        mSocketPath = mDir.Path() + "/log";
        setenv("FERRULE_SYSLOG_SOCKET", mSocketPath.c_str(), 1);
        setenv("FERRULE_JOURNAL_SOCKET", "", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", "C", 1);
        mSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, mSocketPath.c_str());
        ASSERT_EQ(bind(mSocket, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval wait{5, 0};
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ASSERT_EQ(ComCreator<CNotifySysEvent>::CreateInstance(nullptr, IID_INotifyHandler,
                                                               mHandler.VoidOut()),
                  S_OK);
        mHandler->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mHandler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    }
    void TearDown() override
    {
        mHandler.Reset();
        close(mSocket);
        setenv("FERRULE_SYSLOG_SOCKET", SyslogSink::Instance().Path().c_str(), 1);
        setenv("FERRULE_JOURNAL_SOCKET", "", 1);
    }

    HRESULT Send(const std::u16string& app, int type, int priority, const std::u16string& description,
                 const std::u16string& source = u"nightly", ULONG code = 0x1F)
    {
        Bstr a(app), d(description), s(source);
        const HRESULT hr = mHandler->Notify(a, static_cast<eZD_NOTIFY_TYPE>(type),
                                            static_cast<eZD_NOTIFY_PRIORITY>(priority), code, d, s, 0);
        return hr;
    }

    std::string Receive()
    {
        std::string buffer(1 << 20, '\0');
        const ssize_t n = recv(mSocket, &buffer[0], buffer.size(), 0);
        return n > 0 ? buffer.substr(0, static_cast<size_t>(n)) : "(nothing)";
    }

    // The datagram with its time stamp and process id checked and replaced by fixed text.
    std::string Normalized(const std::string& datagram)
    {
        static const std::regex header(R"(^(<\d+>)[A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d (.*?)\[(\d+)\]: )");
        std::smatch m;
        if (!std::regex_search(datagram, m, header) || m[3] != std::to_string(getpid()))
            return "(bad header) " + datagram.substr(0, 80);
        return m[1].str() + "TIME " + m[2].str() + "[PID]: " + m.suffix().str();
    }

    void RegisterSource(const std::u16string& source)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  (u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source).c_str(), 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const std::u16string file = Utf8ToUtf16(ModulePath());
        RegSetValueExW(key, u"CategoryMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                       static_cast<DWORD>((file.size() + 1) * 2));
        RegCloseKey(key);
    }

    TempDir mDir;
    std::string mSocketPath;
    int mSocket = -1;
    ComPtr<INotifyHandler> mHandler;
};
} // namespace

TEST_F(EventLog, EntriesAsSyslogWritesThem)
{
    struct Case
    {
        std::u16string app;
        int type, priority;
        std::u16string description;
        std::string expected;
    };
    // The tag is what syslog readers parse whole; the name stays readable in the message, on one line.
    const Case cases[] = {
        {u"Backup & Restore", 1, 1, u"Failed 1234ABCD: disk full",
         "<11>TIME Backup_and_Restore[PID]: Backup and Restore: Failed 1234ABCD: disk full (UMI:Q-281-564-43981) |  | "
         "Details:  | Source: nightly"},
        {u"A&B&C", 2, 2, u"Failed 1234ABCD: disk full",
         "<12>TIME AandB_C[PID]: AandB&C: Failed 1234ABCD: disk full | Details:  | Source: nightly"},
        {u"App", 4, 4, u"done", "<14>TIME App[PID]: done | Details:  | Source: nightly"},
        {u"App", 8, 8, u"test", "<13>TIME App[PID]: test | Details:  | Source: nightly"},
        {u"App", 3, 1, u"two bits", "<14>TIME App[PID]: two bits | Details:  | Source: nightly"},
        {u"App", 4, 4, u"tab\there\x1b[31m\nnext\r\nlast\x7f",
         "<14>TIME App[PID]: tab^Ihere^[[31m | next | last^? | Details:  | Source: nightly"},
        {u"App", 4, 4, std::u16string(u"BEFORE\0AFTER tail", 17),
         "<14>TIME App[PID]: BEFORE^@AFTER tail | Details:  | Source: nightly"},
    };
    for (const Case& c : cases)
    {
        ASSERT_EQ(Send(c.app, c.type, c.priority, c.description), S_OK);
        EXPECT_EQ(Normalized(Receive()), c.expected);
    }
}

TEST_F(EventLog, CategoryNamesForARegisteredSource)
{
    RegisterSource(u"Ardentis");
    const std::pair<int, const char*> english[] = {
        {1, "[High Priority] "}, {2, "[Medium Priority] "}, {4, "[Low Priority] "}, {8, "[Low Priority] "}};
    for (auto [priority, prefix] : english)
    {
        ASSERT_EQ(Send(u"Ardentis", priority == 8 ? 8 : 4, priority, u"x"), S_OK);
        EXPECT_EQ(Normalized(Receive()), std::string(priority == 8 ? "<13>" : "<14>") + "TIME Ardentis[PID]: " + prefix +
                                             "x | Details:  | Source: nightly");
    }
    setenv("LANG", "de_DE.UTF-8", 1);
    ASSERT_EQ(Send(u"Ardentis", 4, 2, u"x"), S_OK);
    EXPECT_EQ(Normalized(Receive()), "<14>TIME Ardentis[PID]: [Mittel Priorität] x | Details:  | Source: nightly");
    setenv("LANG", "C", 1);
}

TEST_F(EventLog, ALongEntryIsCutAndMarked)
{
    std::u16string description(300000, u'é');
    ASSERT_EQ(Send(u"App", 4, 4, description), S_OK);
    const std::string datagram = Receive();
    EXPECT_LT(datagram.size(), 600000u);
    EXPECT_GT(datagram.size(), 1000u);
    const std::string mark = " [cut: the entry was longer than the system log accepts]";
    ASSERT_GT(datagram.size(), mark.size());
    EXPECT_EQ(datagram.substr(datagram.size() - mark.size()), mark);
    // Whole characters only before the mark.
    const std::string body = datagram.substr(0, datagram.size() - mark.size());
    EXPECT_EQ(Utf8ToUtf16(body).find(u'\uFFFD'), std::u16string::npos);
}

TEST_F(EventLog, AMissingSocketFailsAndIsLogged)
{
    unlink(mSocketPath.c_str());
    EXPECT_EQ(Send(u"App", 1, 1, u"x"), static_cast<HRESULT>(0x80070002));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    Bstr d;
    info->GetDescription(d.Out());
    info.Reset();
    EXPECT_EQ(Utf16ToUtf8(d.Str()).rfind("Result (0xece30067 ", 0), 0u) << Utf16ToUtf8(d.Str());

    // Through the manager: the failure lands in the log file as a warning.
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(mDir.Path().c_str()), 0);
    auto* factory = new ComClassFactory(&ComCreator<CNotifySysEvent>::CreateInstance);
    DWORD cookie;
    CoRegisterClassObject(CLSID_NotifySysEvent, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    Bstr app(u"App"), none(u""), text(u"disk full"), src(u"nightly");
    ASSERT_EQ(n->Initialize(app, none), S_OK);
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, text, src, 0), static_cast<HRESULT>(0x80070002));
    n.Reset();
    CoRevokeClassObject(cookie);
    std::ifstream in("App.log.txt", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::u16string log;
    const std::string raw = bytes.str();
    for (size_t i = 2; i + 1 < raw.size(); i += 2)
        log += static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8));
    ASSERT_EQ(chdir(old), 0);
    EXPECT_NE(Utf16ToUtf8(log).find("High Priority Warning: Result (0xece30067 "), std::string::npos) << Utf16ToUtf8(log);
}

TEST_F(EventLog, SyslogTagsKeepOnlyWhatReadersParseWhole)
{
    const std::pair<std::string, std::string> tags[] = {
        {"Ardentis", "Ardentis"},
        {"Backup and Restore", "Backup_and_Restore"},
        {"a:b[1]/c", "a_b_1__c"},
        {"Sauvegarde élevée", "Sauvegarde__lev_e"}, // one "_" per character, not per byte
        {"tab\there", "tab_here"},
        {"", "-"},
        {std::string(40, 'x'), std::string(32, 'x')},
    };
    for (const auto& [identifier, tag] : tags)
        EXPECT_EQ(SyslogTag(identifier), tag) << identifier;
}

TEST_F(EventLog, TheJournalGetsTheEntryAndItsFields)
{
    JournalSocket journal(mDir.Path() + "/journal");
    ASSERT_TRUE(journal.Bound());
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    RegisterSource(u"Ardentis");

    ASSERT_EQ(Send(u"Backup & Restore", 1, 1, u"Failed 1234ABCD: disk full\r\nsecond line", u"nightly", 0xECE3006A),
              S_OK);
    JournalSocket::Fields f = journal.Receive();
    const std::pair<const char*, std::string> expected[] = {
        {"MESSAGE", "Failed 1234ABCD: disk full\nsecond line (UMI:Q-281-564-43981)\n\nDetails: \nSource: nightly"},
        {"PRIORITY", "3"},
        {"SYSLOG_FACILITY", "1"},
        {"SYSLOG_IDENTIFIER", "Backup and Restore"},
        {"SYSLOG_PID", std::to_string(getpid())},
        {"MESSAGE_ID", "b821000f79d64b2899cc233d1cdfb414"},
        {"FERRULE_CODE", "0xECE3006A"},
        {"FERRULE_TYPE", "error"},
        {"FERRULE_PRIORITY", "high"},
        {"FERRULE_SOURCE", "nightly"},
        {"FERRULE_APPLICATION", "Backup & Restore"},
        {"FERRULE_EVENT_ID", "100"},
        {"FERRULE_CATEGORY", "1"},
        {"FERRULE_CATEGORY_NAME", "(none)"}, // not a registered source
        {"(malformed)", "(none)"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(JournalSocket::One(f, name), value) << name;

    // A registered source names its category; each type has its own MESSAGE_ID.
    const std::tuple<int, int, const char*, const char*, const char*> kinds[] = {
        {2, 2, "4", "3a7efc690d5d4660878bf597b3ddd005", "Medium Priority"},
        {4, 4, "6", "13b49749a87f41e8850f96875e448f5c", "Low Priority"},
        {8, 8, "5", "cbf6f88e006042ef88061e19c35d9e35", "Low Priority"},
        {3, 1, "6", "222c5def27934d8a8049aed22925146c", "High Priority"},
    };
    for (const auto& [type, priority, severity, id, category] : kinds)
    {
        ASSERT_EQ(Send(u"Ardentis", type, priority, u"x"), S_OK);
        f = journal.Receive();
        EXPECT_EQ(JournalSocket::One(f, "PRIORITY"), severity);
        EXPECT_EQ(JournalSocket::One(f, "MESSAGE_ID"), id);
        EXPECT_EQ(JournalSocket::One(f, "FERRULE_CATEGORY_NAME"), category);
        EXPECT_EQ(JournalSocket::One(f, "MESSAGE"), "x\nDetails: \nSource: nightly");
    }
}

TEST_F(EventLog, ALineFeedInAValueForgesNoField)
{
    JournalSocket journal(mDir.Path() + "/journal");
    ASSERT_TRUE(journal.Bound());
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    ASSERT_EQ(Send(u"App\nPRIORITY=0", 4, 4, u"text\nMESSAGE_ID=00000000000000000000000000000000",
                   u"src\nSYSLOG_IDENTIFIER=forged"),
              S_OK);
    const JournalSocket::Fields f = journal.Receive();
    EXPECT_EQ(JournalSocket::One(f, "PRIORITY"), "6");
    EXPECT_EQ(JournalSocket::One(f, "SYSLOG_IDENTIFIER"), "App\nPRIORITY=0");
    EXPECT_EQ(JournalSocket::One(f, "MESSAGE_ID"), "13b49749a87f41e8850f96875e448f5c");
    EXPECT_EQ(JournalSocket::One(f, "FERRULE_SOURCE"), "src\nSYSLOG_IDENTIFIER=forged");
    EXPECT_EQ(JournalSocket::One(f, "(malformed)"), "(none)");
}

TEST_F(EventLog, ANulInTheJournalIsShownAndCutsNothing)
{
    JournalSocket journal(mDir.Path() + "/journal");
    ASSERT_TRUE(journal.Bound());
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    ASSERT_EQ(Send(u"App", 1, 1, std::u16string(u"BEFORE\0AFTER tail", 17), std::u16string(u"src\0more", 8)), S_OK);
    const JournalSocket::Fields f = journal.Receive();
    EXPECT_EQ(JournalSocket::One(f, "MESSAGE"), "BEFORE^@AFTER tail\nDetails: \nSource: src^@more");
    EXPECT_EQ(JournalSocket::One(f, "FERRULE_SOURCE"), "src^@more");
}

TEST_F(EventLog, AJournalEntryTooBigForADatagramComesWhole)
{
    JournalSocket journal(mDir.Path() + "/journal");
    ASSERT_TRUE(journal.Bound());
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    const std::u16string description(300000, u'é');
    ASSERT_EQ(Send(u"App", 4, 4, description), S_OK);
    bool memoryFile = false;
    const JournalSocket::Fields f = journal.Receive(&memoryFile);
    EXPECT_TRUE(memoryFile);
    EXPECT_EQ(JournalSocket::One(f, "MESSAGE"), Utf16ToUtf8(description) + "\nDetails: \nSource: nightly");
}

TEST_F(EventLog, OneConnectionOutlivesAReaderThatWentAway)
{
    // The reader restarts (its socket made anew): the next entry reaches the new one.
    auto journal = std::make_unique<JournalSocket>(mDir.Path() + "/journal");
    setenv("FERRULE_JOURNAL_SOCKET", journal->Path().c_str(), 1);
    ASSERT_EQ(Send(u"App", 4, 4, u"first"), S_OK);
    EXPECT_EQ(JournalSocket::One(journal->Receive(), "MESSAGE"), "first\nDetails: \nSource: nightly");
    journal.reset();
    journal = std::make_unique<JournalSocket>(mDir.Path() + "/journal");
    ASSERT_TRUE(journal->Bound());
    ASSERT_EQ(Send(u"App", 4, 4, u"second"), S_OK);
    EXPECT_EQ(JournalSocket::One(journal->Receive(), "MESSAGE"), "second\nDetails: \nSource: nightly");

    // Destinations follow the environment at each entry.
    EXPECT_EQ(SystemLogDestination(), "the journal (" + journal->Path() + ")");
    setenv("FERRULE_JOURNAL_SOCKET", "", 1);
    EXPECT_EQ(SystemLogDestination(), "syslog (" + mSocketPath + ")");
    ASSERT_EQ(Send(u"App", 4, 4, u"third"), S_OK);
    EXPECT_EQ(Normalized(Receive()), "<14>TIME App[PID]: third | Details:  | Source: nightly");
}

TEST_F(EventLog, AReaderThatNeverReadsFailsWithinTheBound)
{
    JournalSocket journal(mDir.Path() + "/journal"); // never read
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    HRESULT hr = S_OK;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000 && hr == S_OK; ++i)
        hr = Send(u"App", 4, 4, u"filling the reader's queue");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_LT(waited, std::chrono::seconds(10)); // 2 s for the last entry, with a generous margin
}

TEST_F(EventLog, AMissingJournalFails)
{
    setenv("FERRULE_JOURNAL_SOCKET", (mDir.Path() + "/no-journal").c_str(), 1);
    EXPECT_EQ(Send(u"App", 1, 1, u"x"), static_cast<HRESULT>(0x80070002));
}

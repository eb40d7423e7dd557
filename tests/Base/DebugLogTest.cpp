#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Diagnostics/DebugLog.h"
#include "Base/Dev/Diagnostics/ObjectLocker.h"
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Com/ObjectTemplates.h"
#include "TempDir.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
class DebugLogTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RegisterMessageTables(); }
    void SetUp() override
    {
        Debug::DebugLog().Clear();
        for (uint32_t c = 1; c <= Debug::kLastContext; ++c)
            Debug::SetContextMask(c, 0);
    }
    void TearDown() override
    {
        Debug::DebugLog().SetDirectFile("");
        Debug::DebugLog().SetMemoryLimit(0x100000);
        SetUp();
    }
};

Debug::DebugItem Item(uint32_t type, const char* file, const char* function)
{
    Debug::DebugItem item;
    item.time = 1765324350123456; // 2025-12-09 23:52:30.123456 UTC
    item.thread = 77;
    item.type = type;
    item.contextCount = type ? 1 : 0;
    item.contexts[0] = Debug::APPLICATION;
    item.file = file;
    item.line = *file ? 42 : 0;
    item.function = function;
    item.text = "hello";
    return item;
}

template <class F>
std::string FailureExpression(F f)
{
    try
    {
        f();
    }
    catch (const AssertionFailure& e)
    {
        return e.Expression();
    }
    return "no failure";
}
} // namespace

TEST_F(DebugLogTest, MaskTextsBothWays)
{
    const std::pair<const char*, uint32_t> read[] = {
        {"ERR|RESULT", 0x8008}, {"info | warn", 0x5}, {" Info|WARN ", 0x5}, {"ALL", 0xFFFFFFFF}, {"all", 0xFFFFFFFF},
        {"", 0},                {"0", 0},             {"NO_TYPE", 0},       {"RESULT|32", 0x8020}, {"0x10|ALWAYS", 0x80000010},
    };
    for (auto [text, expected] : read)
    {
        uint32_t mask = 1;
        EXPECT_TRUE(Debug::TextToMask(text, mask)) << text;
        EXPECT_EQ(mask, expected) << text;
    }
    uint32_t mask;
    for (const char* bad : {"BOGUS", "ERR RESULT", "ERR||RESULT", "|", "12abc"})
        EXPECT_FALSE(Debug::TextToMask(bad, mask)) << bad;
    EXPECT_EQ(Debug::MaskToText(0x80000001), "INFO|ALWAYS");
    EXPECT_EQ(Debug::MaskToText(0x8008), "ERR|RESULT");
    EXPECT_EQ(Debug::MaskToText(0), "");

    EXPECT_STREQ(Debug::ContextName(30), "RESULT_CLASS");
    EXPECT_STREQ(Debug::ContextName(52), "APPLICATION");
    EXPECT_EQ(Debug::ContextNames({30, 52}), "RESULT_CLASS|APPLICATION");
    for (uint32_t bad : {0u, 38u, 53u})
        EXPECT_EQ(FailureExpression([&] { Debug::ContextName(bad); }), "Unknown Debug::ContextId");
}

TEST_F(DebugLogTest, Rendering)
{
    EXPECT_EQ(Debug::RenderEntry(Item(Debug::LOWINFO, "Ferrule/Notify.cpp", "CNotify::Notify"), 0),
              "* 2025-12-09 23:52:30.123456\t77\t    Context: APPLICATION : LOWINFO\n"
              "  Ferrule/Notify.cpp(42)   Function: CNotify::Notify\nhello\n\n");
    EXPECT_EQ(Debug::RenderEntry(Item(Debug::LOWINFO, "Ferrule/Notify.cpp", ""), 0),
              "* 2025-12-09 23:52:30.123456\t77\t    Context: APPLICATION : LOWINFO\n"
              "  Ferrule/Notify.cpp(42)\nhello\n\n");
    EXPECT_EQ(Debug::RenderEntry(Item(0, "", ""), 0), "* 2025-12-09 23:52:30.123456\t77\t\nhello\n\n");
    EXPECT_EQ(Debug::RenderEntry(Item(Debug::ERR | Debug::RESULT, "a.cpp", "f"), 1),
              "<event>\n<date>2025-12-09 23:52:30.123456</date>\n<thread>77</thread>\n"
              "<context>APPLICATION</context>\n<type>ERR|RESULT</type>\n<file>a.cpp</file>\n<line>42</line>\n"
              "<func><![CDATA[f]]></func>\n<data><![CDATA[hello]]></data>\n</event>\n\n");
    EXPECT_EQ(Debug::RenderEntry(Item(0, "", ""), 1),
              "<event>\n<date>2025-12-09 23:52:30.123456</date>\n<thread>77</thread>\n"
              "<data><![CDATA[hello]]></data>\n</event>\n\n");
    // Text holding "]]>" is split across two sections, so the XML stays well formed.
    Debug::DebugItem tricky = Item(0, "", "");
    tricky.text = "a]]>b";
    EXPECT_EQ(Debug::RenderEntry(tricky, 1), "<event>\n<date>2025-12-09 23:52:30.123456</date>\n<thread>77</thread>\n"
                                             "<data><![CDATA[a]]]]><![CDATA[>b]]></data>\n</event>\n\n");
    EXPECT_EQ(FailureExpression([] { Debug::RenderEntry(Item(0, "", ""), 2); }), "unsupported log format");
    EXPECT_EQ(FailureExpression([] { Debug::DebugLog().Render(7); }), "unsupported log format");

    // The whole log: the start entry was written on first use, then entries in order.
    Debug::SetContextMask(Debug::APPLICATION, Debug::INFO);
    DEBUG_LOG(Debug::APPLICATION, Debug::INFO) << "first";
    DEBUG_LOG(Debug::APPLICATION, Debug::WARN) << "rejected by the mask";
    const std::string xml = Debug::DebugLog().Render(1);
    EXPECT_EQ(xml.rfind("<log>\n", 0), 0u);
    EXPECT_NE(xml.find("<data><![CDATA[first]]></data>"), std::string::npos);
    EXPECT_EQ(xml.find("rejected"), std::string::npos);
    EXPECT_EQ(xml.substr(xml.size() - 7), "</log>\n");
}

TEST_F(DebugLogTest, SourceFileNames)
{
    EXPECT_EQ(Debug::TrimSourceFile(__FILE__), "tests/Base/DebugLogTest.cpp");
    EXPECT_EQ(Debug::TrimSourceFile("/usr/include/stdio.h"), "/usr/include/stdio.h");
    EXPECT_EQ(Debug::TrimSourceFile(""), "");
    Debug::SetContextMask(Debug::UNIT_TEST, Debug::INFO);
    DEBUG_LOG(Debug::UNIT_TEST, Debug::INFO) << "where";
    const std::vector<Debug::DebugItem> entries = Debug::DebugLog().Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().file, "tests/Base/DebugLogTest.cpp");
    EXPECT_GT(entries.back().line, 0u);
}

TEST_F(DebugLogTest, MemoryLimitIsReportedOnce)
{
    int events = 0;
    uint32_t reportedSize = 0;
    Debug::DebugLog().SetLimitEvent([&](StringId id, uint32_t size) {
        EXPECT_EQ(id, 0x0BAB27D9u);
        reportedSize = size;
        ++events;
    });
    Debug::DebugLog().SetMemoryLimit(2000);
    Debug::SetContextMask(Debug::UNIT_TEST, Debug::INFO);
    for (int i = 0; i < 100; ++i)
        DEBUG_LOG(Debug::UNIT_TEST, Debug::INFO) << "entry " << i;
    EXPECT_EQ(events, 1);
    EXPECT_GE(reportedSize, 2000u);
    EXPECT_EQ(Debug::DebugLog().Count(), 100u); // nothing dropped
    Debug::DebugLog().SetLimitEvent(nullptr);
}

TEST_F(DebugLogTest, ResultCreationEntries)
{
    Result(__FILE__, __LINE__, "CNotifyEmail::Notify", NOTIFY_ERROR_EMAIL_SEND);
    EXPECT_EQ(Debug::DebugLog().Count(), 0u); // the RESULT_CLASS mask lacks RESULT

    Debug::SetContextMask(Debug::RESULT_CLASS, Debug::RESULT);
    Result(__FILE__, __LINE__, "CNotifyEmail::Notify", NOTIFY_ERROR_EMAIL_SEND);
    Result(__FILE__, __LINE__, "t", 0x60070003); // informational: none
    Result(__FILE__, __LINE__, "t", 0xA0070009); // a warning: no UMI suffix
    Result withArgs;
    withArgs.Init(__FILE__, __LINE__, "t", NOTIFY_ERROR_LOG_CREATE_FAILED, Argument(String(u"/x")), Argument(5));
    const std::vector<Debug::DebugItem> entries = Debug::DebugLog().Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].text, "Error ECE3006A: Unable to send notification e-mail.\n(UMI:Q-*-3299-106)");
    EXPECT_EQ(entries[0].function, "CNotifyEmail::Notify");
    EXPECT_EQ(entries[0].contexts[0], uint32_t(Debug::RESULT_CLASS));
    EXPECT_EQ(entries[0].type, uint32_t(Debug::RESULT));
    EXPECT_EQ(entries[1].text.find("UMI"), std::string::npos);
    EXPECT_EQ(entries[2].text,
              "Error ECE30068: Unable to create or open log file.\n0xECE30068\n\t1: /x\n\t2: 5\n(UMI:Q-*-3299-104)");
}

namespace
{
class Owner
{
public:
    void Lock() { mSection.Lock(); ++depth; }
    void Unlock() { --depth; mSection.Unlock(); }
    int depth = 0;

private:
    ComCriticalSection mSection;
};
} // namespace

TEST_F(DebugLogTest, LockTracing)
{
    Owner owner;
    {
        ObjectLocker<Owner> silent(owner, "PasswordLocker", "Password", "put");
        EXPECT_EQ(owner.depth, 1);
    }
    EXPECT_EQ(Debug::DebugLog().Count(), 0u);

    ASSERT_TRUE(Config::Set("DX_APPLICATION", "LOWINFO"));
    {
        ObjectLocker<Owner> outer(owner, "PasswordLocker", "Password", "put");
        ObjectLocker<Owner> inner(owner, "PasswordLocker", "Password", "get"); // re-entrant
        EXPECT_EQ(owner.depth, 2);
    }
    Config::Reset("DX_APPLICATION");
    EXPECT_EQ(owner.depth, 0);
    std::vector<std::string> texts;
    for (const Debug::DebugItem& e : Debug::DebugLog().Entries())
    {
        texts.push_back(e.text);
        EXPECT_TRUE(e.file.empty());
        EXPECT_EQ(e.type, uint32_t(Debug::LOWINFO));
    }
    const std::vector<std::string> expected = {
        "ObjectLocker -- Entering PasswordLocker for Password put", "ObjectLocker -- Entering PasswordLocker for Password get",
        "ObjectLocker -- Leaving PasswordLocker for Password get", "ObjectLocker -- Leaving PasswordLocker for Password put"};
    EXPECT_EQ(texts, expected);
}

TEST_F(DebugLogTest, ConfigurationItems)
{
    EXPECT_EQ(Config::Description("DX_RESULT_CLASS"), "Set Debug::ContextId RESULT_CLASS.");
    EXPECT_EQ(Config::Description("DX_ALL"), "Set all Debug::ContextIds.");
    EXPECT_FALSE(Config::IsDefined("DX_"));
    EXPECT_FALSE(Config::Set("DX_APPLICATION", "BOGUS"));
    ASSERT_TRUE(Config::Set("DX_ALL", "ERR|WARN"));
    EXPECT_EQ(Debug::GetContextMask(Debug::FILESYSTEM), 0xCu);
    EXPECT_EQ(Debug::GetContextMask(Debug::APPLICATION), 0xCu);
    ASSERT_TRUE(Config::Set("DX_UI", "ALL"));
    EXPECT_EQ(Debug::GetContextMask(Debug::UI), 0xFFFFFFFFu);
    const std::vector<std::string> rejected = Config::LoadCommandLine({"Ferrule.dll", "DX_LOCAL=INFO"});
    EXPECT_TRUE(rejected.empty());
    EXPECT_EQ(Debug::GetContextMask(Debug::LOCAL), 1u);
    Config::Reset("DX_ALL");
    Config::Reset("DX_UI");
    Config::Reset("DX_LOCAL");
}

TEST_F(DebugLogTest, DirectFileFromManyThreads)
{
    TempDir dir;
    const std::string path = dir.Path() + "/debug.txt";
    Debug::SetContextMask(Debug::UNIT_TEST, Debug::INFO);
    DEBUG_LOG(Debug::UNIT_TEST, Debug::INFO) << "before the file";
    ASSERT_TRUE(Config::Set("direct_debug_file", path));
    EXPECT_EQ(Debug::DebugLog().DirectFileName(), path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                DEBUG_LOG(Debug::UNIT_TEST, Debug::INFO) << "thread " << t << " entry " << i << " of a long line";
        });
    for (std::thread& t : threads)
        t.join();
    Config::Reset("direct_debug_file");

    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    // Every entry is there whole: its header line, file line and text in one piece.
    size_t headers = 0;
    for (size_t at = text.find("* "); at != std::string::npos; at = text.find("\n* ", at + 1))
        ++headers;
    EXPECT_EQ(headers, 2001u);
    for (int t = 0; t < 4; ++t)
        for (int i : {0, 250, 499})
        {
            const std::string line = "\nthread " + std::to_string(t) + " entry " + std::to_string(i) + " of a long line\n\n";
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
    EXPECT_NE(text.find("before the file"), std::string::npos);
    EXPECT_EQ(Debug::DebugLog().Count(), 2001u);
}

TEST_F(DebugLogTest, UnwritableDirectFileIsReportedOnce)
{
    Debug::DebugLog().SetDirectFile("/nonexistent-folder/debug.txt");
    Debug::DebugLog().SetDirectFile("");
    Debug::DebugLog().SetDirectFile("/nonexistent-folder/debug.txt");
    Debug::SetContextMask(Debug::UNIT_TEST, Debug::INFO);
    DEBUG_LOG(Debug::UNIT_TEST, Debug::INFO) << "still kept";
    int reports = 0;
    for (const Debug::DebugItem& e : Debug::DebugLog().Entries())
        reports += e.text.find("/nonexistent-folder/debug.txt") != std::string::npos;
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(Debug::DebugLog().Entries().back().text, "still kept");
}

namespace
{
void UseAfterExit()
{
    const std::string expression = FailureExpression([] { Debug::DebugLog(); });
    _exit(expression == "Debug::s_bDebugLogInitialized" ? 0 : 2);
}
} // namespace

// Runs only in the fresh process started below: the handler is registered before the log exists, so
// it runs after the log's destruction at exit.
TEST(DebugLogLifetime, ChildProcess)
{
    if (std::getenv("FERRULE_LIFETIME_CHILD") == nullptr)
        GTEST_SKIP() << "runs in a child process only";
    std::atexit(UseAfterExit);
    Debug::DebugLog();
    std::exit(3);
}

TEST(DebugLogStart, MachineDescriptionChild)
{
    if (std::getenv("FERRULE_MACHINE_CHILD") == nullptr)
        GTEST_SKIP() << "runs in a child process only";
    // The host registers a text for the machine description before the first use of the log.
    static const TextEntry texts[] = {{0x10E10004, u"Machine description"}};
    CompiledStringProvider::AddTable(texts, 1, "Host");
    const std::string text = Debug::DebugLog().Render(0);
    const bool ok = text.find("Starting Application Debug Log") != std::string::npos &&
                    text.find("Machine description\n") != std::string::npos &&
                    text.find("Operating system: Linux") != std::string::npos &&
                    text.find("Processors: ") != std::string::npos && text.find("Memory: ") != std::string::npos;
    std::fputs(text.c_str(), stderr);
    std::exit(ok ? 0 : 5);
}

TEST(DebugLogStart, MachineDescriptionWhenTheHostAsksForIt)
{
    EXPECT_EQ(RunChildTest("DebugLogStart.MachineDescriptionChild", "FERRULE_MACHINE_CHILD"), 0);
}

TEST(DebugLogLifetime, UseAfterDestructionFails)
{
    EXPECT_EQ(RunChildTest("DebugLogLifetime.ChildProcess", "FERRULE_LIFETIME_CHILD"), 0);
}

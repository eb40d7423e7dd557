// The C++ client: what a program learns from a Notifier, and where a policy it creates logs.
#include "TempDir.h"
#include "TestSupport.h"

#include <ferrule/NotifierCom.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
class Client : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_LOG_DIR", (mDir.Path() + "/logs").c_str(), 1);
        setenv("FERRULE_JOURNAL_SOCKET", "", 1);
        setenv("FERRULE_SYSLOG_SOCKET", (mDir.Path() + "/no-syslog").c_str(), 1);
        mFolder = std::filesystem::current_path();
        std::filesystem::current_path(mDir.Path());
    }
    void TearDown() override { std::filesystem::current_path(mFolder); }

    bool Exists(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    // A notification that only the log file takes (the event log has no system log here).
    ferrule::Status Send(const ferrule::Notifier& n, const std::string& text)
    {
        return n.notify(ferrule::Type::Info, ferrule::Priority::Low, 0, text, "client test");
    }

    TempDir mDir;
    std::filesystem::path mFolder;
};

TEST_F(Client, AMovedFromNotifierFailsAndSaysWhy)
{
    const std::string policy = mDir.Path() + "/app.notify.xml";
    ferrule::Notifier a("app", policy);
    ASSERT_TRUE(a.status().ok()) << a.status().message();
    ferrule::Notifier b = std::move(a);
    ferrule::Notifier c("app", policy);
    c = std::move(b);
    for (const ferrule::Notifier* moved : {&a, &b})
    {
        EXPECT_FALSE(moved->status().ok());
        const ferrule::Status s = Send(*moved, "from a moved-from notifier");
        EXPECT_EQ(static_cast<uint32_t>(s.code()), 0x8000FFFFu);
        EXPECT_NE(s.message().find("moved from"), std::string::npos) << s.message();
        EXPECT_EQ(ferrule::manager(*moved), nullptr);
    }
    // The one that holds the manager now delivers.
    EXPECT_TRUE(Send(c, "from the last owner").ok());
    EXPECT_NE(ferrule::manager(c), nullptr);
}

TEST_F(Client, APolicyItCreatesLogsIntoTheLogFolder)
{
    {
        ferrule::Notifier n("Backup", mDir.Path() + "/Backup.notify.xml");
        ASSERT_TRUE(n.status().ok()) << n.status().message();
        ASSERT_TRUE(Send(n, "into the log folder").ok());
    }
    EXPECT_FALSE(Exists(mDir.Path() + "/Backup.log.txt"));
    EXPECT_TRUE(Exists(mDir.Path() + "/logs/Backup.log.txt"));
    EXPECT_NE(ReadFile(mDir.Path() + "/Backup.notify.xml").find(mDir.Path() + "/logs"), std::string::npos);

    // A policy that exists keeps what it says: an empty path is the current folder, as the module's rule is.
    {
        std::ofstream(mDir.Path() + "/Kept.notify.xml")
            << "<NotifyPolicy><Handlers><Handler name=\"LogFile\" clsid=\"{6C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0003}\">"
               "<TypeFilter vt=\"19\">7</TypeFilter><PriorityFilter vt=\"19\">7</PriorityFilter><Path vt=\"8\"/><File vt=\"8\"/>"
               "<MaxSize vt=\"19\">1048576</MaxSize>"
               "</Handler></Handlers></NotifyPolicy>";
        ferrule::Notifier n("Kept", mDir.Path() + "/Kept.notify.xml");
        ASSERT_TRUE(n.status().ok()) << n.status().message();
        const ferrule::Status s = Send(n, "into the current folder");
        ASSERT_TRUE(s.ok()) << std::hex << s.code() << " " << s.message();
    }
    EXPECT_TRUE(Exists(mDir.Path() + "/Kept.log.txt"));
}

TEST_F(Client, APolicyPathThatCannotLastIsNotOk)
{
    ASSERT_EQ(mkdir((mDir.Path() + "/folder.notify.xml").c_str(), 0755), 0);
    std::ofstream(mDir.Path() + "/text.notify.xml") << "just some text, not a policy\n";
    std::ofstream(mDir.Path() + "/other.notify.xml") << "<Other/>";
    const struct
    {
        std::string path;
        uint32_t code;
        const char* says;
    } cases[] = {
        {mDir.Path() + "/missing/app.notify.xml", 0x80070003, "does not exist"},
        {mDir.Path() + "/folder.notify.xml", 0x8007010B, "not a regular file"},
        {mDir.Path() + "/text.notify.xml", 0x8007000D, "is not a policy"},
        {mDir.Path() + "/other.notify.xml", 0x8007000D, "is not a policy"},
    };
    for (const auto& c : cases)
    {
        ferrule::Notifier n("app", c.path);
        EXPECT_FALSE(n.status().ok()) << c.path;
        EXPECT_EQ(static_cast<uint32_t>(n.status().code()), c.code) << c.path;
        EXPECT_NE(n.status().message().find(c.says), std::string::npos) << n.status().message();
        // Notifications still go to the default handlers.
        EXPECT_TRUE(Send(n, "with the defaults").ok()) << c.path;
    }
    // ... and log into the log folder, not the current one.
    EXPECT_NE(ReadFile(mDir.Path() + "/logs/app.log.txt").size(), 0u);
    EXPECT_FALSE(Exists(mDir.Path() + "/app.log.txt"));
}
} // namespace

namespace
{
// The log-file handler's maximum size, changed through the manager under a Notifier.
void PutMaxSize(const ferrule::Notifier& n, ULONG size)
{
    const Bstr key(u"{6C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0003}");
    ComPtr<INotifyHandler> handler;
    ASSERT_EQ(ferrule::manager(n)->GetHandler(key.Get(), handler.Out()), S_OK);
    ComPtr<INotifyLog> log;
    ASSERT_EQ(handler->QueryInterface(IID_INotifyLog, log.VoidOut()), S_OK);
    ASSERT_EQ(log->put_MaxSize(size), S_OK);
}

std::string Tool(const std::string& arguments)
{
    return std::string("'") + FERRULE_TOOL + "' " + arguments;
}
} // namespace

TEST_F(Client, AWriteBackKeepsWhatAnotherWriterStored)
{
    const std::string policy = mDir.Path() + "/shared.notify.xml";
    ASSERT_EQ(std::system(Tool("set --policy " + policy + " LogFile MaxSize=1000 >/dev/null").c_str()), 0);

    // A set that waits for a password on standard input holds no lock meanwhile: a manager's change
    // written while it waits stays, and so does the set's.
    FILE* set = popen(Tool("set --policy " + policy + " E-mail User=ann Password=- >/dev/null 2>&1").c_str(), "w");
    ASSERT_NE(set, nullptr);
    usleep(300 * 1000);
    {
        ferrule::Notifier n("shared", policy);
        ASSERT_TRUE(n.status().ok()) << n.status().message();
        PutMaxSize(n, 777);
    } // written back here
    EXPECT_NE(ReadFile(policy).find("<MaxSize vt=\"19\">777</MaxSize>"), std::string::npos);
    std::fputs("s3cret\n", set);
    EXPECT_EQ(pclose(set), 0);
    std::string text = ReadFile(policy);
    EXPECT_NE(text.find("<MaxSize vt=\"19\">777</MaxSize>"), std::string::npos) << text;
    EXPECT_NE(text.find("<User vt=\"8\">ann</User>"), std::string::npos) << text;

    // A manager that read the file before another writer changed it writes back only its own change.
    {
        ferrule::Notifier n("shared", policy);
        ASSERT_TRUE(n.status().ok()) << n.status().message();
        ASSERT_EQ(std::system(Tool("set --policy " + policy + " E-mail User=bob SMTPServer=mail.example >/dev/null").c_str()), 0);
        PutMaxSize(n, 888);
    }
    text = ReadFile(policy);
    EXPECT_NE(text.find("<MaxSize vt=\"19\">888</MaxSize>"), std::string::npos) << text;
    EXPECT_NE(text.find("<User vt=\"8\">bob</User>"), std::string::npos) << text;
    EXPECT_NE(text.find("<SMTPServer vt=\"8\">mail.example</SMTPServer>"), std::string::npos) << text;
}

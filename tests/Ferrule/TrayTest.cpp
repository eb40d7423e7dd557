// The tray-application handler with real sockets in a pipe folder of the test's own.
#include "Messages/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"
#include "TrayClient.h"

#include "Platform/Com/Owners.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

// A tray client: after `delay`, waits (up to 8 s) for an offer, connects and reads until the server
// closes. The bytes it got, or "(no pipe)".
std::string Client(const std::string& folder, std::chrono::milliseconds delay)
{
    std::this_thread::sleep_for(delay);
    std::set<std::string> taken;
    return tray::ReadNext(folder, taken);
}

std::string Text(const std::string& block)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < block.size(); i += 2)
    {
        const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(block[i]) |
                                                 (static_cast<unsigned char>(block[i + 1]) << 8));
        if (c == 0)
            break;
        text += c;
    }
    return Utf16ToUtf8(text);
}

class Tray : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        setenv("FERRULE_PIPE_DIR", mDir.Path().c_str(), 1);
        ASSERT_EQ(ComCreator<CNotifyApp>::CreateInstance(nullptr, IID_INotifyApp, mTray.VoidOut()), S_OK);
        mTray->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mTray->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    }
    void TearDown() override
    {
        mTray.Reset();
        unsetenv("FERRULE_PIPE_DIR");
    }
    HRESULT Send(const std::u16string& description, int type = 1, int priority = 1)
    {
        Bstr a(u"App"), d(description), s(u"nightly");
        const HRESULT hr = mTray->Notify(a, static_cast<eZD_NOTIFY_TYPE>(type), static_cast<eZD_NOTIFY_PRIORITY>(priority),
                                         0, d, s, 0);
        return hr;
    }
    bool PipeExists() const { return !tray::Offers(mDir.Path()).empty(); }
    TempDir mDir;
    ComPtr<INotifyApp> mTray;
};
} // namespace

TEST_F(Tray, NoClientsNoPipe)
{
    const auto started = Clock::now();
    EXPECT_EQ(Send(u"x"), S_OK);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(100));
    EXPECT_FALSE(PipeExists());
    // A test notification is never offered; (TEST, HIGH) is.
    mTray->put_Clients(1);
    auto client = std::async(std::launch::async, Client, mDir.Path(), std::chrono::milliseconds(0));
    EXPECT_EQ(Send(u"test", 8, 8), S_OK);
    EXPECT_FALSE(PipeExists());
    EXPECT_EQ(Send(u"test high", 8, 1), S_OK);
    const std::string block = client.get();
    EXPECT_EQ(block.size(), 2048u);
    EXPECT_EQ(Text(block), "test high");
}

TEST_F(Tray, TwoOffersOneClient)
{
    mTray->put_Clients(2);
    auto client = std::async(std::launch::async, Client, mDir.Path(), std::chrono::milliseconds(1000));
    const auto started = Clock::now();
    EXPECT_EQ(Send(u"Backup failed."), S_OK);
    const auto took = Clock::now() - started;
    EXPECT_EQ(Text(client.get()), "Backup failed.");
    // The first offer is served at about 1 s, the second waits its ten attempts (about 5 s).
    EXPECT_GT(took, std::chrono::milliseconds(5500));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
    EXPECT_FALSE(PipeExists()); // the last instance took the socket with it
}

TEST_F(Tray, BlocksCutEmptyAndSerialized)
{
    mTray->put_Clients(1);
    {
        auto client = std::async(std::launch::async, Client, mDir.Path(), std::chrono::milliseconds(0));
        ASSERT_EQ(Send(std::u16string(1500, u'\u00e9')), S_OK);
        const std::string block = client.get();
        ASSERT_EQ(block.size(), 2048u);
        EXPECT_EQ(Utf8ToUtf16(Text(block)).size(), 1023u);
        EXPECT_EQ(block.substr(2046), std::string(2, '\0'));
    }
    {
        auto client = std::async(std::launch::async, Client, mDir.Path(), std::chrono::milliseconds(0));
        ASSERT_EQ(Send(u""), S_OK);
        EXPECT_EQ(client.get(), ""); // disconnected without data
    }
    {
        auto client = std::async(std::launch::async, Client, mDir.Path(), std::chrono::milliseconds(0));
        ComPtr<INotifySerialized> serialized;
        mTray->QueryInterface(IID_INotifySerialized, serialized.VoidOut());
        Bstr a(u"App"), r(u"Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [0];)"), s(u"x");
        ASSERT_EQ(serialized->NotifySerialized(a, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0xECE3006A, r, s, 0), S_OK);
        serialized.Reset();
        EXPECT_EQ(Text(client.get()), "Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [0];)");
    }
}

TEST_F(Tray, StaleAndForeignSocketFiles)
{
    mTray->put_Clients(1);
    // An offer's socket left by a process that died: removed by the next offer.
    const std::string folder = mDir.Path() + "/TRAYICON_NOTIFIER";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stale = folder + "/00000000000000000001-" + std::to_string(dead) + "-1";
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, stale.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd); // nobody listens now
    }
    auto client = std::async(std::launch::async, [&] {
        std::set<std::string> taken = {"00000000000000000001-" + std::to_string(dead) + "-1"};
        return tray::ReadNext(mDir.Path(), taken);
    });
    EXPECT_EQ(Send(u"after a crash"), S_OK);
    EXPECT_EQ(Text(client.get()), "after a crash");
    struct stat st;
    EXPECT_NE(lstat(stale.c_str(), &st), 0);
    // A file at the pipe's place that is not our folder: left alone, the offer skipped at once.
    ASSERT_EQ(rmdir(folder.c_str()), 0);
    std::ofstream(folder) << "not a socket";
    const auto started = Clock::now();
    EXPECT_EQ(Send(u"skipped"), S_OK);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    std::ifstream in(folder);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "not a socket");
}

TEST_F(Tray, AConnectionThatReadsNothingIsNotServed)
{
    // A liveness check (connect, close) while no client listens: the offer still waits its bound, and
    // the next real client is not robbed of it.
    mTray->put_Clients(1);
    auto probeThenClient = std::async(std::launch::async, [&] {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        std::vector<std::string> offers;
        while ((offers = tray::Offers(mDir.Path())).empty() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (offers.empty())
            return std::string("(no pipe)");
        for (int i = 0; i < 3; ++i)
            close(tray::Connect(mDir.Path(), offers[0]));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::set<std::string> taken;
        return tray::ReadNext(mDir.Path(), taken);
    });
    const auto started = Clock::now();
    EXPECT_EQ(Send(u"for the real client"), S_OK);
    const auto took = Clock::now() - started;
    EXPECT_EQ(Text(probeThenClient.get()), "for the real client");
    EXPECT_GT(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::milliseconds(5500));

    // Nobody at all after a probe: the whole bound, about 5 s.
    auto probeOnly = std::async(std::launch::async, [&] {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        std::vector<std::string> offers;
        while ((offers = tray::Offers(mDir.Path())).empty() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!offers.empty())
            close(tray::Connect(mDir.Path(), offers[0]));
    });
    const auto alone = Clock::now();
    EXPECT_EQ(Send(u"nobody reads"), S_OK);
    probeOnly.get();
    EXPECT_GT(Clock::now() - alone, std::chrono::milliseconds(4500));
    EXPECT_FALSE(PipeExists());
}

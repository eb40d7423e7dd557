// The outbox through the ferrule tool, against the SMTP and HTTP peers of the tests (started here on
// loopback): mail and posts kept while their peer is down, delivered once by ferrule flush, given up at
// the end of their period; permanent refusals not kept; flushers killed or running side by side.
#include "Certificate.h"
#include "PeerProcess.h"
#include "TempDir.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
namespace fs = std::filesystem;

// A loopback port nothing listens on now, for a peer to take later.
int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

// The line of a message that begins with name ("Message-ID: ...").
std::string Header(const std::string& message, const std::string& name)
{
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ": ", 0) == 0)
            return line.substr(0, line.find_last_not_of("\r") + 1);
    return "";
}

// The SMTP peer on a port, its messages as JSON records in a folder.
class SmtpPeer
{
public:
    SmtpPeer(const std::string& folder, int port, std::vector<std::string> options = {})
        : mFolder(folder), mPeer(Arguments(folder, port, options), folder + "/ready")
    {
    }
    std::vector<nlohmann::json> Mails(size_t count, std::chrono::seconds wait = std::chrono::seconds(5)) const
    {
        std::vector<nlohmann::json> mails;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        do
        {
            mails.clear();
            for (size_t n = 1; fs::exists(mFolder + "/" + std::to_string(n) + ".json"); ++n)
                mails.push_back(nlohmann::json::parse(ReadFile(mFolder + "/" + std::to_string(n) + ".json")));
        } while (mails.size() < count && std::chrono::steady_clock::now() < deadline &&
                 (std::this_thread::sleep_for(std::chrono::milliseconds(50)), true));
        return mails;
    }
    bool Ready() const { return !mPeer.Ready().empty(); }

private:
    static std::vector<std::string> Arguments(const std::string& folder, int port, std::vector<std::string> options)
    {
        fs::create_directories(folder);
        std::vector<std::string> args = {"/usr/bin/python3", SMTP_PEER, "--ready", folder + "/ready", "--out", folder,
                                         "--port", std::to_string(port)};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
    std::string mFolder;
    PeerProcess mPeer;
};

struct Outcome
{
    int code;
    std::string out;
};

class Outbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("FERRULE_CONFIG_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_LOG_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_SPOOL_DIR", Spool().c_str(), 1);
        setenv("FERRULE_JOURNAL_SOCKET", "", 1);
        setenv("FERRULE_SYSLOG_SOCKET", (mDir.Path() + "/no-syslog").c_str(), 1);
        unsetenv("FERRULE_OUTBOX_CLOCK_OFFSET");
    }
    std::string Spool() const { return mDir.Path() + "/spool"; }

    // ferrule with arguments (shell syntax) in the test's folder; stdout and stderr together.
    Outcome Ferrule(const std::string& arguments, const std::string& input = "")
    {
        std::string command = "cd '" + mDir.Path() + "' && LC_ALL=C '" + FERRULE_TOOL + "' " + arguments;
        if (!input.empty())
        {
            std::ofstream(mDir.Path() + "/input.txt") << input;
            command += " < input.txt";
        }
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        std::string out;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        const int status = pclose(pipe);
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    // The entries as their files hold them, oldest first.
    std::vector<nlohmann::json> Entries() const
    {
        std::vector<std::pair<std::string, nlohmann::json>> found;
        if (fs::exists(Spool()))
            for (const auto& f : fs::recursive_directory_iterator(Spool()))
                if (f.path().extension() == ".json")
                    found.emplace_back(f.path().filename().string(), nlohmann::json::parse(ReadFile(f.path().string())));
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<nlohmann::json> entries;
        for (auto& [name, entry] : found)
            entries.push_back(std::move(entry));
        return entries;
    }

    // The e-mail handler's library transport alone, to a server and port.
    void MailTo(int port)
    {
        ASSERT_EQ(Ferrule("set E-mail SMTPServer=127.0.0.1 ServerPort=" + std::to_string(port) +
                          " EmailAddress=ops@example.org Authentication=9999 TypeFilter=all PriorityFilter=all")
                      .code,
                  0);
    }

    TempDir mDir;
};
} // namespace

TEST_F(Outbox, MailKeptWhileTheServerIsDownArrivesOnceInOrderAfterAFlush)
{
    const int port = FreePort();
    MailTo(port);
    for (int i = 1; i <= 3; ++i)
    {
        const Outcome r = Ferrule("notify --type error 'backup " + std::to_string(i) + " failed'");
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_NE(r.out.find("Kept in the outbox as entry "), std::string::npos) << r.out;
        // The first finds the server down; the next ones do not try it again within the window.
        EXPECT_NE(r.out.find(i == 1 ? "(Connection refused)" : "down since"), std::string::npos) << r.out;
    }
    const std::vector<nlohmann::json> kept = Entries();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_NE(Ferrule("outbox").out.find("mail-library\tops@example.org\t"), std::string::npos);

    SmtpPeer peer(mDir.Path() + "/mail", port);
    ASSERT_TRUE(peer.Ready());
    const Outcome r = Ferrule("flush");
    EXPECT_EQ(r.code, 0) << r.out;
    const std::vector<nlohmann::json> mails = peer.Mails(3);
    ASSERT_EQ(mails.size(), 3u) << r.out;
    for (size_t i = 0; i < 3; ++i)
    {
        // In the order they were kept, each with its original Date and Message-ID.
        const std::string original = kept[i]["payload"]["message"];
        const std::string data = mails[i]["data"];
        EXPECT_EQ(Header(data, "Message-ID"), Header(original, "Message-ID"));
        EXPECT_EQ(Header(data, "Date"), Header(original, "Date"));
        EXPECT_FALSE(Header(data, "Date").empty());
    }
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(Ferrule("outbox").out, "");
    // Nothing left: a flush sends nothing again.
    EXPECT_EQ(Ferrule("flush").code, 0);
    EXPECT_EQ(peer.Mails(4, std::chrono::seconds(1)).size(), 3u);
}

TEST_F(Outbox, PostsKeptWhileTheEndpointIsDownGoOutWithTheirBodyAndKey)
{
    // The HTTPS endpoint of the webhook tests, with a certificate made here.
    const std::string cert = mDir.Path() + "/cert.pem", key = mDir.Path() + "/key.pem";
    ASSERT_TRUE(MakeCertificate(cert, key));
    const ScopedEnv trust("FERRULE_WEBHOOK_CA_FILE", cert);
    const int port = FreePort();
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/hooks/s3cr3t";
    ASSERT_EQ(Ferrule("set Webhook URL=- TypeFilter=all PriorityFilter=all", url + "\n").code, 0);
    for (int i = 1; i <= 3; ++i)
    {
        const Outcome r = Ferrule("notify --type error 'post " + std::to_string(i) + "'");
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_NE(r.out.find("Kept in the outbox as entry "), std::string::npos) << r.out;
    }
    const std::vector<nlohmann::json> kept = Entries();
    ASSERT_EQ(kept.size(), 3u);
    // The URL's secret path is nowhere in the outbox.
    for (const auto& f : fs::recursive_directory_iterator(Spool()))
        if (f.is_regular_file())
        {
            EXPECT_EQ(ReadFile(f.path().string()).find("s3cr3t"), std::string::npos) << f.path();
        }

    PeerProcess server({"/usr/bin/python3", HTTP_PEER, mDir.Path() + "/port", mDir.Path() + "/requests", "--port",
                        std::to_string(port), "--cert", cert, "--key", key},
                       mDir.Path() + "/port");
    ASSERT_FALSE(server.Ready().empty());
    const Outcome r = Ferrule("flush");
    EXPECT_EQ(r.code, 0) << r.out;
    std::vector<nlohmann::json> requests;
    std::istringstream lines(ReadFile(mDir.Path() + "/requests"));
    for (std::string line; std::getline(lines, line);)
        requests.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(requests.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(requests[i]["path"], "/hooks/s3cr3t");
        // The same post, in order: its key, and the body kept for it.
        EXPECT_EQ(requests[i]["headers"]["idempotency-key"], kept[i]["payload"]["key"]);
        EXPECT_NE(kept[i]["payload"]["body"].get<std::string>().find("\"post " + std::to_string(i + 1) + "\""),
                  std::string::npos);
    }
    EXPECT_TRUE(Entries().empty());
}

TEST_F(Outbox, PermanentRefusalsAreNotKeptAndTheOutboxCanBeSwitchedOff)
{
    // A failed notification whose failure says `why` and that left nothing in the outbox.
    auto failsAndKeepsNothing = [&](const std::string& description, const std::string& why) {
        const Outcome r = Ferrule("notify --type error '" + description + "'");
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_NE(r.out.find(why), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Kept in the outbox"), std::string::npos) << r.out;
        EXPECT_TRUE(Entries().empty());
    };
    // Every recipient refused (550): permanent.
    const int port = FreePort();
    SmtpPeer refusing(mDir.Path() + "/mail", port, {"--refuse", "ops@example.org"});
    ASSERT_TRUE(refusing.Ready());
    MailTo(port);
    failsAndKeepsNothing("refused", "550");

    // A webhook's 403: permanent.
    PeerProcess server({"/usr/bin/python3", HTTP_PEER, mDir.Path() + "/port", mDir.Path() + "/requests", "--status", "403"},
                       mDir.Path() + "/port");
    ASSERT_EQ(Ferrule("set E-mail TypeFilter=none").code, 0);
    ASSERT_EQ(Ferrule("set Webhook URL=-", "http://127.0.0.1:" + server.Ready() + "/h\n").code, 0);
    failsAndKeepsNothing("forbidden", "HTTP 403");

    // RetryMinutes=0: one attempt, nothing kept, even for a cause that may pass.
    ASSERT_EQ(Ferrule("set Webhook TypeFilter=none").code, 0);
    MailTo(FreePort());
    const Outcome r = Ferrule("set Outbox RetryMinutes=0");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(ReadFile(mDir.Path() + "/ferrule.notify.xml").find("<Outbox><RetryMinutes vt=\"19\">0</RetryMinutes></Outbox>"),
              std::string::npos)
        << ReadFile(mDir.Path() + "/ferrule.notify.xml");
    failsAndKeepsNothing("down, not kept", "(Connection refused)");
    // A manager writing the file back keeps the element.
    ASSERT_EQ(Ferrule("set LogFile MaxSize=64").code, 0);
    EXPECT_NE(ReadFile(mDir.Path() + "/ferrule.notify.xml").find("<RetryMinutes vt=\"19\">0</RetryMinutes>"), std::string::npos);
}

TEST_F(Outbox, AnEntryPastItsRetryPeriodIsGivenUpAndReported)
{
    MailTo(FreePort());
    ASSERT_EQ(Ferrule("set Outbox RetryMinutes=5").code, 0);
    Outcome r = Ferrule("notify --type error 'kept for five minutes'");
    EXPECT_NE(r.out.find("Kept in the outbox"), std::string::npos) << r.out;
    ASSERT_EQ(Entries().size(), 1u);
    const int64_t created = Entries()[0]["created"], giveUpAt = Entries()[0]["giveUpAt"];
    EXPECT_EQ(giveUpAt - created, 300);
    // Four minutes on: still tried (and failing again, its wait doubled); six minutes on: given up.
    r = Ferrule("flush", "");
    EXPECT_EQ(r.code, 1) << r.out;
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0]["attempts"], 2);
    setenv("FERRULE_OUTBOX_CLOCK_OFFSET", "360", 1);
    r = Ferrule("flush");
    unsetenv("FERRULE_OUTBOX_CLOCK_OFFSET");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("Given up after 2 attempts since"), std::string::npos) << r.out;
    EXPECT_TRUE(Entries().empty());
    const std::string log = Ferrule("log").out;
    EXPECT_NE(log.find("High Priority Warning: Error ECE30084: Given up after 2 attempts"), std::string::npos) << log;
}

TEST_F(Outbox, AStalledServerIsWaitedForOnceThenTheBacklogGoesToTheFixedServer)
{
    const int stalledPort = FreePort();
    SmtpPeer stalled(mDir.Path() + "/stalled", stalledPort, {"--silent"});
    ASSERT_TRUE(stalled.Ready());
    MailTo(stalledPort);
    const ScopedEnv timeout("FERRULE_SMTP_TIMEOUT", "3");
    for (int i = 0; i < 5; ++i)
    {
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = Ferrule("notify --type error 'stalled " + std::to_string(i) + "'");
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_NE(r.out.find("Kept in the outbox"), std::string::npos) << r.out;
        // The first waits its time-out; the next return at once: the server is known down.
        EXPECT_EQ(took >= std::chrono::milliseconds(2500), i == 0) << i << ": " << r.out;
    }
    ASSERT_EQ(Entries().size(), 5u);
    // A flush while it still stalls waits for the first entry only (not five time-outs, 15 s): the others
    // wait for the next flush.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Ferrule("flush").code, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(8000));
    std::vector<int> attempts;
    for (const nlohmann::json& e : Entries())
        attempts.push_back(e["attempts"]);
    EXPECT_EQ(attempts, (std::vector<int>{2, 1, 1, 1, 1}));
    // The administrator points the policy at a server that works: the backlog goes there.
    const int fixedPort = FreePort();
    SmtpPeer fixed(mDir.Path() + "/fixed", fixedPort);
    ASSERT_TRUE(fixed.Ready());
    MailTo(fixedPort);
    const ScopedEnv later("FERRULE_OUTBOX_CLOCK_OFFSET", "61"); // the first entry's wait is over
    const Outcome r = Ferrule("flush");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(fixed.Mails(5).size(), 5u);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(Outbox, AFlusherKilledAfterTheDataSendsAgainWithTheSameIdAndTwoFlushersSendOnce)
{
    const int port = FreePort();
    MailTo(port);
    ASSERT_NE(Ferrule("notify --type error 'held'").out.find("Kept"), std::string::npos);
    const std::string kept = Header(Entries().at(0)["payload"]["message"], "Message-ID");
    {
        // The peer takes the message and never answers it; the flusher is killed meanwhile.
        SmtpPeer holding(mDir.Path() + "/held", port, {"--hold-data"});
        ASSERT_TRUE(holding.Ready());
        const pid_t flusher = fork();
        if (flusher == 0)
        {
            execl(FERRULE_TOOL, FERRULE_TOOL, "flush", static_cast<char*>(nullptr));
            _exit(4);
        }
        const std::vector<nlohmann::json> held = holding.Mails(1);
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(Header(held[0]["data"], "Message-ID"), kept);
        kill(flusher, SIGKILL);
        waitpid(flusher, nullptr, 0);
    }
    ASSERT_EQ(Entries().size(), 1u); // still there

    // More entries, then two flushers at once: each entry is sent once, the killed one again with its id.
    for (int i = 0; i < 5; ++i)
        Ferrule("notify --type error 'pair " + std::to_string(i) + "'");
    ASSERT_EQ(Entries().size(), 6u);
    SmtpPeer peer(mDir.Path() + "/mail", port);
    ASSERT_TRUE(peer.Ready());
    const Outcome both = Ferrule("flush > a.txt 2>&1 & '" + std::string(FERRULE_TOOL) + "' flush > b.txt 2>&1; wait");
    const std::vector<nlohmann::json> mails = peer.Mails(6);
    std::set<std::string> ids;
    for (const nlohmann::json& m : mails)
        ids.insert(Header(m["data"], "Message-ID"));
    EXPECT_EQ(mails.size(), 6u) << ReadFile(mDir.Path() + "/a.txt") << ReadFile(mDir.Path() + "/b.txt");
    EXPECT_EQ(ids.size(), 6u);
    EXPECT_TRUE(ids.count(kept));
    EXPECT_EQ(peer.Mails(7, std::chrono::seconds(1)).size(), 6u);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(Outbox, EntriesArePrivateAndHoldNoSecret)
{
    MailTo(FreePort());
    ASSERT_EQ(Ferrule("set E-mail User=ann Password=-", "pa55word-in-clear\n").code, 0);
    ASSERT_EQ(Ferrule("set Webhook URL=- TypeFilter=all PriorityFilter=all", "https://127.0.0.1:" +
                                                                              std::to_string(FreePort()) + "/h\n")
                  .code,
              0);
    ASSERT_EQ(Ferrule("set Webhook Token=-", "t0ken-in-clear\n").code, 0);
    Ferrule("notify --type error 'secrets stay out'");
    ASSERT_EQ(Entries().size(), 2u);
    // The stored forms, as the policy holds them.
    const std::string policy = ReadFile(mDir.Path() + "/ferrule.notify.xml");
    std::vector<std::string> secrets = {"pa55word-in-clear", "t0ken-in-clear"};
    for (const char* row : {"<AESAdvancedPwd256ICFIPS vt=\"8\">", "<StoredToken vt=\"8\">"})
    {
        const size_t at = policy.find(row);
        ASSERT_NE(at, std::string::npos) << policy;
        const size_t start = at + std::string(row).size();
        secrets.push_back(policy.substr(start, policy.find('<', start) - start));
    }
    struct stat st;
    ASSERT_EQ(stat(Spool().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const auto& f : fs::recursive_directory_iterator(Spool()))
    {
        ASSERT_EQ(stat(f.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, f.is_directory() ? 0700u : 0600u) << f.path();
        if (!f.is_regular_file())
            continue;
        for (const std::string& secret : secrets)
            EXPECT_EQ(ReadFile(f.path().string()).find(secret), std::string::npos) << f.path() << " holds " << secret;
    }
}

TEST_F(Outbox, AFullDiskIsAReportedFailureAndLeavesNoHalfWrittenEntry)
{
    if (system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace here";
    MailTo(FreePort());
    // A spool on a small tmpfs, filled up, in a mount namespace of the command's own.
    const Outcome r = Ferrule("--version >/dev/null; unshare -m sh -c 'mkdir -p spool && mount -t tmpfs -o size=16k tmpfs spool "
                              "&& head -c 65536 /dev/zero > spool/fill 2>/dev/null; \"" +
                              std::string(FERRULE_TOOL) +
                              "\" notify --type error \"disk full\"; echo; find spool -mindepth 1 -name \"*.json\" -o "
                              "-name \".tmp-*\" | sed \"s/^/LEFT /\"'");
    EXPECT_NE(r.out.find("could not be kept in the outbox: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No space left on device"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("LEFT "), std::string::npos) << r.out;
}

TEST_F(Outbox, AFullOutboxDropsItsOldestEntryAndSaysWhich)
{
    MailTo(FreePort());
    // One more than the bound, from one process (the server is known down after the first).
    std::string input;
    for (int i = 0; i <= 1000; ++i)
        input += "error\thigh\t0\tbatch\tmail " + std::to_string(i) + "\n";
    const Outcome r = Ferrule("notify --stdin", input);
    EXPECT_EQ(r.code, 1);
    const std::vector<nlohmann::json> entries = Entries();
    ASSERT_EQ(entries.size(), 1000u);
    // The first mail's entry went, and the last failure names it.
    const std::string dropped = "was full: its oldest entries were dropped: ";
    const size_t at = r.out.rfind(dropped);
    ASSERT_NE(at, std::string::npos) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    const std::string id = r.out.substr(at + dropped.size(), r.out.find_first_of(" \n", at + dropped.size()) - at - dropped.size());
    EXPECT_FALSE(id.empty());
    for (const nlohmann::json& e : entries)
        EXPECT_NE(e["id"], id);
    EXPECT_EQ(r.out.find(dropped), at); // said once: only the 1001st mail found the outbox full
}

TEST_F(Outbox, AFlushStopsOnSigtermAfterTheEntryItIsSending)
{
    const int port = FreePort();
    MailTo(port);
    for (int i = 0; i < 3; ++i)
        Ferrule("notify --type error 'queued " + std::to_string(i) + "'");
    ASSERT_EQ(Entries().size(), 3u);
    SmtpPeer holding(mDir.Path() + "/held", port, {"--hold-data"});
    ASSERT_TRUE(holding.Ready());
    const ScopedEnv timeout("FERRULE_SMTP_TIMEOUT", "2");
    const std::string err = mDir.Path() + "/flush.err";
    const pid_t flusher = fork();
    if (flusher == 0)
    {
        if (!freopen(err.c_str(), "w", stderr))
            _exit(3);
        execl(FERRULE_TOOL, FERRULE_TOOL, "flush", static_cast<char*>(nullptr));
        _exit(4);
    }
    ASSERT_EQ(holding.Mails(1).size(), 1u); // the first entry is being sent
    kill(flusher, SIGTERM);
    int status = 0;
    waitpid(flusher, &status, 0);
    // It finished that entry (no answer within its time-out: kept for later) and left the others.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(ReadFile(err).find("flush stopped (SIGTERM); 2 due entries left for the next"), std::string::npos)
        << ReadFile(err);
    const std::vector<nlohmann::json> entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]["attempts"], 2);
    EXPECT_EQ(entries[1]["attempts"], 1);
}

TEST_F(Outbox, AnEntryWaitsWhileItsTransportIsOffOrItsPolicyIsGoneAndSaysWhy)
{
    MailTo(FreePort());
    Ferrule("notify --type error 'waiting'");
    ASSERT_EQ(Entries().size(), 1u);
    // The mail library's transport switched off: the entry waits, and the listing says why.
    ASSERT_EQ(Ferrule("set E-mail Encryption=9999 Authentication=0").code, 0);
    Outcome r = Ferrule("flush");
    EXPECT_EQ(r.code, 1) << r.out;
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0]["attempts"], 1); // not tried
    EXPECT_NE(Ferrule("outbox").out.find("the mail library's transport is off now (E-mail Encryption)"), std::string::npos);
    // The policy gone: the same, until the retry period ends.
    fs::rename(mDir.Path() + "/ferrule.notify.xml", mDir.Path() + "/elsewhere.xml");
    setenv("FERRULE_OUTBOX_CLOCK_OFFSET", "120", 1);
    r = Ferrule("flush");
    unsetenv("FERRULE_OUTBOX_CLOCK_OFFSET");
    EXPECT_EQ(r.code, 1) << r.out;
    ASSERT_EQ(Entries().size(), 1u);
    r = Ferrule("outbox");
    EXPECT_NE(r.out.find("its policy " + mDir.Path() + "/ferrule.notify.xml is gone or cannot be read"), std::string::npos)
        << r.out;

    // Dropped by hand: an id the outbox does not have is refused and nothing goes; the entry's own id works.
    const std::string id = Entries()[0]["id"];
    r = Ferrule("outbox drop " + id + "x");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("the outbox has no entry " + id + "x"), std::string::npos) << r.out;
    EXPECT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Ferrule("outbox drop").code, 2);
    EXPECT_EQ(Ferrule("outbox drop " + id).code, 0);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(Outbox, AUserWithNeitherHomeNorSpoolFolderIsToldItCouldNotBeKept)
{
    // A folder the user nobody can use, a policy there; nobody runs ferrule without HOME or a spool.
    TempDir shared;
    chmod(shared.Path().c_str(), 0777);
    const ScopedEnv config("FERRULE_CONFIG_DIR", shared.Path()), logs("FERRULE_LOG_DIR", shared.Path());
    MailTo(FreePort());
    for (const auto& f : fs::directory_iterator(shared.Path()))
        chmod(f.path().c_str(), 0666);
    const Outcome r = Ferrule("--version >/dev/null; setpriv --reuid=nobody --regid=nogroup --clear-groups env -u HOME "
                              "-u XDG_STATE_HOME -u FERRULE_SPOOL_DIR '" + std::string(FERRULE_TOOL) +
                              "' notify --type error 'no home'");
    EXPECT_NE(r.out.find("could not be kept in the outbox: there is no spool folder for this user"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(Connection refused)"), std::string::npos) << r.out; // the cause, still told
}

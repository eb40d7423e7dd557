// The ferrule tool, run as a program in a temporary folder.
#include "Certificate.h"
#include "Ferrule/ClassTable.h"
#include "JournalSocket.h"
#include "PeerProcess.h"
#include "TempDir.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <fcntl.h>
#include <vector>

namespace
{
struct Outcome
{
    int code;
    std::string out; // standard output and error together
};

class Tool : public ::testing::Test
{
protected:
    // Policies and logs in the test's folder.
    void SetUp() override
    {
        setenv("FERRULE_CONFIG_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_LOG_DIR", mDir.Path().c_str(), 1);
        setenv("FERRULE_SPOOL_DIR", (mDir.Path() + "/spool").c_str(), 1);
    }

    // Runs ferrule with arguments (shell syntax) in the test's folder, input from a file when given.
    Outcome Ferrule(const std::string& arguments, const std::string& input = "")
    {
        std::string command = "cd '" + mDir.Path() + "' && FERRULE_REGISTRY_DIR='" + mDir.Path() + "' LC_ALL=C '" +
                              FERRULE_TOOL + "' " + arguments;
        if (!input.empty())
        {
            std::ofstream(mDir.Path() + "/input.txt") << input;
            command += " < input.txt";
        }
        command += " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        const int status = pclose(pipe);
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    std::string Read(const std::string& name)
    {
        std::ifstream in(mDir.Path() + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    bool Exists(const std::string& name)
    {
        struct stat st;
        return stat((mDir.Path() + "/" + name).c_str(), &st) == 0;
    }

    TempDir mDir;
};
} // namespace

TEST_F(Tool, NotifyAndReadTheLog)
{
    Outcome r = Ferrule("notify --type error --priority high --code 0x1F --source nightly 'Backup failed.'");
    EXPECT_EQ(Ferrule("notify --code 010 'decimal ten'").code, 0);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(Exists("ferrule.log.txt"));
    EXPECT_TRUE(Exists("ferrule.notify.xml")); // the manager writes its policy on release
    r = Ferrule("log ferrule.log.txt");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(" High Priority Error: Backup failed. 0x1F (nightly)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("decimal ten 0x0A (ferrule)"), std::string::npos) << r.out;

    // A coded notification: the log line holds the code's message.
    ASSERT_EQ(Ferrule("notify --type warning --code 0xECE3006A 'smtp refused'").code, 0);
    r = Ferrule("log ferrule.log.txt");
    EXPECT_NE(r.out.find("Warning: Error ECE3006A: Unable to send notification e-mail. 0xECE3006A"), std::string::npos)
        << r.out;

    // Options after operands, shortened, with "="; "--" ends them, so a description may begin with "-".
    ASSERT_EQ(Ferrule("notify 'after the text' --pri=high --ty info").code, 0);
    ASSERT_EQ(Ferrule("notify --type warning -- '-1 files left'").code, 0);
    r = Ferrule("log -n 2 ferrule.log.txt");
    EXPECT_NE(r.out.find("High Priority Info: after the text 0x00"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Warning: -1 files left"), std::string::npos) << r.out;
}

TEST_F(Tool, SetRotatesAndHandlersShowIt)
{
    Outcome r = Ferrule("set LogFile FilePath=" + mDir.Path() + "/x MaxSize=1");
    ASSERT_EQ(r.code, 0) << r.out;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Ferrule("notify 'notification " + std::to_string(i) + " with some text to fill the file'").code, 0);
    EXPECT_TRUE(Exists("x/ferrule.log.txt"));
    EXPECT_TRUE(Exists("x/ferrule.log.txt.old"));
    r = Ferrule("handlers");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("LogFile {6C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0003}\n  types: error|warning|info\n"
                         "  priorities: high|medium|low\n  MaxSize = 1\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Password"), std::string::npos);
    // By class id and by ProgID.
    EXPECT_EQ(Ferrule("set {4c7a3e01-5d2b-4c8e-9f31-7b2e4d6a0002} ServerPort=2525").code, 0);
    EXPECT_EQ(Ferrule("set Quellon.Notify.NotifySNMPTrap.1 TrapPort=1162").code, 0);
    r = Ferrule("handlers");
    EXPECT_NE(r.out.find("ServerPort = 2525"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TrapPort = 1162"), std::string::npos) << r.out;
    // One vocabulary, the policy file's: shown by its element names; set takes those and the property names.
    EXPECT_EQ(Ferrule("set E-mail EmailAddress=ops@example.org From=backup@example.org").code, 0);
    EXPECT_EQ(Ferrule("set LogFile Path=" + mDir.Path() + "/y File=named.log").code, 0);
    r = Ferrule("handlers");
    for (const char* shown : {"  EmailAddress = ops@example.org\n", "  From = backup@example.org\n", "  File = named.log\n"})
        EXPECT_NE(r.out.find(shown), std::string::npos) << shown << r.out;
    EXPECT_NE(r.out.find("  Path = " + mDir.Path() + "/y"), std::string::npos) << r.out;
    for (const char* property : {"Address =", "AddressFrom =", "FileName =", "FilePath ="})
        EXPECT_EQ(r.out.find(std::string("  ") + property), std::string::npos) << property << r.out;
    const std::string policy = Read("ferrule.notify.xml");
    EXPECT_NE(policy.find("<EmailAddress vt=\"8\">ops@example.org</EmailAddress>"), std::string::npos) << policy;
}

TEST_F(Tool, UnknownNamesChangeNothing)
{
    ASSERT_EQ(Ferrule("set LogFile MaxSize=64").code, 0);
    const std::string before = Read("ferrule.notify.xml");
    Outcome r = Ferrule("set LogFile Bogus=1");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("has no property Bogus=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n  MaxSize"), std::string::npos) << r.out;
    r = Ferrule("set Nothing MaxSize=1");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("no handler Nothing"), std::string::npos) << r.out;
    r = Ferrule("set LogFile MaxSize=0"); // refused by the handler
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("0x80070057"), std::string::npos) << r.out;
    EXPECT_EQ(Read("ferrule.notify.xml"), before);

    // No policy file before a failing set: none after it.
    r = Ferrule("set --app other LogFile Bogus=1");
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(Exists("other.notify.xml"));
}

TEST_F(Tool, ARefusedSetLeavesThePolicyAsItWas)
{
    // Refused values of a handler the first set adds, and of a built-in one; standard input's values
    // with a NUL. Each with no policy file before, and with one.
    const struct
    {
        std::string arguments;
        std::string input;
    } cases[] = {
        {"set Webhook URL=ftp://127.0.0.1/x", ""},
        {"set Webhook Token=abc", ""},
        {"set Webhook Format=xml", ""},
        {"set Webhook TimeoutSeconds=61", ""},
        {"set Webhook URL=-", "file:///etc/passwd\n"},
        {"set Webhook URL=https://127.0.0.1/ok TimeoutSeconds=61", ""},
        {"set Webhook Token=-", std::string("abc\0def\n", 8)},
        {"set Webhook URL=-", std::string("https://127.0.0.1/a\0b\n", 22)},
        {"set E-mail User=ann Password=-", std::string("pass\0word\n", 10)},
        {"set LogFile MaxSize=64 MaxSize=0", ""},
    };
    for (bool existing : {false, true})
    {
        if (existing)
        {
            ASSERT_EQ(Ferrule("set LogFile MaxSize=4096").code, 0);
        }
        const std::string before = Read("ferrule.notify.xml");
        for (const auto& c : cases)
        {
            std::ofstream(mDir.Path() + "/input.bin", std::ios::binary) << c.input;
            const Outcome r = Ferrule(c.arguments + " < input.bin");
            EXPECT_EQ(r.code, 1) << c.arguments << ": " << r.out;
            EXPECT_NE(r.out.find("was refused"), std::string::npos) << c.arguments << ": " << r.out;
            EXPECT_EQ(Exists("ferrule.notify.xml"), existing) << c.arguments;
            EXPECT_EQ(Read("ferrule.notify.xml"), before) << c.arguments;
            if (c.input.find('\0') != std::string::npos)
            {
                EXPECT_NE(r.out.find("NUL"), std::string::npos) << r.out;
            }
        }
    }
    // What a refusal never does: show a value that came from standard input.
    std::ofstream(mDir.Path() + "/input.bin") << "gopher://secret-host/\n";
    EXPECT_EQ(Ferrule("set Webhook URL=- < input.bin").out.find("secret-host"), std::string::npos);
}

TEST_F(Tool, CommandsThatOnlyShowWriteNothing)
{
    // A configuration and log folder that do not exist, a registry folder of its own: after every
    // command that only shows (the ones completion runs among them), nothing exists that did not before.
    const std::string config = mDir.Path() + "/etc", logs = mDir.Path() + "/logs";
    setenv("FERRULE_CONFIG_DIR", config.c_str(), 1);
    setenv("FERRULE_LOG_DIR", logs.c_str(), 1);
    auto listing = [&] {
        std::string all;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(mDir.Path()))
            if (entry.path().filename() != "input.txt")
                all += entry.path().string() + "\n";
        return all;
    };
    const std::string before = listing();
    for (const char* command : {"handlers --app Partia", "handlers", "explain 0x1F", "explain --codes",
                                "reg query HKLM", "log missing.log.txt", "handlers --policy elsewhere.xml"})
    {
        const Outcome r = Ferrule(command);
        EXPECT_EQ(listing(), before) << command << ": " << r.out;
    }
    Outcome r = Ferrule("handlers --app Partia");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("policy: " + config + "/Partia.notify.xml (no file exists yet"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Path = " + logs), std::string::npos) << r.out;

    // An existing policy that only a change would rewrite (an old file without the e-mail rows) stays as it is.
    ASSERT_EQ(mkdir(config.c_str(), 0755), 0);
    std::ofstream(config + "/old.notify.xml") << "<NotifyPolicy><Handlers/></NotifyPolicy>";
    const std::string existing = listing();
    ASSERT_EQ(Ferrule("handlers --app old").code, 0);
    EXPECT_EQ(listing(), existing);
    EXPECT_EQ(Read("etc/old.notify.xml"), "<NotifyPolicy><Handlers/></NotifyPolicy>");

    // test sends, and so writes its log; it writes no policy.
    r = Ferrule("test --app Tested");
    EXPECT_NE(r.out.find("no policy file " + config + "/Tested.notify.xml exists yet"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists("etc/Tested.notify.xml"));
    EXPECT_FALSE(Exists("etc/Tested.notify.xml.lock"));
    EXPECT_TRUE(Exists("logs/Tested.log.txt"));
}

TEST_F(Tool, ApplicationNamesThatCannotBeFileNamesAreRefused)
{
    for (const std::string& name : {std::string("'evil\napp'"), std::string("a/b"), std::string("."), std::string(".."),
                                    std::string(300, 'x'), std::string("'tab\there'")})
        for (const char* command : {"notify --app ", "set LogFile MaxSize=64 --app ", "handlers --app "})
        {
            const Outcome r = Ferrule(command + name + " hello");
            EXPECT_EQ(r.code, 2) << command << name << ": " << r.out;
            EXPECT_NE(r.out.find("an application name becomes a file name"), std::string::npos) << r.out;
        }
    // Nothing was made for any of them.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(mDir.Path()))
        ++entries;
    EXPECT_EQ(entries, 0u);
}

TEST_F(Tool, SetSaysWhenEveryMailGoesOutTwice)
{
    const std::string note = "both e-mail transports are selected, so each mail goes out twice";
    // Not while e-mail is off (the defaults), once when a set turns it on, not after one transport is off.
    Outcome r = Ferrule("set E-mail SMTPServer=mail.example");
    EXPECT_EQ(r.out.find(note), std::string::npos) << r.out;
    r = Ferrule("set E-mail Address=ops@example.org TypeFilter=all");
    EXPECT_EQ(r.code, 0) << r.out;
    const size_t at = r.out.find(note);
    EXPECT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(note, at + 1), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Encryption=9999 keeps the CDO-style sender alone, Authentication=9999 the mail library alone"),
              std::string::npos)
        << r.out;
    for (const char* one : {"Encryption=9999", "Encryption=0 Authentication=9999"})
    {
        r = Ferrule(std::string("set E-mail ") + one);
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(r.out.find(note), std::string::npos) << one << ": " << r.out;
    }
}

TEST_F(Tool, ExplainCodesAndResults)
{
    Outcome r = Ferrule("explain 0xECE3006A");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "NOTIFY_ERROR_EMAIL_SEND\nError ECE3006A: Unable to send notification e-mail.\n");
    r = Ferrule("explain 'Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [1] Arg (0xbab0012 Result (0xece30068 0 "
                " Args [0];));)'");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "NOTIFY_ERROR_EMAIL_SEND\nError ECE3006A: Unable to send notification e-mail.\n"
                     "\tError ECE30068: Unable to create or open log file.\n");
    EXPECT_EQ(Ferrule("explain 'Result (garbage'").code, 1);
    EXPECT_EQ(Ferrule("explain notanumber").code, 2);
    // A code that is not the module's gets no text of the module's; the system's only in its error form.
    r = Ferrule("explain 0x1F");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "0x0000001F: not a code of this module\n");
    r = Ferrule("explain 0x80070005");
    EXPECT_EQ(r.out, "0x80070005: not a code of this module\nas a system error (5): Warning 80070005: Access is denied.\n");
}

TEST_F(Tool, StdinAndUsage)
{
    std::string input = "# type priority code source description\n";
    for (int i = 0; i < 100; ++i)
        input += "info\tlow\t0\tbatch\tline " + std::to_string(i) + "\n";
    input += "bogus\tlow\t0\tx\ty\n";
    Outcome r = Ferrule("notify --stdin", input);
    EXPECT_EQ(r.code, 1); // one line failed
    EXPECT_NE(r.out.find("100 sent, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line 102: not a valid type: bogus"), std::string::npos) << r.out;

    const std::pair<const char*, int> usage[] = {
        {"", 2}, {"frobnicate", 2}, {"notify", 2}, {"notify --type nonsense x", 2}, {"notify --bogus x", 2},
        {"--config nope=1 notify x", 2}, {"--config DX_ALL=ERR notify x", 0}, {"--help", 0}, {"set --help", 0},
        {"log a b", 2}, {"log -n", 2}, {"log -n x", 2}, {"log -x", 2}, {"notify --type", 2},
        {"handlers --recursive", 2}, {"notify x --stdin", 2},
    };
    for (auto [arguments, code] : usage)
        EXPECT_EQ(Ferrule(arguments).code, code) << arguments;
}

TEST_F(Tool, LogReadsThePolicysLogForAPerson)
{
    // A failure warning, stored as a serialized result; shown by its display text and causes, --raw as stored.
    ASSERT_EQ(Ferrule("set E-mail SMTPServer=127.0.0.1 ServerPort=1 EmailAddress=ops@example.org Authentication=9999 "
                      "TypeFilter=error").code,
              0);
    EXPECT_EQ(Ferrule("notify --type error --priority high 'first'").code, 1);
    for (int i = 2; i <= 5; ++i)
        ASSERT_EQ(Ferrule("notify --type info 'line " + std::to_string(i) + "'").code, 0);
    // No file named: the default policy's log, read without writing anything.
    const std::string before = Read("ferrule.notify.xml");
    Outcome r = Ferrule("log");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Read("ferrule.notify.xml"), before);
    EXPECT_NE(r.out.find("Error: first"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("High Priority Warning: Error ECE30080: Kept in the outbox as entry "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n    \tError ECE3007C: No connection to the SMTP server 127.0.0.1 on port 1 "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" 0x8000FFFF (ferrule)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Result ("), std::string::npos) << r.out;
    r = Ferrule("log --raw ferrule.log.txt");
    EXPECT_NE(r.out.find("High Priority Warning: Result (0xece30080 17 NOTIFY_ERROR_KEPT"), std::string::npos)
        << r.out;
    // The last N lines.
    r = Ferrule("log -n 2");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_NE(r.out.find("line 4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line 5"), std::string::npos) << r.out;
    // Another application's policy, which does not exist: its log would be in the log folder; none is there.
    r = Ferrule("log --app Other");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("cannot read " + mDir.Path() + "/Other.log.txt"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists("Other.notify.xml"));
}

TEST_F(Tool, APolicyThatIsNotXmlStillWorks)
{
    std::ofstream(mDir.Path() + "/ferrule.notify.xml") << "this is not XML <<<";
    Outcome r = Ferrule("notify 'still delivered'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(Ferrule("log ferrule.log.txt").out.find("still delivered"), std::string::npos);
}

TEST_F(Tool, StdinReportsEachLineOnceAndRefusesHugeLines)
{
    // A failing delivery: the log file's name is a folder.
    ASSERT_EQ(mkdir((mDir.Path() + "/ferrule.log.txt").c_str(), 0755), 0);
    std::string input = "info\tlow\t0\tbatch\tfails\n";
    input += "info\tlow\t0\tbatch\t" + std::string(2 * 1024 * 1024, 'x') + "\n";
    Outcome r = Ferrule("notify --stdin", input);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("ferrule: line 1: Notify failed: 0x80070005"), std::string::npos) << r.out.substr(0, 2000);
    EXPECT_EQ(r.out.find("ferrule: line 1: ferrule:"), std::string::npos);
    EXPECT_NE(r.out.find("ferrule: line 2: longer than 1048576 bytes; not sent"), std::string::npos);
    EXPECT_NE(r.out.find("0 sent, 2 failed"), std::string::npos);
}

TEST_F(Tool, LogLinesFollowTheLocale)
{
    // The locales are made in the test's folder when the machine does not have them.
    const std::string locales = mDir.Path() + "/locales";
    mkdir(locales.c_str(), 0755);
    const std::pair<const char*, const char*> cases[] = {
        {"fi_FI UTF-8", "09.12.2026 23.52.30 Medium Priority Info: x"},
        {"ja_JP EUC-JP", "2026\xE5\xB9\xB4" "12\xE6\x9C\x88" "09\xE6\x97\xA5 23\xE6\x99\x82" "52\xE5\x88\x86" "30\xE7\xA7\x92 Medium"},
        {"en_US UTF-8", "12/09/2026 23:52:30 Medium Priority Info: x"}, // 12-hour locale, forced to 24 hours
    };
    for (auto [locale, expected] : cases)
    {
        std::string name = locale, charset = name.substr(name.find(' ') + 1);
        name = name.substr(0, name.find(' '));
        const std::string full = name + "." + charset;
        ASSERT_EQ(std::system(("localedef -i " + name + " -f " + charset + " '" + locales + "/" + full +
                               "' >/dev/null 2>&1 || test -d '" + locales + "/" + full + "'").c_str()),
                  0)
            << full;
        unlink((mDir.Path() + "/ferrule.log.txt").c_str());
        Outcome r = Ferrule("--time 2>/dev/null; FERRULE_REGISTRY_DIR=. LOCPATH='" + locales + "' LC_ALL=" + full + " '" + FERRULE_TOOL +
                            "' notify --time 2026-12-09T23:52:30 x");
        r = Ferrule("log ferrule.log.txt");
        EXPECT_EQ(r.out.rfind(expected, 0), 0u) << full << ": " << r.out;
    }
}

TEST_F(Tool, FollowAndAllReadEveryGeneration)
{
    ASSERT_EQ(Ferrule("set LogFile MaxSize=1").code, 0);
    const std::string out = mDir.Path() + "/follow.txt";
    const pid_t follower = fork();
    if (follower == 0)
    {
        if (chdir(mDir.Path().c_str()) != 0 || !freopen(out.c_str(), "w", stdout) || !freopen("follow.err", "w", stderr))
            _exit(3);
        alarm(60);
        execl(FERRULE_TOOL, FERRULE_TOOL, "log", "-f", "ferrule.log.txt", static_cast<char*>(nullptr));
        _exit(4);
    }
    // Each generation holds several entries and takes longer to fill than -f takes to look.
    const int kCount = 40;
    for (int i = 0; i < kCount; ++i)
    {
        ASSERT_EQ(Ferrule("notify 'entry " + std::to_string(i) + " of the follow test'").code, 0);
        usleep(40 * 1000);
    }
    usleep(500 * 1000);
    kill(follower, SIGTERM);
    waitpid(follower, nullptr, 0);
    const std::string followed = Read("follow.txt");
    for (int i = 0; i < kCount; ++i)
        EXPECT_NE(followed.find("entry " + std::to_string(i) + " of"), std::string::npos) << i << "\n" << followed;
    EXPECT_EQ(Read("follow.err"), ""); // nothing was missed, and nothing is said to be
    EXPECT_TRUE(Exists("ferrule.log.txt.old"));

    // --all: the previous generation, then the current file.
    const std::string all = Ferrule("log --all ferrule.log.txt").out;
    const std::string current = Ferrule("log ferrule.log.txt").out;
    ASSERT_GT(all.size(), current.size());
    EXPECT_EQ(all.substr(all.size() - current.size()), current);
    EXPECT_NE(all.find("entry " + std::to_string(kCount - 1)), std::string::npos);
}

TEST_F(Tool, FollowSaysWhenGenerationsRotatedAwayUnread)
{
    ASSERT_EQ(Ferrule("set LogFile MaxSize=1").code, 0);
    ASSERT_EQ(Ferrule("notify 'before the follower'").code, 0);
    const pid_t follower = fork();
    if (follower == 0)
    {
        if (chdir(mDir.Path().c_str()) != 0 || !freopen("follow.txt", "w", stdout) || !freopen("follow.err", "w", stderr))
            _exit(3);
        alarm(60);
        execl(FERRULE_TOOL, FERRULE_TOOL, "log", "--follow", "ferrule.log.txt", static_cast<char*>(nullptr));
        _exit(4);
    }
    usleep(300 * 1000);
    // The follower cannot read while the log rotates many times (1 KB generations of two entries).
    kill(follower, SIGSTOP);
    const int kCount = 30;
    const std::string padding(200, 'x');
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(Ferrule("notify 'entry " + std::to_string(i) + " " + padding + "'").code, 0);
    kill(follower, SIGCONT);
    usleep(1000 * 1000);
    kill(follower, SIGTERM);
    waitpid(follower, nullptr, 0);

    // What it printed: entries once each and in order, the newest among them; the rest reported.
    const std::string followed = Read("follow.txt");
    std::vector<int> printed;
    for (size_t at = followed.find("entry "); at != std::string::npos; at = followed.find("entry ", at + 1))
        printed.push_back(std::atoi(followed.c_str() + at + 6));
    ASSERT_FALSE(printed.empty()) << followed;
    EXPECT_TRUE(std::is_sorted(printed.begin(), printed.end())) << followed;
    EXPECT_EQ(std::adjacent_find(printed.begin(), printed.end()), printed.end()) << followed;
    EXPECT_EQ(printed.back(), kCount - 1) << followed;
    ASSERT_LT(printed.size(), static_cast<size_t>(kCount)) << followed;
    const std::string err = Read("follow.err");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, std::regex(R"(ferrule: (\d+) generations? of ferrule\.log\.txt rotated away before (it|they) could be read \(about \d+ bytes)")))
        << err;
    // Each lost generation held whole entries: as many as are missing, at most two each.
    const size_t generations = std::stoul(m[1]);
    const size_t missing = static_cast<size_t>(kCount) - printed.size();
    EXPECT_GE(missing, generations) << err << followed;
    EXPECT_LE(missing, 2 * generations) << err << followed;
}

namespace
{
const char* const kLogClsid = "{6C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0003}";

std::string LogHandler(const std::string& maxSize)
{
    return std::string("<Handler clsid=\"") + kLogClsid +
           "\"><TypeFilter vt=\"19\">7</TypeFilter><PriorityFilter vt=\"19\">7</PriorityFilter><Path vt=\"8\"></Path>"
           "<File vt=\"8\"></File><MaxSize vt=\"19\">" + maxSize + "</MaxSize></Handler>";
}
} // namespace

TEST_F(Tool, APolicyThatCannotBeReadWholeIsNeverLost)
{
    // A typo, and a handler whose class this machine does not have: notify leaves both files alone.
    const std::string typo = "<NotifyPolicy><Handlers>" + LogHandler("64") + "</Handlers></NotifyPolicy";
    const std::string unknown = "<NotifyPolicy><Handlers><Handler clsid=\"{11111111-2222-3333-4444-555555555555}\"/>" +
                                LogHandler("64") + "</Handlers></NotifyPolicy>";
    std::ofstream(mDir.Path() + "/typo.xml") << typo;
    std::ofstream(mDir.Path() + "/unknown.xml") << unknown;
    EXPECT_EQ(Ferrule("notify --policy typo.xml 'one'").code, 0);
    // The handler that cannot be loaded fails every notification; the one after it keeps its settings.
    Outcome two = Ferrule("notify --policy unknown.xml 'two'");
    EXPECT_EQ(two.code, 1);
    EXPECT_NE(two.out.find("The handler at child 1 of Handlers (Handler {11111111-2222-3333-4444-555555555555}) of the "
                           "policy file unknown.xml could not be loaded"),
              std::string::npos)
        << two.out;
    EXPECT_EQ(Read("typo.xml"), typo);
    EXPECT_EQ(Read("unknown.xml"), unknown);
    const std::string log = Ferrule("log ferrule.log.txt").out;
    EXPECT_NE(log.find("The policy file typo.xml could not be read whole (reading stopped at line 1, column"),
              std::string::npos) << log;
    EXPECT_NE(log.find("The policy file unknown.xml could not be read whole (reading stopped at child 1 of Handlers "
                       "(Handler {11111111-2222-3333-4444-555555555555}))"),
              std::string::npos) << log;

    // A change replaces it, but what could not be read is kept first, and set says so.
    Outcome r = Ferrule("set --policy unknown.xml LogFile MaxSize=32");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("warning: The policy file unknown.xml could not be read whole (reading stopped at child 1 "
                         "of Handlers (Handler {11111111-2222-3333-4444-555555555555})); it was kept as "
                         "unknown.xml.unreadable and replaced."),
              std::string::npos) << r.out;
    EXPECT_EQ(Read("unknown.xml.unreadable"), unknown);
    EXPECT_NE(Read("unknown.xml").find("<MaxSize vt=\"19\">32</MaxSize>"), std::string::npos);
    // The element that could not be loaded is written back as it was read.
    EXPECT_NE(Read("unknown.xml").find("<Handlers><Handler clsid=\"{11111111-2222-3333-4444-555555555555}\"/>"),
              std::string::npos)
        << Read("unknown.xml");
}

TEST_F(Tool, ConcurrentChangesAllLand)
{
    ASSERT_EQ(Ferrule("set LogFile MaxSize=64").code, 0);
    // A long notify --stdin reads the policy first; a set lands meanwhile and survives its end.
    const std::string input = mDir.Path() + "/slow.txt";
    std::ofstream(input) << "info\tlow\t0\tx\tfirst\n";
    const std::string fifo = mDir.Path() + "/feed";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t slow = fork();
    if (slow == 0)
    {
        alarm(60);
        if (chdir(mDir.Path().c_str()) != 0 || !freopen(fifo.c_str(), "r", stdin) || !freopen("/dev/null", "w", stdout))
            _exit(3);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        execl(FERRULE_TOOL, FERRULE_TOOL, "notify", "--stdin", static_cast<char*>(nullptr));
        _exit(4);
    }
    FILE* feed = fopen(fifo.c_str(), "w");
    ASSERT_NE(feed, nullptr);
    fputs("info\tlow\t0\tx\tfirst\n", feed);
    fflush(feed);
    usleep(300 * 1000); // the notify has read the policy
    ASSERT_EQ(Ferrule("set LogFile MaxSize=128").code, 0);
    fputs("info\tlow\t0\tx\tsecond\n", feed);
    fclose(feed);
    int status = 0;
    waitpid(slow, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(Read("ferrule.notify.xml").find("<MaxSize vt=\"19\">128</MaxSize>"), std::string::npos);

    // Sets on different handlers at once: every one lands.
    std::vector<pid_t> sets;
    const char* const commands[] = {"set LogFile MaxSize=256", "set EventLog TypeFilter=error",
                                    "set 'SNMP Trap' TrapPort=1163", "set E-mail ServerPort=2526",
                                    "set AppNotifier PriorityFilter=high,low"};
    for (const char* command : commands)
    {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(Ferrule(command).code);
        sets.push_back(pid);
    }
    for (pid_t pid : sets)
    {
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string handlers = Ferrule("handlers").out;
    for (const char* expected : {"MaxSize = 256", "TrapPort = 1163", "ServerPort = 2526"})
        EXPECT_NE(handlers.find(expected), std::string::npos) << expected << "\n" << handlers;
    EXPECT_NE(handlers.find("EventLog {"), std::string::npos);
    EXPECT_NE(handlers.find("types: error\n"), std::string::npos) << handlers;
    EXPECT_NE(handlers.find("priorities: high|low\n"), std::string::npos) << handlers;
}

TEST_F(Tool, SetSaysWhatDidNotLand)
{
    ASSERT_EQ(Ferrule("set LogFile MaxSize=64").code, 0);
    struct stat before;
    ASSERT_EQ(stat((mDir.Path() + "/ferrule.notify.xml").c_str(), &before), 0);
    const std::pair<const char*, const char*> refused[] = {
        {"set LogFile MaxSize=0", "refused (0x80070057"},
        {"set LogFile MaxSize=abc", "refused: not a number; MaxSize is an unsigned 32-bit number"},
        {"set LogFile MaxSize=4294967296", "refused: too large"},
        {"set LogFile TypeFilter=error,bogus", "refused: not a type: bogus"},
        {"set LogFile MaxSize=1 MaxSize=0", "refused (0x80070057"}, // the first change is put back
    };
    for (auto [command, expected] : refused)
    {
        Outcome r = Ferrule(command);
        EXPECT_EQ(r.code, 1) << command;
        EXPECT_NE(r.out.find(expected), std::string::npos) << command << ": " << r.out;
    }
    // A refused set writes nothing at all: the very same file.
    struct stat after;
    ASSERT_EQ(stat((mDir.Path() + "/ferrule.notify.xml").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    // Accepted forms.
    EXPECT_EQ(Ferrule("set LogFile TypeFilter=0x3 MaxSize=-1").code, 0);
    std::string handlers = Ferrule("handlers").out;
    EXPECT_NE(handlers.find("MaxSize = 4294967295"), std::string::npos) << handlers;

    // Stored by the handler but not savable, never saved, or nowhere to write: exit 1 or 2 with why.
    Outcome r = Ferrule("set E-mail Authentication=-1");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("E-mail.Authentication = -1 did not land in " + mDir.Path() + "/ferrule.notify.xml"),
              std::string::npos)
        << r.out;
    r = Ferrule("set AppNotifier Clients=3");
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_NE(r.out.find("AppNotifier.Clients is not saved in the policy file"), std::string::npos) << r.out;
    r = Ferrule("set --policy missing/p.xml LogFile MaxSize=5");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("its folder missing does not exist"), std::string::npos) << r.out;
    r = Ferrule("set LogFile 'FileName=a\x01z'");
    EXPECT_EQ(r.code, 1) << r.out;

    // A folder the user cannot write, as an unprivileged user.
    mkdir((mDir.Path() + "/locked").c_str(), 0755);
    chmod(mDir.Path().c_str(), 0755);
    r = Ferrule("--config x=1 2>/dev/null; setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp '" +
                std::string(FERRULE_TOOL) + "' set --policy locked/p.xml LogFile MaxSize=5");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("its folder locked is not writable"), std::string::npos) << r.out;
}

TEST_F(Tool, SetReportsOnlyRealDifferences)
{
    // The manager adds the high-priority bit on loading: the value landed, and a note says why it reads
    // back with that bit.
    Outcome r = Ferrule("set AppNotifier PriorityFilter=medium TypeFilter=error");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("note: high-priority notifications are always delivered"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("did not land"), std::string::npos) << r.out;
    EXPECT_NE(Read("ferrule.notify.xml").find("<PriorityFilter vt=\"19\">2</PriorityFilter>"), std::string::npos)
        << Read("ferrule.notify.xml");
    r = Ferrule("set LogFile PriorityFilter=2 MaxSize=5");
    EXPECT_EQ(r.code, 0) << r.out;

    // The same property twice: the last one wins.
    r = Ferrule("set LogFile MaxSize=5 MaxSize=7");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(Ferrule("handlers").out.find("MaxSize = 7\n"), std::string::npos);

    // Every character XML can hold comes back, carriage returns included.
    r = Ferrule("set 'SNMP Trap' \"CommunityString=$(printf 'a\\r\\nb\\rc')\"");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(Read("ferrule.notify.xml").find("a&#13;\nb&#13;c</CommunityString>"), std::string::npos)
        << Read("ferrule.notify.xml");
    EXPECT_EQ(Ferrule("set 'SNMP Trap' \"CommunityString=$(printf 'a\\r\\nb\\rc')\"").code, 0);

    // A line break in an address would leave its field on the way to the server.
    const std::string before = Read("ferrule.notify.xml");
    for (const char* setting : {"Address", "AddressFrom", "SMTPServer"})
    {
        r = Ferrule(std::string("set E-mail \"") + setting + "=$(printf 'b@example.org\\nRCPT TO:<evil@example.net>')\"");
        EXPECT_EQ(r.code, 2) << setting << ": " << r.out;
        EXPECT_NE(r.out.find("no line break"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Read("ferrule.notify.xml"), before);

    // A failure whose code has no text shows its reason on the terminal.
    ASSERT_EQ(Ferrule("set 'SNMP Trap' SNMPTrapEnabled=true Destination=nonexistent.invalid TypeFilter=all").code, 0);
    r = Ferrule("notify --type error --priority high 'trap'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("6C8F1C25: Cannot send a trap to nonexistent.invalid"), std::string::npos) << r.out;

    // A value the handler keeps but never saves is a real difference.
    r = Ferrule("set E-mail Authentication=-1");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("did not land"), std::string::npos) << r.out;
}

TEST_F(Tool, PolicyFilesKeepLinksModesAndOwners)
{
    // A link: the target is replaced, the link stays.
    mkdir((mDir.Path() + "/real").c_str(), 0755);
    ASSERT_EQ(Ferrule("set --policy real/p.xml LogFile MaxSize=64").code, 0);
    ASSERT_EQ(symlink("real/p.xml", (mDir.Path() + "/link.xml").c_str()), 0);
    ASSERT_EQ(Ferrule("set --policy link.xml LogFile MaxSize=65").code, 0);
    struct stat st;
    ASSERT_EQ(lstat((mDir.Path() + "/link.xml").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(Read("real/p.xml").find("<MaxSize vt=\"19\">65</MaxSize>"), std::string::npos);

    // A new file follows the umask; one that exists keeps its mode and owner.
    Outcome r = Ferrule("--config x=1 2>/dev/null; umask 077; FERRULE_REGISTRY_DIR=. '" + std::string(FERRULE_TOOL) +
                        "' set --policy private.xml LogFile MaxSize=64");
    ASSERT_EQ(stat((mDir.Path() + "/private.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chown((mDir.Path() + "/private.xml").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((mDir.Path() + "/private.xml").c_str(), 0640), 0);
    ASSERT_EQ(Ferrule("set --policy private.xml LogFile MaxSize=66").code, 0);
    ASSERT_EQ(stat((mDir.Path() + "/private.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_uid, 65534u);

    // A killed writer's temporary file is removed once stale; a fresh one may be in use.
    const std::string stale = mDir.Path() + "/private.xml.tmp-AbCdEf", fresh = mDir.Path() + "/private.xml.tmp-GhIjKl";
    std::ofstream(stale) << "half";
    std::ofstream(fresh) << "half";
    struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    utimensat(AT_FDCWD, stale.c_str(), old, 0);
    ASSERT_EQ(Ferrule("set --policy private.xml LogFile MaxSize=67").code, 0);
    EXPECT_FALSE(Exists("private.xml.tmp-AbCdEf"));
    EXPECT_TRUE(Exists("private.xml.tmp-GhIjKl"));

    // Special files: a folder or a FIFO at the policy path is a clear failure, never a wait.
    mkdir((mDir.Path() + "/folder.xml").c_str(), 0755);
    r = Ferrule("set --policy folder.xml LogFile MaxSize=5");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("folder.xml is not a regular file"), std::string::npos) << r.out;
    ASSERT_EQ(mkfifo((mDir.Path() + "/fifo.xml").c_str(), 0600), 0);
    r = Ferrule("--config x=1 2>/dev/null; FERRULE_REGISTRY_DIR=. timeout 20 '" + std::string(FERRULE_TOOL) +
                "' notify --policy fifo.xml 'still delivered'");
    EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(Tool, TestReportsEveryHandler)
{
    Outcome r = Ferrule("test");
    EXPECT_EQ(r.code, 0) << r.out;
    const std::string eventLog = "EventLog     delivered to syslog (" + std::string(getenv("FERRULE_SYSLOG_SOCKET")) + ")\n";
    for (const char* line : {"LogFile      delivered\n", eventLog.c_str(),
                             "SNMP Trap    filtered out (TypeFilter is none)\n",
                             "NotifyConnPt accepted, not sent: no event sink is connected",
                             "E-mail       filtered out (TypeFilter is none)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // The same words for every handler: past its filters, the trap handler's own rule keeps it.
    ASSERT_EQ(Ferrule("set 'SNMP Trap' TypeFilter=all").code, 0);
    r = Ferrule("test");
    EXPECT_NE(r.out.find("SNMP Trap    accepted, not sent: SNMP traps are disabled"), std::string::npos) << r.out;
    // A mail server that is not there: that handler fails, the others still run.
    ASSERT_EQ(Ferrule("set E-mail SMTPServer=127.0.0.1 ServerPort=1 Address=ops@example.org Authentication=9999 "
                      "TypeFilter=all").code,
              0);
    r = Ferrule("test");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("E-mail       FAILED 0x8000FFFF: Error ECE3007C"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("LogFile      delivered\n"), std::string::npos) << r.out;
}

TEST_F(Tool, ConcurrentRegistrationsAllSucceed)
{
    // Rounds of four registrations at once, each a process of its own: every one exits 0.
    for (int round = 0; round < 6; ++round)
    {
        Outcome r = Ferrule("--config x=1 2>/dev/null; export FERRULE_REGISTRY_DIR=\"$PWD\"; pids=; for i in 1 2 3 4; do '" +
                            std::string(FERRULE_TOOL) + "' register >reg$i.txt 2>&1 & pids=\"$pids $!\"; done; failed=0; "
                            "for p in $pids; do wait $p || failed=$((failed+1)); done; cat reg*.txt; exit $failed");
        ASSERT_EQ(r.code, 0) << "round " << round << ": " << r.out;
    }
    Outcome r = Ferrule("reg query 'HKCR\\CLSID'");
    size_t classes = 0;
    for (size_t at = r.out.find("CLSID\\{"); at != std::string::npos; at = r.out.find("CLSID\\{", at + 1))
        ++classes;
    EXPECT_EQ(classes, std::size(kClasses) + 1) << r.out; // the module's classes and the translator
}

TEST_F(Tool, RegisterQueryAndUnregister)
{
    Outcome r = Ferrule("register");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("DllRegisterServer in "), std::string::npos);
    Ferrule("register"); // twice: still one set of keys
    r = Ferrule("reg query 'HKCR\\CLSID\\{1C7A3E01-5D2B-4C8E-9F31-7B2E4D6A0006}' --recursive");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\\ProgID\n    (Default)    REG_SZ    Ferrule.NotifyConnPt.1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ThreadingModel    REG_SZ    Apartment"), std::string::npos) << r.out;
    r = Ferrule("reg query 'HKCR\\Quellon.Notify.NotifyConnPt' --recursive");
    EXPECT_NE(r.out.find("CurVer\n    (Default)    REG_SZ    Quellon.Notify.NotifyConnPt.1"), std::string::npos) << r.out;
    r = Ferrule("reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ardentis'");
    for (const char* line : {"(Default)    REG_SZ    Ardentis 22", "CategoryCount    REG_DWORD    0x3",
                             "TypesSupported    REG_DWORD    0x7", "CategoryMessageFile    REG_SZ    /"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    r = Ferrule("reg query 'HKCR\\CLSID'");
    size_t classes = 0;
    for (size_t at = r.out.find("CLSID\\{"); at != std::string::npos; at = r.out.find("CLSID\\{", at + 1))
        ++classes;
    EXPECT_EQ(classes, std::size(kClasses) + 1) << r.out; // the module's classes and the translator, once each
    r = Ferrule("reg query 'HKLM\\SOFTWARE\\Microsoft\\Internet Explorer\\ActiveX Compatibility' --recursive");
    EXPECT_NE(r.out.find("Compatibility Flags    REG_DWORD    0x400"), std::string::npos) << r.out;

    // A client that knows only the ProgID finds the module, and the module its translator.
    r = Ferrule("--config x=1 2>/dev/null; FERRULE_REGISTRY_DIR=. FERRULE_SYSLOG_SOCKET=" + std::string(getenv("FERRULE_SYSLOG_SOCKET")) +
                " '" + CREATE_BY_PROGID + "'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("DllCanUnloadNow while the manager lives: 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DllCanUnloadNow after the release: 0\n"), std::string::npos) << r.out;
    EXPECT_NE(Ferrule("log byprogid.log.txt").out.find("Low Priority Info: created by ProgID 0x00 (client)"),
              std::string::npos);

    r = Ferrule("unregister");
    EXPECT_EQ(r.code, 0) << r.out;
    r = Ferrule("reg query 'HKCR\\CLSID'");
    EXPECT_EQ(r.code, 0); // the parent stays
    EXPECT_EQ(r.out.find("CLSID\\{"), std::string::npos) << r.out;
    EXPECT_EQ(Ferrule("reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ardentis'").code, 1);
    EXPECT_EQ(Ferrule("reg query 'HKLM\\SOFTWARE\\Microsoft\\Internet Explorer\\ActiveX Compatibility'").code, 0);
    EXPECT_EQ(Ferrule("reg query 'HKCR\\Quellon.Notify'").code, 1);
}

TEST_F(Tool, RegisteringNeedsAWritableHive)
{
    // The store made by root; an unprivileged user cannot write it.
    ASSERT_EQ(Ferrule("register").code, 0);
    ASSERT_EQ(Ferrule("unregister").code, 0);
    chmod(mDir.Path().c_str(), 0755);
    Outcome r = Ferrule("--config x=1 2>/dev/null; setpriv --reuid=65534 --regid=65534 --clear-groups env "
                        "FERRULE_REGISTRY_DIR=. HOME=/tmp '" + std::string(FERRULE_TOOL) + "' register");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("failed: 0x80070005"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("administrative rights"), std::string::npos) << r.out;
    r = Ferrule("reg query 'HKCR\\CLSID'");
    EXPECT_EQ(r.out.find("CLSID\\{"), std::string::npos) << r.out;
}

TEST_F(Tool, TrayReceivesWhatNotifyOffers)
{
    const std::string pipes = mDir.Path() + "/pipes";
    mkdir(pipes.c_str(), 0700);
    const ScopedEnv pipeDir("FERRULE_PIPE_DIR", pipes);
    const std::string out = mDir.Path() + "/tray.txt";
    const pid_t tray = fork();
    if (tray == 0)
    {
        if (chdir(mDir.Path().c_str()) != 0 || !freopen(out.c_str(), "w", stdout))
            _exit(3);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        alarm(60);
        execl(FERRULE_TOOL, FERRULE_TOOL, "tray", "--once", static_cast<char*>(nullptr));
        _exit(4);
    }
    usleep(300 * 1000); // the client is waiting
    ASSERT_EQ(Ferrule("set AppNotifier TypeFilter=all PriorityFilter=all").code, 0);
    Outcome r = Ferrule("notify --tray-clients 1 --type warning --code 0xECE3006A 'smtp refused'");
    EXPECT_EQ(r.code, 0) << r.out;
    int status = 0;
    waitpid(tray, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The serialized result the handler received, shown as its display text.
    EXPECT_NE(Read("tray.txt").find(" Error ECE3006A: Unable to send notification e-mail."), std::string::npos)
        << Read("tray.txt");
}

namespace
{
// ferrule tray running in the background on a private pipe folder, its lines in a file.
class TrayProcess
{
public:
    TrayProcess(const std::string& folder, const std::string& pipes) : mOut(folder + "/tray.txt")
    {
        mPid = fork();
        if (mPid == 0)
        {
            if (!freopen(mOut.c_str(), "w", stdout))
                _exit(3);
            setenv("FERRULE_REGISTRY_DIR", folder.c_str(), 1);
            setenv("FERRULE_PIPE_DIR", pipes.c_str(), 1);
            alarm(120);
            execl(FERRULE_TOOL, FERRULE_TOOL, "tray", static_cast<char*>(nullptr));
            _exit(4);
        }
        usleep(300 * 1000); // waiting
    }
    ~TrayProcess()
    {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
    // The texts printed so far (the time stamp cut off), once count lines are there or wait ran out.
    std::vector<std::string> Lines(size_t count, std::chrono::seconds wait)
    {
        std::vector<std::string> lines;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        do
        {
            lines.clear();
            std::ifstream in(mOut);
            for (std::string line; std::getline(in, line);)
                lines.push_back(line.size() > 20 ? line.substr(20) : line);
        } while (lines.size() < count && std::chrono::steady_clock::now() < deadline &&
                 (usleep(20 * 1000), true));
        return lines;
    }

private:
    std::string mOut;
    pid_t mPid = -1;
};
} // namespace

TEST_F(Tool, ATrayApplicationReceivesEveryOfferInOrder)
{
    const std::string pipes = mDir.Path() + "/pipes";
    mkdir(pipes.c_str(), 0700);
    const ScopedEnv pipeDir("FERRULE_PIPE_DIR", pipes);
    ASSERT_EQ(Ferrule("set AppNotifier TypeFilter=all PriorityFilter=all").code, 0);
    ASSERT_EQ(Ferrule("set EventLog TypeFilter=none").code, 0);
    TrayProcess tray(mDir.Path(), pipes);
    // One stream, back to back.
    std::string input;
    for (int i = 1; i <= 200; ++i)
        input += "error\thigh\t0\tsrc\tstream " + std::to_string(i) + "\n";
    const auto started = std::chrono::steady_clock::now();
    Outcome r = Ferrule("notify --stdin --tray-clients 1", input);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_LT(took, std::chrono::seconds(30)) << "every offer waited";
    std::vector<std::string> lines = tray.Lines(200, std::chrono::seconds(10));
    ASSERT_EQ(lines.size(), 200u);
    for (int i = 1; i <= 200; ++i)
        EXPECT_EQ(lines[static_cast<size_t>(i - 1)], "stream " + std::to_string(i));

    // Four processes at once, fifty one-shot notifies each: every one arrives once, each process's in order.
    std::vector<pid_t> writers;
    for (int w = 0; w < 4; ++w)
    {
        const pid_t pid = fork();
        if (pid == 0)
        {
            for (int i = 1; i <= 50; ++i)
            {
                const std::string command = "cd '" + mDir.Path() + "' && FERRULE_REGISTRY_DIR='" + mDir.Path() + "' '" +
                                            FERRULE_TOOL + "' notify --tray-clients 1 --type error 'w" +
                                            std::to_string(w) + " " + std::to_string(i) + "' >/dev/null 2>&1";
                if (std::system(command.c_str()) != 0)
                    _exit(1);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    lines = tray.Lines(400, std::chrono::seconds(10));
    ASSERT_EQ(lines.size(), 400u);
    std::vector<int> last(4, 0);
    for (size_t k = 200; k < lines.size(); ++k)
    {
        int w = -1, i = -1;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "w%d %d", &w, &i), 2) << lines[k];
        ASSERT_TRUE(w >= 0 && w < 4) << lines[k];
        EXPECT_EQ(i, last[static_cast<size_t>(w)] + 1) << lines[k]; // once each, in order
        last[static_cast<size_t>(w)] = i;
    }
    EXPECT_EQ(last, std::vector<int>(4, 50));
}

TEST_F(Tool, NoSocketIsLeftBehindByAClientThatNeverReads)
{
    const std::string pipes = mDir.Path() + "/pipes";
    mkdir(pipes.c_str(), 0700);
    const ScopedEnv pipeDir("FERRULE_PIPE_DIR", pipes);
    // A client that connects as soon as an offer is there, then never reads.
    const std::string offers = pipes + "/TRAYICON_NOTIFIER";
    const pid_t client = fork();
    if (client == 0)
    {
        alarm(60);
        execl("/usr/bin/python3", "python3", "-c",
              "import os, socket, sys, time\n"
              "s = socket.socket(socket.AF_UNIX)\n"
              "for _ in range(1000):\n"
              "    try:\n"
              "        s.connect(os.path.join(sys.argv[1], sorted(os.listdir(sys.argv[1]))[0])); break\n"
              "    except (OSError, IndexError):\n"
              "        time.sleep(0.01)\n"
              "time.sleep(20)\n",
              offers.c_str(), static_cast<char*>(nullptr));
        _exit(4);
    }
    ASSERT_EQ(Ferrule("set AppNotifier TypeFilter=all PriorityFilter=all").code, 0);
    Outcome r = Ferrule("notify --tray-clients 1 --type warning 'nobody reads this'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(offers)) << "the socket file is still there";
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
}

TEST_F(Tool, TheSystemLogFollowsTheRegistryWithoutARestart)
{
    JournalSocket journal(mDir.Path() + "/journal");
    ASSERT_TRUE(journal.Bound());
    setenv("FERRULE_JOURNAL_SOCKET", journal.Path().c_str(), 1);
    Outcome r = Ferrule("handlers");
    EXPECT_NE(r.out.find("delivers to the journal (" + journal.Path() + ")"), std::string::npos) << r.out;
    r = Ferrule("test");
    EXPECT_NE(r.out.find("EventLog     delivered to the journal (" + journal.Path() + ")\n"), std::string::npos) << r.out;
    EXPECT_EQ(JournalSocket::One(journal.Receive(), "FERRULE_TYPE"), "test");

    // A running notify --stdin sees its source registered and unregistered by other processes.
    ASSERT_EQ(Ferrule("register").code, 0);
    const std::string fifo = mDir.Path() + "/feed";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t running = fork();
    if (running == 0)
    {
        alarm(60);
        if (chdir(mDir.Path().c_str()) != 0 || !freopen(fifo.c_str(), "r", stdin) || !freopen("/dev/null", "w", stdout))
            _exit(3);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        execl(FERRULE_TOOL, FERRULE_TOOL, "notify", "--stdin", "--app", "Ardentis", static_cast<char*>(nullptr));
        _exit(4);
    }
    FILE* feed = fopen(fifo.c_str(), "w");
    ASSERT_NE(feed, nullptr);
    auto categoryOf = [&](const char* line) {
        fputs(line, feed);
        fflush(feed);
        return JournalSocket::One(journal.Receive(), "FERRULE_CATEGORY_NAME");
    };
    EXPECT_EQ(categoryOf("error\thigh\t0\tx\tregistered\n"), "High Priority");
    ASSERT_EQ(Ferrule("unregister").code, 0);
    usleep(1500 * 1000);
    EXPECT_EQ(categoryOf("error\thigh\t0\tx\tunregistered\n"), "(none)");
    ASSERT_EQ(Ferrule("register").code, 0);
    usleep(1500 * 1000);
    EXPECT_EQ(categoryOf("error\tmedium\t0\tx\tregistered again\n"), "Medium Priority");
    fclose(feed);
    int status = 0;
    waitpid(running, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    setenv("FERRULE_JOURNAL_SOCKET", "", 1);
}

TEST_F(Tool, WebhookIsAddedBySetAndKeepsItsSecrets)
{
    const std::string cert = mDir.Path() + "/cert.pem", key = mDir.Path() + "/key.pem";
    ASSERT_TRUE(MakeCertificate(cert, key));
    PeerProcess server({"/usr/bin/python3", HTTP_PEER, mDir.Path() + "/port", mDir.Path() + "/requests", "--cert", cert,
                        "--key", key},
                       mDir.Path() + "/port");
    const std::string url = "https://127.0.0.1:" + Read("port") + "/hooks/T0/s3cr3tpath";
    const ScopedEnv trusted("FERRULE_WEBHOOK_CA_FILE", cert);

    // Not in the policy until a set names it; the token never from the command line.
    EXPECT_EQ(Ferrule("handlers").out.find("Webhook"), std::string::npos);
    Outcome r = Ferrule("set Webhook Token=t0k3n-value");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_EQ(r.out.find("t0k3n-value"), std::string::npos) << r.out;
    ASSERT_EQ(Ferrule("set Webhook URL=-", url + "\n").code, 0);
    r = Ferrule("set Webhook Token=- Format=chat", "t0k3n-value\n");
    ASSERT_EQ(r.code, 0) << r.out;
    r = Ferrule("handlers");
    EXPECT_NE(r.out.find("Webhook {7C7A3E01-5D2B-4C8E-9F31-7B2E4D6A000A}\n  types: error\n  priorities: high|medium|low\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("state: posts chat to https://127.0.0.1:" + Read("port") + "/…"), std::string::npos) << r.out;
    for (const std::string& secret : {std::string("s3cr3tpath"), std::string("t0k3n-value")})
        EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;

    r = Ferrule("notify --type error --priority high 'disk full'");
    EXPECT_EQ(r.code, 0) << r.out;
    r = Ferrule("test");
    EXPECT_NE(r.out.find("Webhook      delivered\n"), std::string::npos) << r.out;
    const std::string requests = Read("requests");
    EXPECT_EQ(std::count(requests.begin(), requests.end(), '\n'), 2) << requests; // the notify and the test
    EXPECT_NE(requests.find("\"authorization\": \"Bearer t0k3n-value\""), std::string::npos) << requests;
    EXPECT_NE(requests.find("\"path\": \"/hooks/T0/s3cr3tpath\""), std::string::npos) << requests;
    // The policy holds the token only in its stored form, and is private; the log holds neither secret.
    const std::string policy = Read("ferrule.notify.xml");
    EXPECT_EQ(policy.find("t0k3n-value"), std::string::npos);
    EXPECT_NE(policy.find("<StoredToken vt=\"8\">"), std::string::npos) << policy;
    struct stat st;
    ASSERT_EQ(stat((mDir.Path() + "/ferrule.notify.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string log = Ferrule("log ferrule.log.txt").out;
    for (const std::string& secret : {std::string("s3cr3tpath"), std::string("t0k3n-value")})
        EXPECT_EQ(log.find(secret), std::string::npos) << log;

    // A failure is the handler's, with the URL shown by its host only; the other handlers deliver.
    server.Stop();
    r = Ferrule("notify --type error --priority high 'after the server went'");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("Unable to deliver the notification to the webhook: https://127.0.0.1:"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("s3cr3tpath"), std::string::npos) << r.out;
    EXPECT_NE(Ferrule("log ferrule.log.txt").out.find("Error: after the server went"), std::string::npos);
}

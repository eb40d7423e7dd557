// The ferrule tool, run as a program in a temporary folder.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

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
        {"log", 2},
    };
    for (auto [arguments, code] : usage)
        EXPECT_EQ(Ferrule(arguments).code, code) << arguments;
}

TEST_F(Tool, APolicyThatIsNotXmlStillWorks)
{
    std::ofstream(mDir.Path() + "/ferrule.notify.xml") << "this is not XML <<<";
    Outcome r = Ferrule("notify 'still delivered'");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(Ferrule("log ferrule.log.txt").out.find("still delivered"), std::string::npos);
}

// The SNMP trap handler and the trap library against snmptrapd, started by the test on loopback.
#include "Messages/MessageTables.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Platform/Win32/Locale.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <sys/stat.h>

namespace
{
std::string ProgramFolder()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/'));
}

// A free UDP port on loopback.
int FreePort()
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
}

// One received trap: its header line and its bindings (OID → value; octet strings decoded from hex).
struct Trap
{
    std::string header;
    std::map<std::string, std::string> bindings;
};

class SnmpTrap : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        mPort = FreePort();
        std::ofstream(mDir.Path() + "/snmptrapd.conf")
            << "authCommunity log public\nauthCommunity log secret\n"
               "format1 TRAP1 %P enterprise=%N generic=%w specific=%q\\n%V|%v\\n\n"
               "format2 TRAP2 %P from %b\\n%V|%v\\n\n";
        mTrapd = fork();
        if (mTrapd == 0)
        {
            setenv("SNMP_PERSISTENT_DIR", mDir.Path().c_str(), 1);
            const std::string out = mDir.Path() + "/traps.txt";
            if (!freopen(out.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr))
                _exit(3);
            alarm(300);
            const std::string conf = mDir.Path() + "/snmptrapd.conf", address = "udp:127.0.0.1:" + std::to_string(mPort) +
                                                                         ",udp6:[::1]:" + std::to_string(mPort);
            execlp("snmptrapd", "snmptrapd", "-f", "-Lo", "-C", "-c", conf.c_str(), "-On", "-Ox", "-m", "",
                   address.c_str(), static_cast<char*>(nullptr));
            _exit(4);
        }
        // Ready once it printed its version.
        for (int i = 0; i < 100 && ReadFile(mDir.Path() + "/traps.txt").find("NET-SNMP version") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_NE(ReadFile(mDir.Path() + "/traps.txt").find("NET-SNMP version"), std::string::npos);
        ASSERT_EQ(ComCreator<CNotifySNMPTrap>::CreateInstance(nullptr, IID_INotifySNMPTrap,
                                                               mTrap.VoidOut()),
                  S_OK);
    }
    void TearDown() override
    {
        mTrap.Reset();
        kill(mTrapd, SIGTERM);
        waitpid(mTrapd, nullptr, 0);
    }

    void Configure(const std::u16string& destination, const std::u16string& community)
    {
        mTrap->put_SNMPTrapEnabled(VARIANT_TRUE);
        mTrap->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mTrap->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
        Bstr d(destination), c(community);
        mTrap->put_Destination(d);
        mTrap->put_CommunityString(c);
        mTrap->put_TrapPort(static_cast<UINT>(mPort));
    }

    HRESULT Send(ULONG code, const std::u16string& description)
    {
        Bstr app(u"Backup"), d(description), s(u"nightly");
        const HRESULT hr = mTrap->Notify(app, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, code, d, s, 0);
        return hr;
    }

    // The traps snmptrapd has printed so far, waiting up to 5 s for `count` of them.
    std::vector<Trap> Traps(size_t count)
    {
        std::vector<Trap> traps;
        for (int i = 0; i < 100; ++i)
        {
            traps.clear();
            // A trap is its header line and the lines after it (long hex values wrap).
            std::istringstream in(ReadFile(mDir.Path() + "/traps.txt"));
            std::string line;
            std::vector<std::string> bodies;
            while (std::getline(in, line))
            {
                if (line.rfind("TRAP", 0) == 0)
                {
                    traps.push_back(Trap{line, {}});
                    bodies.emplace_back();
                }
                else if (!traps.empty())
                    bodies.back() += " " + line;
            }
            static const std::regex binding(R"((\.[0-9.]+) = ([A-Za-z-]+): ([^|]*)\|?)");
            for (size_t t = 0; t < traps.size(); ++t)
                for (std::sregex_iterator it(bodies[t].begin(), bodies[t].end(), binding), end; it != end; ++it)
                {
                    std::string value = (*it)[3];
                    if ((*it)[2] == "Hex-STRING")
                    {
                        std::string bytes;
                        std::istringstream hex(value);
                        unsigned b;
                        while (hex >> std::hex >> b)
                            bytes += static_cast<char>(b);
                        value = bytes;
                    }
                    traps[t].bindings[(*it)[1]] = value;
                }
            if (traps.size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return traps;
    }

    TempDir mDir;
    int mPort = 0;
    pid_t mTrapd = -1;
    ComPtr<INotifySNMPTrap> mTrap;
};

const char* const kMessage = ".1.3.6.1.4.1.64999.3.3.5";
const char* const kComputer = ".1.3.6.1.4.1.64999.3.3.1";
const char* const kApplication = ".1.3.6.1.4.1.64999.3.3.2";
} // namespace

TEST_F(SnmpTrap, OffUntilEnabledThenFiltered)
{
    EXPECT_EQ(Send(5, u"x"), S_OK); // default: disabled, nothing sent
    mTrap->put_SNMPTrapEnabled(VARIANT_TRUE);
    EXPECT_EQ(Send(5, u"x"), S_FALSE); // filters 0
    mTrap->put_TrapPort(0);
    UINT port = 1;
    mTrap->get_TrapPort(&port);
    EXPECT_EQ(port, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Traps(0).empty());
}

TEST_F(SnmpTrap, VersionTwoAndOneTrapsWithTheirBindings)
{
    Configure(u"127.0.0.1", u"secret");
    ASSERT_EQ(Send(5, u"Backup finished"), S_OK);
    ASSERT_EQ(Send(0x80070005, u"Cannot open: "), S_OK);
    ASSERT_EQ(Send(0xE7D10019, u"Unknown code "), S_OK);
    mTrap->put_SNMPVersionV2(1); // not VARIANT_TRUE: version 1
    Bstr none(u"");
    mTrap->put_CommunityString(none); // "public"
    ASSERT_EQ(Send(5, u"old style"), S_OK);

    const std::vector<Trap> traps = Traps(4);
    ASSERT_EQ(traps.size(), 4u) << ReadFile(mDir.Path() + "/traps.txt");
    WCHAR computer[16] = {0};
    DWORD size = 16;
    GetComputerNameW(computer, &size);
    const std::string printed = ReadFile(mDir.Path() + "/traps.txt");
    for (const Trap& t : traps)
        for (const char* oid : {kMessage, kComputer, kApplication})
            ASSERT_EQ(t.bindings.count(oid), 1u) << oid << " in\n" << printed;
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_NE(traps[i].header.find("SNMP v2c, community secret"), std::string::npos) << traps[i].header;
        EXPECT_EQ(traps[i].bindings.at(".1.3.6.1.6.3.1.1.4.1.0"), ".1.3.6.1.4.1.64999.3.1.4.4.2.1");
        EXPECT_EQ(traps[i].bindings.at(kComputer), Utf16ToUtf8(computer));
        EXPECT_EQ(traps[i].bindings.at(kApplication), "Backup");
    }
    EXPECT_EQ(traps[0].bindings.at(kMessage), "Backup finished");
    EXPECT_EQ(traps[1].bindings.at(kMessage), "Cannot open: Access is denied.\r\n");
    EXPECT_EQ(traps[2].bindings.at(kMessage), "Unknown code 0xE7D10019");
    EXPECT_NE(traps[3].header.find("SNMP v1, community public enterprise=.1.3.6.1.4.1.64999.3.1.4.4.2 generic=6 "
                                   "specific=.1"),
              std::string::npos)
        << traps[3].header;
    EXPECT_EQ(traps[3].bindings.at(kMessage), "old style");
    EXPECT_EQ(traps[3].bindings.at(kApplication), "Backup");
}

TEST_F(SnmpTrap, IPv6ManagersWithAndWithoutBrackets)
{
    const char16_t* destinations[] = {u"::1", u"[::1]"};
    for (const char16_t* destination : destinations)
    {
        Configure(destination, u"public");
        EXPECT_EQ(Send(5, u"over IPv6"), S_OK) << Utf16ToUtf8(destination);
    }
    const std::vector<Trap> traps = Traps(2);
    ASSERT_EQ(traps.size(), 2u);
    for (const Trap& t : traps)
    {
        EXPECT_NE(t.header.find("from UDP/IPv6: [::1]"), std::string::npos) << t.header;
        EXPECT_EQ(t.bindings.at(kMessage), "over IPv6");
    }
}

TEST_F(SnmpTrap, ALibraryFailureIsReported)
{
    for (const char16_t* destination : {u"nonexistent.invalid", u""})
    {
        Configure(destination, u"public");
        EXPECT_EQ(Send(5, u"x"), static_cast<HRESULT>(0x8000FFFF));
        ComPtr<IErrorInfo> info;
        ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
        Bstr d;
        info->GetDescription(d.Out());
        info.Reset();
        const std::string text = Utf16ToUtf8(d.Str());
        EXPECT_EQ(text.rfind("Result (0x6c8f1c25 ", 0), 0u) << text;
        EXPECT_NE(text.find(*destination ? "Unknown host" : "No trap destination is configured"), std::string::npos)
            << text;
    }
}

TEST(SnmpTrapLibrary, MissingLibrarySendsNothingChild)
{
    if (std::getenv("FERRULE_NO_TRAP_LIBRARY_CHILD") == nullptr)
        GTEST_SKIP() << "runs in a child process only";
    RegisterMessageTables();
    ComPtr<INotifySNMPTrap> trap;
    ComCreator<CNotifySNMPTrap>::CreateInstance(nullptr, IID_INotifySNMPTrap, trap.VoidOut());
    trap->put_SNMPTrapEnabled(VARIANT_TRUE);
    trap->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    trap->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    Bstr d(u"nonexistent.invalid");
    trap->put_Destination(d); // would fail, were the library there
    const HRESULT hr = trap->Notify(d, NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, d, d, 0);
    trap.Reset();
    std::exit(hr == S_OK ? 0 : 5);
}

TEST(SnmpTrapLibrary, MissingLibrarySendsNothing)
{
    // A copy of this program in a folder with no "Shared" beside it.
    TempDir dir;
    mkdir((dir.Path() + "/bin").c_str(), 0755);
    const std::string copy = dir.Path() + "/bin/test_copy";
    ASSERT_EQ(std::system(("cp /proc/" + std::to_string(getpid()) + "/exe '" + copy + "'").c_str()), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        setenv("FERRULE_NO_TRAP_LIBRARY_CHILD", "1", 1);
        // The copy's $ORIGIN is not the build folder: the product's libraries are found through the path.
        setenv("LD_LIBRARY_PATH", std::filesystem::read_symlink("/proc/self/exe").parent_path().c_str(), 1);
        execl(copy.c_str(), "test_copy", "--gtest_filter=SnmpTrapLibrary.MissingLibrarySendsNothingChild",
              static_cast<char*>(nullptr));
        _exit(4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SnmpTrapLibrary, TheMibNamesTheOidsSent)
{
    // Each object's OID from the MIB's "::= { parent n }" chains.
    const std::string mib = ReadFile(ProgramFolder() + "/../Shared/QUELLON-NOTIFY-MIB.txt");
    ASSERT_FALSE(mib.empty());
    std::map<std::string, std::string> oids = {{"enterprises", "1.3.6.1.4.1"}};
    static const std::regex assignment(
        R"((?:^|\n)(\w+)[ \t]+(?:OBJECT IDENTIFIER|OBJECT-TYPE|MODULE-IDENTITY|NOTIFICATION-TYPE|OBJECT-GROUP|)"
        R"(NOTIFICATION-GROUP)[\s\S]*?::=\s*\{\s*(\w+)\s+(\d+)\s*\})");
    for (std::sregex_iterator it(mib.begin(), mib.end(), assignment), end; it != end; ++it)
        if (oids.count((*it)[2]))
            oids[(*it)[1]] = oids[(*it)[2]] + "." + (*it)[3].str();
    EXPECT_EQ(oids["notifyMessage"], "1.3.6.1.4.1.64999.3.3.5");
    EXPECT_EQ(oids["notifyComputerName"], "1.3.6.1.4.1.64999.3.3.1");
    EXPECT_EQ(oids["notifyApplication"], "1.3.6.1.4.1.64999.3.3.2");
    EXPECT_EQ(oids["notifyTraps"], "1.3.6.1.4.1.64999.3.1.4.4.2");
    EXPECT_EQ(oids["notifyEvent"], "1.3.6.1.4.1.64999.3.1.4.4.2.1");
}

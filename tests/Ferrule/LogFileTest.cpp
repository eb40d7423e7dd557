#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyLog.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"
#include "TestHandlers.h"

#include "Platform/Com/Owners.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <vector>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// Where failures of a code were raised: the source lines of their creation entries.
std::vector<int> gRaisedAt;
uint32_t gRaisedCode = 0;
void RecordLine(const Result& r, const char*, int line, const char*, bool)
{
    if (r.GetCode() == gRaisedCode)
        gRaisedAt.push_back(line);
}

// The text of a line of the log-file handler's source.
std::string HandlerSourceLine(int line)
{
    std::ifstream in(std::string(FERRULE_SOURCE_DIR) + "/Ferrule/NotifyLog.cpp");
    std::string text;
    for (int n = 0; n < line && std::getline(in, text); ++n)
    {
    }
    return text;
}

std::string Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The file as text: the byte-order mark checked and removed, UTF-16LE decoded.
std::string Text(const std::string& path)
{
    const std::string b = Bytes(path);
    if (b.size() < 2 || b.compare(0, 2, "\xFF\xFE") != 0)
        return "(no byte-order mark)";
    std::u16string wide;
    for (size_t i = 2; i + 1 < b.size(); i += 2)
        wide += static_cast<char16_t>(static_cast<uint8_t>(b[i]) | (static_cast<uint8_t>(b[i + 1]) << 8));
    return Utf16ToUtf8(wide);
}

off_t Size(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class LogFile : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        setenv("LC_ALL", "C", 1);
        RegisterMessageTables();
    }
    void SetUp() override
    {
        ASSERT_EQ(getcwd(mOldDir, sizeof mOldDir), mOldDir);
        ASSERT_EQ(chdir(mDir.Path().c_str()), 0);
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
        ASSERT_EQ(ComCreator<CNotifyLog>::CreateInstance(nullptr, IID_INotifyLog, mLog.VoidOut()), S_OK);
        mLog->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
        mLog->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override
    {
        mLog.Reset();
        ASSERT_EQ(chdir(mOldDir), 0);
    }

    void SetPath(const std::string& path)
    {
        Bstr b(Utf8ToUtf16(path));
        mLog->put_FilePath(b);
    }
    void SetName(const std::string& name)
    {
        Bstr b(Utf8ToUtf16(name));
        mLog->put_FileName(b);
    }

    HRESULT Send(const std::u16string& description, eZD_NOTIFY_TYPE type = NOTIFY_TYPE_ERROR, ULONG code = 0x1F)
    {
        Bstr app(u"App"), d(description), s(u"nightly");
        SYSTEMTIME st{2026, 12, 3, 9, 23, 52, 30, 0};
        DATE when;
        SystemTimeToVariantTime(&st, &when);
        const HRESULT hr = mLog->Notify(app, type, NOTIFY_PRIORITY_HIGH, code, d, s, when);
        return hr;
    }

    static std::string ErrorDescription()
    {
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Out()) != S_OK)
            return "(none)";
        Bstr d;
        info->GetDescription(d.Out());
        info.Reset();
        const std::string text = Utf16ToUtf8(std::u16string(d ? d : u"", SysStringLen(d)));
        return text;
    }

    // Runs f in a child process as nobody; its exit code.
    template <class F>
    static int AsNobody(F f)
    {
        const pid_t pid = fork();
        if (pid == 0)
        {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            _exit(f());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    }

    TempDir mDir;
    char mOldDir[4096];
    ComPtr<INotifyLog> mLog;
};

const char* const kEntry = "12/09/2026 23:52:30 High Priority Error: Backup failed. 0x1F (nightly)\r\n";
} // namespace

TEST_F(LogFile, DefaultFileInTheCurrentFolder)
{
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Bytes("App.log.txt").compare(0, 2, "\xFF\xFE"), 0);
    EXPECT_EQ(Text("App.log.txt"), std::string(kEntry) + kEntry);
    // Filtered out: nothing written, 1.
    mLog->put_TypeFilter(NOTIFY_TYPE_WARNING);
    EXPECT_EQ(Send(u"Backup failed."), S_FALSE);
    EXPECT_EQ(Text("App.log.txt"), std::string(kEntry) + kEntry);
}

TEST_F(LogFile, FoldersAndNames)
{
    // With and without the trailing separator; missing folders are created.
    SetPath(mDir.Path() + "/a/b/c");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text(mDir.Path() + "/a/b/c/App.log.txt"), kEntry);
    SetPath(mDir.Path() + "/d\\e\\");
    SetName("custom.log");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text(mDir.Path() + "/d/e/custom.log"), kEntry);

    // A folder that cannot be created: the file lands in the current folder.
    std::ofstream(mDir.Path() + "/plain") << "a file, not a folder";
    SetPath(mDir.Path() + "/plain/sub");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("custom.log"), kEntry);

    // A folder path that names an existing file: the file lands in the current folder too.
    std::remove("custom.log");
    SetPath(mDir.Path() + "/plain");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("custom.log"), kEntry);
    EXPECT_EQ(Bytes(mDir.Path() + "/plain"), "a file, not a folder");

    // A name that is a folder cannot be opened.
    SetPath(mDir.Path());
    SetName("d");
    EXPECT_EQ(Send(u"Backup failed."), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(ErrorDescription().rfind("Result (0xece30068 30 NOTIFY_ERROR_LOG_CREATE_FAILED", 0), 0u);
}

TEST_F(LogFile, ErrorsGetTheMessageIdentifierLine)
{
    ASSERT_EQ(Send(u"Failed 1234ABCD: disk full"), S_OK);
    ASSERT_EQ(Send(u"Failed 1234ABCD: disk full", NOTIFY_TYPE_WARNING), S_OK);
    ASSERT_EQ(Send(u"odd", static_cast<eZD_NOTIFY_TYPE>(3)), S_OK);
    EXPECT_EQ(Text("App.log.txt"),
              "12/09/2026 23:52:30 High Priority Error: Failed 1234ABCD: disk full 0x1F (nightly)\r\n"
              " (UMI:Q-281-564-43981)\r\n"
              "12/09/2026 23:52:30 High Priority Warning: Failed 1234ABCD: disk full 0x1F (nightly)\r\n"
              "12/09/2026 23:52:30 High Priority Unknown: odd 0x1F (nightly)\r\n");
}

TEST_F(LogFile, RotationAtTheLimit)
{
    mLog->put_MaxSize(1);
    // Exactly 1024 bytes: no rotation.
    std::ofstream("App.log.txt", std::ios::binary) << std::string("\xFF\xFE") + std::string(1022, 'x');
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Size("App.log.txt.old"), -1);
    EXPECT_GT(Size("App.log.txt"), 1024);
    // Beyond: the file becomes the one ".old" generation and a new file starts with a byte-order mark.
    const off_t before = Size("App.log.txt");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Size("App.log.txt.old"), before);
    EXPECT_EQ(Text("App.log.txt"), kEntry);
    // The next rotation replaces the earlier ".old".
    std::ofstream("App.log.txt", std::ios::binary | std::ios::app) << std::string(2000, 'y');
    const off_t grown = Size("App.log.txt");
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Size("App.log.txt.old"), grown);

    // No maximum: never moved aside, however large.
    mLog->put_MaxSize(0xFFFFFFFF);
    ASSERT_EQ(truncate("App.log.txt", 64 << 20), 0);
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_GT(Size("App.log.txt"), 64 << 20);
    EXPECT_EQ(Size("App.log.txt.old"), grown);
}

TEST_F(LogFile, SharingConflictKeepsEarlierEntries)
{
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    HANDLE other = CreateFileW(u"App.log.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    gRaisedAt.clear();
    gRaisedCode = NOTIFY_ERROR_LOG_CREATE_FAILED;
    SetResultEntryFunction(&RecordLine);
    EXPECT_EQ(Send(u"Backup failed."), static_cast<HRESULT>(0x80070020));
    SetResultEntryFunction(nullptr);
    Result r;
    ASSERT_TRUE(ParseSerializedResult(Utf8ToUtf16(ErrorDescription()), r));
    EXPECT_EQ(r.GetCode(), NOTIFY_ERROR_LOG_CREATE_FAILED);
    // The failure names the line that raised it.
    ASSERT_FALSE(gRaisedAt.empty());
    EXPECT_NE(HandlerSourceLine(gRaisedAt[0]).find("HANDLER_FAILURE(\"NotifyLog\", \"CNotifyLog::Notify\", "
                                                   "NOTIFY_ERROR_LOG_CREATE_FAILED"),
              std::string::npos)
        << gRaisedAt[0];
    // A reader may open the file meanwhile.
    HANDLE reader = CreateFileW(u"App.log.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    CloseHandle(other);
    EXPECT_EQ(Text("App.log.txt"), kEntry);
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("App.log.txt"), std::string(kEntry) + kEntry);
}

TEST_F(LogFile, NoWritePermission)
{
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    chmod(mDir.Path().c_str(), 0755);
    chmod("App.log.txt", 0644);
    const int code = AsNobody([this] {
        const HRESULT hr = Send(u"Backup failed.");
        Result r;
        return hr == static_cast<HRESULT>(0x80070005) && ParseSerializedResult(Utf8ToUtf16(ErrorDescription()), r) &&
                       r.GetCode() == NOTIFY_ERROR_LOG_CREATE_FAILED
                   ? 0
                   : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Text("App.log.txt"), kEntry);
}

TEST_F(LogFile, FullDiskLeavesNoHalfEntry)
{
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    const off_t before = Size("App.log.txt");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        signal(SIGXFSZ, SIG_IGN);
        // Room for a few bytes only: the entry cannot be written whole.
        struct rlimit limit = {static_cast<rlim_t>(before + 10), static_cast<rlim_t>(before + 10)};
        setrlimit(RLIMIT_FSIZE, &limit);
        gRaisedAt.clear();
        gRaisedCode = NOTIFY_ERROR_LOG_WRITE_FAILED;
        SetResultEntryFunction(&RecordLine);
        const HRESULT hr = Send(u"Backup failed.");
        Result r;
        const bool reported = ParseSerializedResult(Utf8ToUtf16(ErrorDescription()), r) &&
                              r.GetCode() == NOTIFY_ERROR_LOG_WRITE_FAILED;
        // Raised where the write failed.
        const bool located = !gRaisedAt.empty() &&
                             HandlerSourceLine(gRaisedAt[0]).find("NOTIFY_ERROR_LOG_WRITE_FAILED") != std::string::npos;
        _exit(hr == static_cast<HRESULT>(0x80070070) && reported && located ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Size("App.log.txt"), before);
    EXPECT_EQ(Text("App.log.txt"), kEntry);
}

TEST_F(LogFile, TheManagersOtherHandlersStillRun)
{
    auto* factory = new ComClassFactory(&ComCreator<CTestRecorder>::CreateInstance);
    DWORD cookie;
    CoRegisterClassObject(CLSID_TestRecorder, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    auto* logFactory = new ComClassFactory(&ComCreator<CNotifyLog>::CreateInstance);
    DWORD logCookie;
    CoRegisterClassObject(CLSID_NotifyLog, logFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &logCookie);
    logFactory->Release();
    std::ofstream("app.notify.xml") << "<NotifyPolicy><Handlers><Handler clsid=\"" << Utf16ToUtf8(GuidText(CLSID_TestRecorder))
                                    << "\"><TypeFilter vt=\"19\">15</TypeFilter><PriorityFilter vt=\"19\">15</PriorityFilter>"
                                       "</Handler></Handlers></NotifyPolicy>";
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    Bstr app(u"app"), none(u""), d(u"event"), s(u"src");
    ASSERT_EQ(n->Initialize(app, none), S_OK);
    HANDLE held = CreateFileW(u"app.log.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    Calls().clear();
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, d, s, 0), static_cast<HRESULT>(0x80070020));
    EXPECT_EQ(Calls().size(), 1u); // the recorder ran
    CloseHandle(held);
    EXPECT_EQ(n->Notify(NOTIFY_TYPE_ERROR, NOTIFY_PRIORITY_HIGH, 0, d, s, 0), S_OK);
    EXPECT_NE(Text("app.log.txt").find("High Priority Error: event 0x00 (src)"), std::string::npos);
    n.Reset();
    CoRevokeClassObject(cookie);
    CoRevokeClassObject(logCookie);
}

namespace
{
// Every line of a log file's text, "\r\n" removed.
std::vector<std::string> Lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(Text(path));
    std::string line;
    while (std::getline(in, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Runs body(k) in `count` child processes at once; true when every child exited 0.
template <class F>
bool InProcesses(int count, F body)
{
    std::vector<pid_t> children;
    for (int k = 0; k < count; ++k)
    {
        const pid_t pid = fork();
        if (pid == 0)
        {
            alarm(120); // never outlives a hung test
            _exit(body(k));
        }
        children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}
} // namespace

TEST_F(LogFile, SeveralProcessesLogEveryEntryOnce)
{
    mLog->put_MaxSize(0xFFFFFFFF);
    const int kProcesses = 4, kEach = 5000;
    ASSERT_TRUE(InProcesses(kProcesses, [this](int k) {
        for (int i = 0; i < kEach; ++i)
            if (Send(Utf8ToUtf16("p" + std::to_string(k) + " n" + std::to_string(i)), NOTIFY_TYPE_WARNING) != S_OK)
                return 1;
        return 0;
    }));
    std::set<std::string> seen;
    const std::vector<std::string> lines = Lines("App.log.txt");
    for (const std::string& line : lines)
    {
        ASSERT_EQ(line.rfind("12/09/2026 23:52:30 High Priority Warning: p", 0), 0u) << line;
        ASSERT_NE(line.find(" 0x1F (nightly)"), std::string::npos) << line;
        seen.insert(line);
    }
    EXPECT_EQ(lines.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(Size("App.log.txt.old"), -1);
}

TEST_F(LogFile, RotationBySeveralProcessesKeepsWholeGenerations)
{
    mLog->put_MaxSize(4);
    const size_t entryBytes = 2 * std::string("12/09/2026 23:52:30 High Priority Warning: p0 n0000 0x1F (nightly)\r\n").size();
    ASSERT_TRUE(InProcesses(4, [this](int k) {
        char text[32];
        for (int i = 0; i < 1500; ++i)
        {
            std::snprintf(text, sizeof text, "p%d n%04d", k, i);
            if (Send(Utf8ToUtf16(text), NOTIFY_TYPE_WARNING) != S_OK)
                return 1;
        }
        return 0;
    }));
    // ".old" reached the limit and holds at most one entry beyond it; both files are whole entries.
    EXPECT_GT(Size("App.log.txt.old"), 4096);
    EXPECT_LE(static_cast<size_t>(Size("App.log.txt.old")), 4096 + entryBytes);
    EXPECT_LE(static_cast<size_t>(Size("App.log.txt")), 4096 + entryBytes);
    for (const char* name : {"App.log.txt", "App.log.txt.old"})
        for (const std::string& line : Lines(name))
            ASSERT_EQ(line.size(), entryBytes / 2 - 2) << name << ": " << line;
}

TEST_F(LogFile, LargeLimitsDoNotWrap)
{
    // 4194304 KB is 4 GiB: computed in 32 bits it would be 0 and every entry would rotate.
    ASSERT_EQ(mLog->put_MaxSize(4194304), S_OK);
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("App.log.txt"), std::string(kEntry) + kEntry);
    EXPECT_EQ(Size("App.log.txt.old"), -1);
}

TEST_F(LogFile, AFifoIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo("App.log.txt", 0600), 0);
    const bool refused = InProcesses(1, [this](int) {
        const HRESULT hr = Send(u"Backup failed.");
        Result r;
        return hr == static_cast<HRESULT>(0x80070032) && ParseSerializedResult(Utf8ToUtf16(ErrorDescription()), r) &&
                       r.GetCode() == NOTIFY_ERROR_LOG_CREATE_FAILED
                   ? 0
                   : 1;
    });
    EXPECT_TRUE(refused);
}

TEST_F(LogFile, LinksOfOtherUsersAreNotFollowed)
{
    chmod(mDir.Path().c_str(), 01777);
    std::ofstream("target") << "precious";
    // Planted by another user: refused, the target untouched.
    ASSERT_EQ(symlink("target", "App.log.txt"), 0);
    ASSERT_EQ(lchown("App.log.txt", 65534, 65534), 0);
    EXPECT_EQ(Send(u"Backup failed."), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(Bytes("target"), "precious");
    // The process's own link is followed.
    ASSERT_EQ(lchown("App.log.txt", geteuid(), getegid()), 0);
    std::ofstream("target", std::ios::trunc).flush();
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("target"), kEntry);
    // Rotation moves the link itself aside and never writes through an ".old" link.
    ASSERT_EQ(symlink("target", "App.log.txt.old"), 0);
    ASSERT_EQ(lchown("App.log.txt.old", 65534, 65534), 0);
    mLog->put_MaxSize(1);
    std::ofstream("target", std::ios::app) << std::string(2000, 'y');
    ASSERT_EQ(Send(u"Backup failed."), S_OK);
    EXPECT_EQ(Text("App.log.txt"), kEntry);
    struct stat st;
    ASSERT_EQ(lstat("App.log.txt.old", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

#include "Platform/Win32/Registry.h"
#include "Platform/Com/RegistryScript.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
class Registry : public ::testing::Test
{
protected:
    void SetUp() override { UseRegistryDir(mDir.Path()); }

    // A child process does not use the connection it inherited: a different spelling of the same
    // folder makes it open its own.
    static void ReopenInChild(const std::string& dir) { UseRegistryDir(dir + "/."); }

    static void UseRegistryDir(const std::string& dir) { setenv("FERRULE_REGISTRY_DIR", dir.c_str(), 1); }

    TempDir mDir;
};

LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD GetDword(HKEY key, const char16_t* name, LSTATUS* status = nullptr)
{
    DWORD value = 0, size = sizeof value, type = 0;
    LSTATUS st = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
    if (status)
        *status = st;
    return value;
}

int ChildExitCode(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}
} // namespace

TEST_F(Registry, CreateOpenSetQueryDelete)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon\\Random Number", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetDword(key, u"Count", 7), ERROR_SUCCESS);
    // REG_SZ without a terminating NUL comes back exactly as stored.
    const std::u16string hex = u"0a1b";
    ASSERT_EQ(RegSetValueExW(key, u"S1", 0, REG_SZ, reinterpret_cast<const BYTE*>(hex.data()), 8), ERROR_SUCCESS);
    RegCloseKey(key);

    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\QUELLON\\random number", 0, nullptr, 0, KEY_READ,
                              nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(GetDword(again, u"COUNT"), 7u);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(again, u"s1", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 8u);
    char16_t small[2];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(again, u"S1", nullptr, nullptr, reinterpret_cast<LPBYTE>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    char16_t text[8] = {};
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(again, u"S1", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text, 4), hex);
    EXPECT_EQ(text[4], 0); // nothing was added after the four characters

    // A key opened for reading cannot be written.
    EXPECT_EQ(SetDword(again, u"Count", 8), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(again, u"Count"), ERROR_ACCESS_DENIED);
    RegCloseKey(again);

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &parent),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon"), ERROR_ACCESS_DENIED); // has a subkey
    ASSERT_EQ(RegDeleteKeyW(parent, u"Random Number"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(parent, u"Random Number", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(gone, nullptr);
    RegCloseKey(parent);
}

TEST_F(Registry, EnumerationKeepsCreatedCase)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Quellon\\Ardentis", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    HKEY sub = nullptr;
    for (const char16_t* name : {u"Zeta", u"alpha", u"Beta"})
    {
        ASSERT_EQ(RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
        RegCloseKey(sub);
    }
    ASSERT_EQ(SetString(key, u"AgentVersion", u"22.0"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, nullptr, 1), ERROR_SUCCESS); // the default value has the empty name

    std::u16string names;
    WCHAR name[32];
    for (DWORD i = 0;; ++i)
    {
        DWORD length = 32;
        const LSTATUS st = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(st, ERROR_SUCCESS);
        EXPECT_EQ(length, std::u16string(name).size());
        names += std::u16string(name) + u",";
    }
    EXPECT_EQ(names, u"alpha,Beta,Zeta,");
    DWORD tiny = 3;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &tiny, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    DWORD length = 32, type = 0, size = 0;
    ASSERT_EQ(RegEnumValueW(key, 1, name, &length, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"AgentVersion");
    EXPECT_EQ(size, 10u);
    length = 32;
    EXPECT_EQ(RegEnumValueW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // The whole tree goes; a handle to a deleted key says so.
    HKEY zeta = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, u"zeta", 0, KEY_ALL_ACCESS, &zeta), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"SOFTWARE\\Quellon"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(zeta, u"x", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Quellon", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE", 0, KEY_READ, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
    RegCloseKey(zeta);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, ClassesRootIsMachineSoftwareClasses)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{X}", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, nullptr, u"Notify Class"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{x}", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 26u);
    RegCloseKey(key);
    // The user hive is a different database.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Classes", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing)
{
    const std::string dir = mDir.Path();
    pid_t children[2];
    for (int c = 0; c < 2; ++c)
    {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0)
        {
            ReopenInChild(dir);
            HKEY key = nullptr;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Load", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS)
                _exit(1);
            for (int i = 0; i < 1000; ++i)
            {
                const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
                if (SetDword(key, std::u16string(name.begin(), name.end()).c_str(), DWORD(i)) != ERROR_SUCCESS)
                    _exit(2);
            }
            RegCloseKey(key);
            _exit(0);
        }
    }
    EXPECT_EQ(ChildExitCode(children[0]), 0);
    EXPECT_EQ(ChildExitCode(children[1]), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Load", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD count = 0;
    WCHAR name[32];
    for (;; ++count)
    {
        DWORD length = 32;
        if (RegEnumValueW(key, count, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
    }
    EXPECT_EQ(count, 2000u);
    EXPECT_EQ(GetDword(key, u"p1_999"), 999u);
    EXPECT_EQ(GetDword(key, u"p0_500"), 500u);
    RegCloseKey(key);
}

TEST_F(Registry, ValueWrittenByAnotherProcessIsRead)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    LSTATUS st = ERROR_SUCCESS;
    GetDword(key, u"FromChild", &st);
    EXPECT_EQ(st, ERROR_FILE_NOT_FOUND);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        ReopenInChild(mDir.Path());
        HKEY k = nullptr;
        _exit(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Shared", 0, KEY_SET_VALUE, &k) == ERROR_SUCCESS &&
                      SetDword(k, u"FromChild", 42) == ERROR_SUCCESS
                  ? 0
                  : 1);
    }
    ASSERT_EQ(ChildExitCode(pid), 0);
    EXPECT_EQ(GetDword(key, u"FromChild", &st), 42u);
    EXPECT_EQ(st, ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, UnwritableHiveReadsButRefusesWrites)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Version", 22), ERROR_SUCCESS);
    RegCloseKey(key);
    // Readable by everyone, writable by root only; the check runs as nobody, since root ignores modes.
    chmod(mDir.Path().c_str(), 0755);
    chmod((mDir.Path() + "/machine.db").c_str(), 0644);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        ReopenInChild(mDir.Path());
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon", 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS)
            _exit(11);
        LSTATUS st = ERROR_SUCCESS;
        if (GetDword(k, u"Version", &st) != 22 || st != ERROR_SUCCESS)
            _exit(12);
        if (SetDword(k, u"Version", 23) != ERROR_ACCESS_DENIED)
            _exit(13);
        HKEY created = nullptr;
        if (RegCreateKeyExW(k, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr) != ERROR_ACCESS_DENIED)
            _exit(14);
        if (RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE") != ERROR_ACCESS_DENIED)
            _exit(15);
        // A hive file that does not exist and cannot be created reads as empty.
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE", 0, KEY_READ, &k) != ERROR_FILE_NOT_FOUND)
            _exit(16);
        _exit(0);
    }
    EXPECT_EQ(ChildExitCode(pid), 0);
}

TEST_F(Registry, DamagedFileIsABadDatabase)
{
    {
        std::ofstream out(mDir.Path() + "/machine.db", std::ios::binary);
        out << std::string(4096, 'x');
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"x", 1), ERROR_BADDB);
}

TEST_F(Registry, ScriptsRegisterAndUnregister)
{
    const std::u16string script = uR"(HKLM
{
    NoRemove SOFTWARE
    {
        ForceRemove Thing = s 'It''s %NAME%'
        {
            val Count = d 3
            Path = s '%NAME%'
            Plain
            {
                val Keep = s 'x'
            }
        }
        Shared
        {
            Mine = s 'a'
        }
    }
}
)";
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared\\Theirs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);
    ASSERT_EQ(UpdateRegistryFromScript(script, true, {{u"NAME", u"/lib/x.so"}}), S_OK);
    // Twice: ForceRemove makes the key anew.
    ASSERT_EQ(UpdateRegistryFromScript(script, true, {{u"NAME", u"/lib/x.so"}}), S_OK);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Thing", 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR text[64] = {0};
    DWORD size = sizeof text, type = 0;
    RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    EXPECT_EQ(std::u16string(text), u"It's /lib/x.so");
    EXPECT_EQ(GetDword(key, u"Count"), 3u);
    RegCloseKey(key);

    ASSERT_EQ(UpdateRegistryFromScript(script, false, {{u"NAME", u"/lib/x.so"}}), S_OK);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Thing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    // A key with other subkeys stays; NoRemove keys stay.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared\\Theirs", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared\\Mine", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, AMalformedScriptChangesNothing)
{
    const std::u16string broken[] = {
        u"HKLM { First = s 'one' Second = x 'two' }", u"HKLM { Open { }", u"HKXX { A }", u"HKLM { A = s 'unterminated }",
        u"HKLM { val Loose = s 'x' }",
    };
    for (const std::u16string& script : broken)
    {
        EXPECT_EQ(UpdateRegistryFromScript(script, true, {}), HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
            << Utf16ToUtf8(script);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"First", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    }
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR d = nullptr;
    info->GetDescription(&d);
    info->Release();
    EXPECT_EQ(Utf16ToUtf8(d).rfind("The registry script cannot be read: line 1: ", 0), 0u) << Utf16ToUtf8(d);
    SysFreeString(d);
}

TEST_F(Registry, AReaderDoesNotWaitForAWritersTransaction)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Read", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Count", 1), ERROR_SUCCESS);
    RegCloseKey(key);

    // Another process holds a write transaction for 4 s.
    const std::string dir = mDir.Path();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0)
    {
        ReopenInChild(dir);
        RegistryTransaction transaction(HKEY_LOCAL_MACHINE);
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Read", 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS ||
            SetDword(k, u"Count", 2) != ERROR_SUCCESS)
            _exit(1);
        RegCloseKey(k);
        if (write(ready[1], "x", 1) != 1)
            _exit(2);
        sleep(4);
        _exit(transaction.Commit() == ERROR_SUCCESS ? 0 : 3);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);

    // A new reader (as a one-shot program is) opens and reads at once, and sees what was committed.
    ReopenInChild(dir);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Read", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, u"Count"), 1u);
    RegCloseKey(key);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500 + 2000));
    EXPECT_EQ(ChildExitCode(writer), 0);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Read", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, u"Count"), 2u);
    RegCloseKey(key);
    UseRegistryDir(dir);
}

TEST_F(Registry, ReadingWritesNothingAndWorksForAUserWhoMayNotWrite)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Value", 42), ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string file = mDir.Path() + "/machine.db";
    chmod(mDir.Path().c_str(), 0755);
    chmod(file.c_str(), 0644);
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    // An unprivileged process reads the root-owned hive in a root-owned folder; its writes are refused.
    const std::string dir = mDir.Path();
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0)
    {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        ReopenInChild(dir);
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_READ, &k) != ERROR_SUCCESS)
            _exit(2);
        if (GetDword(k, u"Value") != 42u)
            _exit(3);
        RegCloseKey(k);
        HKEY w = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &w) != ERROR_SUCCESS)
            _exit(4);
        const LSTATUS refused = SetDword(w, u"Value", 7);
        RegCloseKey(w);
        _exit(refused == ERROR_ACCESS_DENIED ? 0 : 5);
    }
    EXPECT_EQ(ChildExitCode(reader), 0);

    // Opening and reading in this process leave the file as it was (no schema written on open).
    ReopenInChild(dir);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key, u"Value"), 42u);
    RegCloseKey(key);
    struct stat after;
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_size, before.st_size);
    UseRegistryDir(dir);
}

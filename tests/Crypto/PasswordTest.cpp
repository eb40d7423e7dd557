// The stored password: known answers computed by an independent implementation (hashlib and the openssl
// command), the e-mail handler's password properties, the load order and the save target, the policy
// file it lands in, and stores shared between processes.
#include "Crypto/PasswordStore.h"
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
std::map<std::string, std::string> KnownAnswers(const std::string& account, const std::string& clear,
                                                 const std::vector<std::string>& texts)
{
    std::string command = std::string("/usr/bin/python3 '") + PASSWORD_KAT + "' '" + account + "' '" + clear +
                          "' E1C3175A264F9B0DB386247E F4A5C831279D0E6B7C23F148 197E4B2DE8C0A375D5926E1F";
    for (const std::string& t : texts)
        command += " '" + t + "'";
    std::map<std::string, std::string> answers;
    FILE* pipe = popen(command.c_str(), "r");
    char name[64], value[4096];
    while (pipe && std::fscanf(pipe, "%63s %4095s", name, value) == 2)
        answers[name] = value;
    if (pipe)
        pclose(pipe);
    return answers;
}

void SetRandomValue(const char16_t* name, const std::string& hex)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon\\Random Number", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string value = Utf8ToUtf16(hex);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()), static_cast<DWORD>(value.size() * 2));
    RegCloseKey(key);
}

std::string RandomValue(const char16_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon\\Random Number", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    WCHAR buffer[256] = {0};
    DWORD size = sizeof buffer - 2, type = 0;
    const LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? Utf16ToUtf8(std::u16string(buffer, size / 2)) : "";
}


class Password : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterMessageTables();
        setenv("FERRULE_REGISTRY_DIR", mDir.Path().c_str(), 1);
    }
    void TearDown() override { unsetenv("FERRULE_REGISTRY_DIR"); }
    TempDir mDir;
};

// Runs body in a child process; true when it exited 0.
template <class F>
bool InChild(F body)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        alarm(60);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

TEST_F(Password, EveryFormMatchesTheKnownAnswers)
{
    const std::vector<std::string> texts = {"s\xC3\x84lt1", "salt2", "salt3", "salt4"};
    for (const auto& [account, clear] : std::vector<std::pair<std::string, std::string>>{
             {"ann", "abc"}, {"CORP\\backup", "p\xC3\xA4ss w\xC3\xB6rd with 33 characters!!"}})
    {
        const auto answers = KnownAnswers(account, clear, texts);
        ASSERT_EQ(answers.size(), 11u);
        // The random-number values as another writer stored them.
        const char16_t* names[] = {u"S1", u"S2", u"S3", u"S4"};
        for (int i = 0; i < 4; ++i)
            SetRandomValue(names[i], answers.at("S" + std::to_string(i + 1)));
        const String a = Utf8ToUtf16(account), c = Utf8ToUtf16(clear);
        const PasswordStore store(a, c, 0);
        for (int k = 1; k <= 7; ++k)
        {
            EXPECT_EQ(Utf16ToUtf8(store.Form(k)), answers.at("form" + std::to_string(k))) << account << " form " << k;
            // Every form read back gives the clear text.
            EXPECT_EQ(PasswordStore(a, store.Form(k), k).Form(0), c) << account << " form " << k;
        }
        EXPECT_EQ(store.Form(0), c);
    }
    // A form that is not hexadecimal fails; an odd last digit is ignored.
    EXPECT_THROW(PasswordStore(u"ann", u"61zz", 7), Result);
    EXPECT_EQ(PasswordStore(u"ann", u"610062006", 7).Form(0), u"ab");
}

TEST_F(Password, TheHandlersPasswordProperties)
{
    ComPtr<INotifyEmail4> email;
    ASSERT_EQ(ComCreator<CNotifyEmail>::CreateInstance(nullptr, IID_INotifyEmail4, email.VoidOut()), S_OK);
    Bstr abc(u"abc"), long64(std::u16string(64, u'x')), long65(std::u16string(65, u'y')), out;
    ASSERT_EQ(email->put_Password(abc), S_OK);
    ASSERT_EQ(email->get_HexEncryptedPassword(out.Out()), S_OK);
    EXPECT_EQ(Utf16ToUtf8(out.Str()), "610062006300");
    ASSERT_EQ(email->get_EncryptedPassword(out.Out()), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Get()), SysStringByteLen(out)), std::string("a\0b\0c\0", 6));
    // The same bytes put back are kept as upper-case hexadecimal.
    ASSERT_EQ(email->put_EncryptedPassword(out), S_OK);
    email->get_HexEncryptedPassword(out.Out());
    EXPECT_EQ(Utf16ToUtf8(out.Str()), "610062006300");
    EXPECT_EQ(email->put_Password(long64), S_OK);
    EXPECT_EQ(email->put_Password(long65), static_cast<HRESULT>(0x8007052D));
    email->get_HexEncryptedPassword(out.Out());
    EXPECT_EQ(out ? SysStringLen(out) : 0u, 256u); // still the 64-character one
    Bstr empty(u"");
    email->put_Password(empty);
    String clear;
    EXPECT_FALSE(static_cast<CNotifyEmail*>(static_cast<PasswordImpl<INotifyHandlerImpl<INotifyEmail4>, 64>*>(email.Get()))
                     ->StoredPassword(clear));
    Bstr bad(u"zz");
    EXPECT_NE(email->put_HexEncryptedPassword(bad), S_OK); // not hexadecimal
    EXPECT_EQ(email->get_EncryptedPassword(nullptr), E_POINTER);
    email.Reset();
}

TEST_F(Password, TheLoadOrderOfTheBag)
{
    const String form1 = PasswordStore(u"ann", u"one", 0).Form(1);
    const std::pair<std::string, std::string> cases[] = {
        {"<EncryptedPW2 vt=\"8\">" + Utf16ToUtf8(form1) + "</EncryptedPW2>", "one"},
        {"<PlainPassword vt=\"8\">plain</PlainPassword><EncryptedPW2 vt=\"8\">" + Utf16ToUtf8(form1) + "</EncryptedPW2>",
         "plain"},
        {"<AES256Password vt=\"8\">" + Utf16ToUtf8(PasswordStore(u"ann", u"four", 0).Form(4)) + "</AES256Password>", ""},
        {"<AESPassword256 vt=\"8\">" + Utf16ToUtf8(PasswordStore(u"ann", u"four", 0).Form(4)) + "</AESPassword256>",
         "four"},
        // A damaged form: an empty store, the element named.
        {"<AESAdvancedPwd256ICFIPS vt=\"8\">6z0062</AESAdvancedPwd256ICFIPS>", "!AESAdvancedPwd256ICFIPS"},
    };
    for (const auto& [xml, expected] : cases)
    {
        auto document = std::make_shared<XmlDocument>();
        bool loaded = false;
        EXPECT_EQ(document->LoadText("<Root>" + xml + "</Root>", loaded), S_OK);
        ASSERT_TRUE(loaded);
        ComPtr<IPropertyBag> bag;
        CXMLPropBag().CreateBag(document, document->Root().FirstChild(), bag.Out());
        PasswordStore store;
        String unreadable;
        const HRESULT hr = PasswordLoadStep(bag, u"ann", store, unreadable);
        bag.Reset();
        EXPECT_EQ(hr, expected.empty() ? S_FALSE : S_OK) << xml;
        if (expected[0] == '!')
        {
            EXPECT_FALSE(store.Stored());
            EXPECT_EQ(Utf16ToUtf8(unreadable).rfind(expected.substr(1) + ": Result (0xebab03fa", 0), 0u)
                << Utf16ToUtf8(unreadable);
            continue;
        }
        EXPECT_EQ(unreadable, u"");
        EXPECT_EQ(Utf16ToUtf8(store.Form(0)), expected) << xml;
    }
}

TEST_F(Password, TheSavedPolicyFileHoldsOnlyTheSchemeSevenFormAndIsPrivate)
{
    EXPECT_EQ(PasswordSaveTarget(), 7); // not the console
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(mDir.Path().c_str()), 0);
    umask(022);
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    Bstr app(u"app"), none(u""), key(GuidText(CLSID_NotifyEmail)), pw(u"abc");
    ASSERT_EQ(n->Initialize(app, none), S_OK);
    ComPtr<INotifyHandler> handler;
    ASSERT_EQ(n->GetHandler(key, handler.Out()), S_OK);
    ComPtr<INotifyEmail4> email;
    handler->QueryInterface(IID_INotifyEmail4, email.VoidOut());
    ASSERT_EQ(email->put_Password(pw), S_OK);
    email.Reset();
    handler.Reset();
    n.Reset();
    std::ifstream in("app.notify.xml", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    struct stat st;
    ASSERT_EQ(stat("app.notify.xml", &st), 0);
    ASSERT_EQ(chdir(old), 0);
    EXPECT_NE(bytes.str().find("<AESAdvancedPwd256ICFIPS vt=\"8\">610062006300</AESAdvancedPwd256ICFIPS>"),
              std::string::npos)
        << bytes.str();
    EXPECT_EQ(bytes.str().find("PlainPassword"), std::string::npos);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Password, StoresAreSharedBetweenProcessesAndWorkWithoutAWritableHive)
{
    // A scheme-5 form made in one process decrypts in another (the random-number values are reused).
    const std::string file = mDir.Path() + "/form5";
    ASSERT_TRUE(InChild([&] {
        // The form's code units as they are (a form may hold any 16-bit value, unpaired surrogates too).
        const std::u16string form = PasswordStore(u"ann", u"shared", 0).Form(5);
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(form.data()), form.size() * 2);
        return 0;
    }));
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::u16string form(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(PasswordStore(u"ann", form, 5).Form(0), u"shared");

    // An unprivileged process that cannot write the machine hive still round-trips its password.
    TempDir readOnly;
    chmod(readOnly.Path().c_str(), 0755);
    ASSERT_TRUE(InChild([&] {
        setenv("FERRULE_REGISTRY_DIR", readOnly.Path().c_str(), 1);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 3;
        PasswordStore saved(u"ann", u"mine", 0);
        auto document = std::make_shared<XmlDocument>();
        bool loaded = false;
        EXPECT_EQ(document->LoadText("<Root/>", loaded), S_OK);
        ComPtr<IPropertyBag> bag;
        CXMLPropBag().CreateBag(document, document->Root().FirstChild(), bag.Out());
        if (FAILED(PasswordSaveStep(bag, saved)))
            return 4;
        PasswordStore back;
        String unreadable;
        PasswordLoadStep(bag, u"ann", back, unreadable);
        bag.Reset();
        return back.Form(0) == u"mine" ? 0 : 5;
    }));
}

TEST(PasswordConsole, TheSaveTargetFollowsTheAgentVersionChild)
{
    if (std::getenv("FERRULE_CONSOLE_CHILD") == nullptr)
        GTEST_SKIP() << "runs in a child process only";
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Quellon\\Ardentis", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    int failures = 0;
    if (PasswordSaveTarget() != 7) // no AgentVersion value yet
        ++failures;
    const std::pair<const char16_t*, int> versions[] = {{u"22.1", 7}, {u"21.0", 6}, {u"18.5", 5}, {u"11.2", 0}};
    for (auto [version, target] : versions)
    {
        RegSetValueExW(key, u"AgentVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                       static_cast<DWORD>(std::char_traits<char16_t>::length(version) * 2 + 2));
        failures += PasswordSaveTarget() != target;
    }
    RegCloseKey(key);
    std::exit(failures == 0 ? 0 : 5);
}

TEST(PasswordConsole, TheSaveTargetFollowsTheAgentVersion)
{
    // This program under a name that holds "TarnConsole.exe".
    TempDir dir;
    const std::string copy = dir.Path() + "/TarnConsole.exe";
    ASSERT_EQ(std::system(("cp /proc/" + std::to_string(getpid()) + "/exe '" + copy + "'").c_str()), 0);
    const pid_t pid = fork();
    if (pid == 0)
    {
        setenv("FERRULE_CONSOLE_CHILD", "1", 1);
        setenv("FERRULE_REGISTRY_DIR", dir.Path().c_str(), 1);
        // The copy's $ORIGIN is not the build folder: the product's libraries are found through the path.
        setenv("LD_LIBRARY_PATH", std::filesystem::read_symlink("/proc/self/exe").parent_path().c_str(), 1);
        execl(copy.c_str(), "TarnConsole.exe", "--gtest_filter=PasswordConsole.TheSaveTargetFollowsTheAgentVersionChild",
              static_cast<char*>(nullptr));
        _exit(4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Password, ADamagedRandomValueIsNeverOverwrittenAndOnlyItsFormsFail)
{
    const String form6 = PasswordStore(u"ann", u"six", 0).Form(6); // makes S1 to S4
    const std::string s4 = RandomValue(u"S4");
    ASSERT_FALSE(s4.empty());
    SetRandomValue(u"S3", "not hexadecimal");

    // A store that does not depend on S3 is made whole; S3 and its intact partner stay as they are.
    PasswordStore fresh(u"ann", u"seven", 0);
    EXPECT_EQ(fresh.Form(0), u"seven");
    EXPECT_EQ(PasswordStore(u"ann", fresh.Form(7), 7).Form(0), u"seven");
    EXPECT_FALSE(fresh.PairsStored()); // its scheme-6 form cannot be stored
    EXPECT_EQ(RandomValue(u"S3"), "not hexadecimal");
    EXPECT_EQ(RandomValue(u"S4"), s4);

    // A form that depends on it fails, naming the value.
    try
    {
        PasswordStore broken(u"ann", form6, 6);
        ADD_FAILURE() << "a scheme-6 form decrypted with a damaged S3";
    }
    catch (const Result& r)
    {
        EXPECT_NE(Utf16ToUtf8(r.Serialize()).find("Random Number\\S3"), std::string::npos) << Utf16ToUtf8(r.Serialize());
    }
    EXPECT_EQ(RandomValue(u"S3"), "not hexadecimal");

    // Only a value that is really absent is created.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quellon\\Random Number", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegDeleteValueW(key, u"S4");
    RegCloseKey(key);
    PasswordStore again(u"ann", u"again", 0);
    EXPECT_FALSE(RandomValue(u"S4").empty());
    EXPECT_NE(RandomValue(u"S4"), s4);
    EXPECT_EQ(RandomValue(u"S3"), "not hexadecimal");
}

TEST_F(Password, AnEmptyPasswordIsAnEmptyStoreThatTouchesNothing)
{
    // In a child: no form is derived, libcrypto is not opened (unless an earlier test of this process
    // did) and no random-number value is made.
    auto mapsCrypto = [] {
        std::ifstream maps("/proc/self/maps");
        const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
        return mapped.find("libcrypto") != std::string::npos;
    };
    const bool mappedBefore = mapsCrypto();
    ASSERT_TRUE(InChild([&] {
        for (int scheme = -1; scheme <= 7; ++scheme)
        {
            const PasswordStore store(u"ann", u"", scheme);
            for (int k = 0; k <= 7; ++k)
                if (!store.Form(k).empty())
                    return 10 + scheme;
            if (store.Stored() || !store.PairsStored())
                return 20;
        }
        if (!mappedBefore && mapsCrypto())
            return 30;
        struct stat st;
        return stat((mDir.Path() + "/machine.db").c_str(), &st) == 0 ? 40 : 0;
    }));
    // And nothing a file or caller sees changes: derived the long way, every form of "" is "" too.
    for (int k = 1; k <= 7; ++k)
        EXPECT_EQ(PasswordStore::Encrypt(k, u"ann", u""), u"") << k;
}

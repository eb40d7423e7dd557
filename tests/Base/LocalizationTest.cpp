#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Base/Dev/Local/Localization.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
class Localization : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RegisterMessageTables(); }
    void TearDown() override
    {
        CompiledStringProvider::Instance().ClearLocalized();
        Config::Reset("locale");
        Config::Reset("replace_this_string");
        StringRepository::SetReplaceFlag(false);
    }

    // Writes <resources>/<folder>/<name> with content.
    std::string Write(const std::string& folder, const std::string& name, const std::string& content)
    {
        const std::string dir = mDir.Path() + "/" + folder;
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
        return dir + "/" + name;
    }

    TempDir mDir;
};

std::string Text(StringId id)
{
    return Utf16ToUtf8(StringRepository::GetString(id));
}

// The codes of a Result and of its causes, flattened.
std::vector<uint32_t> Codes(const Result& r)
{
    std::vector<uint32_t> codes;
    if (r.IsSuccess())
        return codes;
    if (r.GetCode() != ERROR_ERRORS_EXIST && r.GetCode() != WARNING_WARNINGS_EXIST && r.GetCode() != INFO_INFOS_EXIST)
        return {r.GetCode()};
    for (const Argument& a : *r.Arguments())
        codes.push_back(a.GetResult().GetCode());
    return codes;
}

bool Has(const Result& r, uint32_t code)
{
    const std::vector<uint32_t> codes = Codes(r);
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}
} // namespace

TEST_F(Localization, PropertiesFileTranslates)
{
    Write("de_DE", "Ferrule.properties",
          "\xEF\xBB\xBF# Deutsche Texte\r\n"
          "IDS_TYPE_ERROR=Fehler\r\n"
          "   IDS_TYPE_INFO = Hinweis\n"
          "! IDS_TYPE_WARNING=ignored\n"
          "# IDS_PRIORITY_LOW=x\n"
          "IDS_EMAIL_SUBJECT : %1 Priorit\\u00e4t %2 \\\n"
          "     Meldung (%3) von %4 auf %5\n"
          "IDS_PRIORITY_HIGH=Hoch\\tund\\nmehr\\:\\\\\n"
          "NO_SUCH_NAME=nothing\n"
          "\n"
          "NOTIFY_ERROR_EMAIL_SEND=E-Mail konnte nicht gesendet werden.\n");
    Write("de", "Base.properties", "TRUE_TEXT=wahr\n");
    ASSERT_TRUE(Config::Set("locale", "de_DE"));
    const Result r = Localize(mDir.Path());
    EXPECT_FALSE(Has(r, 0x60070009));
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Fehler");
    EXPECT_EQ(Utf16ToUtf8(StringRepository::GetEnglishString(IDS_TYPE_ERROR)), "Error");
    EXPECT_EQ(Text(IDS_TYPE_INFO), "Hinweis");
    EXPECT_EQ(Text(IDS_TYPE_WARNING), "Warning");
    EXPECT_EQ(Text(IDS_PRIORITY_LOW), "Low");
    EXPECT_EQ(Text(IDS_EMAIL_SUBJECT), "%1 Priorität %2 Meldung (%3) von %4 auf %5");
    EXPECT_EQ(Text(IDS_PRIORITY_HIGH), "Hoch\tund\nmehr:\\");
    EXPECT_EQ(Text(0x0BAB001E), "wahr"); // the Base component, from the language folder
    EXPECT_EQ(Utf16ToUtf8(DisplayText(Result(__FILE__, __LINE__, "t", NOTIFY_ERROR_EMAIL_SEND))),
              "Error ECE3006A: E-Mail konnte nicht gesendet werden.");
    EXPECT_EQ(CurrentLocale().language, "de");
    EXPECT_EQ(CurrentLocale().country, "DE");

    // Localizing again starts from English.
    ASSERT_TRUE(Config::Set("locale", "en"));
    Localize(mDir.Path());
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Error");
}

TEST_F(Localization, MissingTranslationsAreReportedExceptForEnglish)
{
    ASSERT_TRUE(Config::Set("locale", "fr_FR.1252"));
    Write("fr", "Base.properties", "FALSE_TEXT=faux\n");
    Write("codepage", "cp1252.tbl", "# Windows-1252, in part\n0x80 0x20AC\n0xE9 0x00E9\n");
    const Result r = Localize(mDir.Path());
    ASSERT_TRUE(Has(r, 0x60070009));
    std::string missing;
    for (const Argument& a : r.GetCode() == 0x60070009 ? ArgumentList{Argument(r)} : *r.Arguments())
    {
        if (a.GetResult().GetCode() == 0x60070009)
            missing = Utf16ToUtf8((*a.GetResult().Arguments())[0].StringValue());
    }
    EXPECT_EQ(missing, "Ferrule");
    EXPECT_EQ(Text(0x0BAB001F), "faux");
    String converted;
    ASSERT_TRUE(CodePageToUtf16(1252, "\x80\xE9\x81", converted));
    EXPECT_EQ(converted, u"\u20AC\u00E9\uFFFD");

    ASSERT_TRUE(Config::Set("locale", "en_GB"));
    EXPECT_FALSE(Has(Localize(mDir.Path()), 0x60070009));

    ASSERT_TRUE(Config::Set("locale", "pt_BR.850"));
    EXPECT_TRUE(Has(Localize(mDir.Path()), LOCAL_ERROR_UNSUPPORTED_CODEPAGE_1));
}

TEST_F(Localization, BadFilesLeaveEnglish)
{
    ASSERT_TRUE(Config::Set("locale", "it"));
    const std::string empty = Write("it", "Ferrule.properties", "");
    Result r = Localize(mDir.Path());
    EXPECT_TRUE(Has(r, LOCAL_ERROR_COULDNT_LOAD_STRINGS_IN_1));
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Error");

    // An unreadable file, seen by a process that cannot read it (root reads anything).
    Write("it", "Ferrule.properties", "IDS_TYPE_ERROR=Errore\n");
    chmod(mDir.Path().c_str(), 0755);
    chmod((mDir.Path() + "/it").c_str(), 0755);
    chmod(empty.c_str(), 0000);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        const Result child = Localize(mDir.Path());
        _exit(Has(child, LOCAL_ERROR_COULDNT_LOAD_STRINGS_IN_1) && Text(IDS_TYPE_ERROR) == "Error" ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    chmod(empty.c_str(), 0644);
    Localize(mDir.Path());
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Errore");
}

TEST_F(Localization, LocaleSelection)
{
    // An item that fails the pattern is a warning and loads nothing.
    Write("de", "Ferrule.properties", "IDS_TYPE_ERROR=Fehler\n");
    for (const char* bad : {"d", "de-DE", "de_DE.65001", "../../etc"})
    {
        ASSERT_TRUE(Config::Set("locale", bad));
        const Result r = Localize(mDir.Path());
        EXPECT_EQ(r.GetCode(), 0xA0070001u) << bad;
        EXPECT_EQ(Utf16ToUtf8(DisplayText(r)), std::string("Warning A0070001: The '") + bad +
                                                   "' locale is not supported.");
        EXPECT_EQ(Text(IDS_TYPE_ERROR), "Error");
    }
    // Without the item: the environment, LC_ALL first.
    Config::Reset("locale");
    setenv("LC_ALL", "de_AT.UTF-8", 1);
    const Result r = Localize(mDir.Path());
    EXPECT_TRUE(Has(r, LOCAL_INFO_USING_1_NATIVE));
    EXPECT_EQ(CurrentLocale().codepage, "65001");
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Fehler"); // de_AT falls back to de
    setenv("LC_ALL", "C", 1);
    EXPECT_TRUE(Localize(mDir.Path()).IsSuccess());
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Error");
    unsetenv("LC_ALL");
}

TEST_F(Localization, ReplaceFlagFromConfiguration)
{
    ASSERT_TRUE(Config::Set("replace_this_string", "1"));
    Localize(mDir.Path());
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "REPLACE THIS STRING");
    EXPECT_EQ(Config::LoadCommandLine({"Ferrule.dll"}).size(), 0u);
    const std::vector<std::string> rejected = Config::LoadCommandLine({"prog", "replace_this_string=", "nope=1", "x"});
    EXPECT_EQ(rejected, (std::vector<std::string>{"nope=1", "x"}));
    Localize(mDir.Path());
    EXPECT_EQ(Text(IDS_TYPE_ERROR), "Error");
}

TEST(CodePages, Utf16LittleEndianIsBuiltIn)
{
    String converted;
    ASSERT_TRUE(CodePageToUtf16(1200, std::string("A\0\xE9\0\x3D\xD8\x00\xDE", 8), converted));
    EXPECT_EQ(converted, u"A\u00E9\xD83D\xDE00");
    ASSERT_TRUE(CodePageToUtf16(1200, std::string("A\0B", 3), converted));
    EXPECT_EQ(converted, u"A\uFFFD");
}

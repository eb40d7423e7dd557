#include "Base/Dev/Config/Config.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Utf.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

namespace
{
class Texts : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RegisterMessageTables(); }
    void TearDown() override
    {
        CompiledStringProvider::Instance().ClearLocalized();
        StringRepository::SetReplaceFlag(false);
        Config::Reset("bytes base");
    }
};

Result Make(uint32_t code)
{
    return Result(__FILE__, __LINE__, "Test", code);
}
} // namespace

TEST_F(Texts, ModuleTablesAreRegistered)
{
    EXPECT_EQ(Narrow(StringRepository::GetString(IDS_EMAIL_SUBJECT)), "%1 Priority %2 Notification (%3) from %4 on %5");
    EXPECT_EQ(Narrow(StringRepository::GetString(IDS_APP_PIPE_PATH)), "\\\\.\\PIPE\\TRAYICON_NOTIFIER");
    EXPECT_EQ(Narrow(StringRepository::GetString(NOTIFY_ERROR_HANDLERS_NOT_INITIALIZED)),
              "Handlers have not been initilized - use Initialize.");
    EXPECT_EQ(StringRepository::GetSymbolicName(NOTIFY_ERROR_CURL_LOGIN_DENIED), "NOTIFY_ERROR_CURL_LOGIN_DENIED");
    EXPECT_EQ(StringRepository::GetIdFromText("IDS_SUBJEST_TYPE_FAILURE"), IDS_SUBJEST_TYPE_FAILURE);
    EXPECT_EQ(StringRepository::ComponentFacility("Ferrule"), 3299u);
    const std::vector<std::string> components = StringRepository::ComponentNames();
    EXPECT_EQ(std::count(components.begin(), components.end(), "Ferrule"), 1);
    RegisterMessageTables(); // twice changes nothing
    EXPECT_EQ(StringRepository::ComponentNames(), components);
    // Unknown identifiers: empty text and name.
    EXPECT_TRUE(StringRepository::GetString(0x0CE30999).empty());
    EXPECT_TRUE(StringRepository::GetSymbolicName(0x0CE30999).empty());
    EXPECT_TRUE(StringRepository::FormatString(0x0CE30999, {Argument(1)}).empty());
}

TEST_F(Texts, ReplaceFlagMarksMissingTranslations)
{
    StringRepository::SetReplaceFlag(true);
    EXPECT_EQ(Narrow(StringRepository::GetString(IDS_TYPE_ERROR)), "REPLACE THIS STRING");
    EXPECT_EQ(Narrow(StringRepository::GetEnglishString(IDS_TYPE_ERROR)), "Error");
    CompiledStringProvider::Instance().StoreLocalized(IDS_TYPE_ERROR, u"Fehler");
    EXPECT_EQ(Narrow(StringRepository::GetString(IDS_TYPE_ERROR)), "Fehler");
    StringRepository::SetReplaceFlag(false);
    EXPECT_EQ(Narrow(StringRepository::GetString(IDS_TYPE_WARNING)), "Warning");
}

TEST_F(Texts, PlaceholdersAndFormatting)
{
    const std::pair<const char16_t*, size_t> counts[] = {
        {u"%1 %2 Priority %3: %4 %5 (%6)\r\n", 6}, {u"none", 0}, {u"%%1", 0}, {u"%10", 1}, {u"%9%", 9}, {u"100%", 0}};
    for (auto [text, n] : counts)
        EXPECT_EQ(CountPlaceholders(text), n) << Narrow(text);

    const ArgumentList two = {Argument(String(u"A")), Argument(String(u"B"))};
    EXPECT_EQ(Narrow(FormatText(u"%2 and %1", two)), "B and A");
    EXPECT_EQ(Narrow(FormatText(u"%%1 stays", two)), "%1 stays");
    EXPECT_EQ(Narrow(FormatText(u"[%3]", two)), "[]");
    EXPECT_EQ(Narrow(StringRepository::FormatString(IDS_LOG_ENTRY_FORMAT,
                                                    {Argument(String(u"12/9/2026 23:52")), Argument(String(u"Error")),
                                                     Argument(String(u"High")), Argument(String(u"Backup failed.")),
                                                     Argument(String(u"")), Argument(String(u"nightly"))})),
              "12/9/2026 23:52 Error Priority High: Backup failed.  (nightly)\r\n");
    // An extra StringId argument is appended as its text.
    EXPECT_EQ(Narrow(FormatText(u"Done", {Argument(StringIdValue{IDS_TYPE_WARNING, ""})})), "Done. Warning");
}

TEST_F(Texts, ArgumentDisplayTexts)
{
    Config::Set("bytes base", "1024");
    const std::pair<Argument, const char*> cases[] = {
        {Argument(true), "true"},
        {Argument(int32_t(-5)), "-5"},
        {Argument(uint64_t(18446744073709551615ull)), "18446744073709551615"},
        {Argument(2.5), "2.5"},
        {Argument(ByteCount{512}), "512 B"},
        {Argument(ByteCount{1536}), "1.5 KB"},
        {Argument(ByteCount{3ull << 30}), "3 GB"},
        {Argument(StringIdValue{IDS_PRIORITY_HIGH, ""}), "High"},
        {Argument(DateTime::FromParts(2026, 12, 9, 23, 52, 30)), "2026-12-09 23:52:30"},
    };
    for (const auto& [a, text] : cases)
        EXPECT_EQ(Narrow(DisplayText(a)), text);
    EXPECT_FALSE(Config::Set("bytes base", "1000000"));
    ASSERT_TRUE(Config::Set("bytes base", "1000"));
    EXPECT_EQ(Narrow(DisplayText(Argument(ByteCount{1500}))), "1.5 KB");
}

TEST_F(Texts, MessageTextsOfCodes)
{
    EXPECT_EQ(Narrow(GetMessageText(0x60070009, false)),
              "The localized version of '%1' does not exist. English versions of these strings will be used instead.");
    EXPECT_EQ(Narrow(GetMessageText(0, false)), "Success.");
    EXPECT_EQ(Narrow(GetMessageText(5, true)), "Access is denied.");
    EXPECT_EQ(Narrow(GetMessageText(0x80070005, false)), "Access is denied.");
    EXPECT_EQ(Narrow(GetMessageText(1234, false)), "OS error 1234.");
    EXPECT_EQ(Narrow(GetMessageText(0xEEEE0002, false)), "No such file or directory");
    EXPECT_TRUE(GetMessageText(0xECE30999, false).empty());
}

TEST_F(Texts, ResultDisplayTexts)
{
    EXPECT_EQ(Narrow(DisplayText(Result())), "Success.");
    EXPECT_EQ(Narrow(DisplayText(Make(NOTIFY_ERROR_EMAIL_SEND))), "Error ECE3006A: Unable to send notification e-mail.");
    Result top = Make(NOTIFY_ERROR_EMAIL_SEND);
    Result cause = Make(NOTIFY_ERROR_LOG_CREATE_FAILED);
    cause.GetArguments().push_back(Argument(Make(5)));
    top.GetArguments().push_back(Argument(cause));
    EXPECT_EQ(Narrow(DisplayText(top)), "Error ECE3006A: Unable to send notification e-mail.\n"
                                        "\tError ECE30068: Unable to create or open log file.\n"
                                        "\t\tError 00000005: Access is denied.");
    EXPECT_EQ(Narrow(DisplayText(Make(0xA0070009))),
              "Warning A0070009: The localized version of '' does not exist. English versions of these strings will "
              "be used instead.");
    Result sum = Make(NOTIFY_ERROR_LOG_WRITE_FAILED);
    sum += Make(0x60070003);
    EXPECT_EQ(Narrow(DisplayText(sum)), "Error EBAB0005: \n\tError ECE30069: Unable to write into log file.\n"
                                        "\tInfo 60070003: Using '', the native locale for the OS.");
    // A translated frame and message.
    CompiledStringProvider::Instance().StoreLocalized(0x0BAB0457, u"Fehler %1: %2");
    CompiledStringProvider::Instance().StoreLocalized(NOTIFY_ERROR_EMAIL_SEND, u"E-Mail nicht gesendet.");
    EXPECT_EQ(Narrow(DisplayText(Make(NOTIFY_ERROR_EMAIL_SEND))), "Fehler ECE3006A: E-Mail nicht gesendet.");
    EXPECT_EQ(Narrow(DisplayText(Make(NOTIFY_ERROR_EMAIL_SEND), true)),
              "Error ECE3006A: Unable to send notification e-mail.");
}

namespace
{
class Fixed : public StringProvider
{
public:
    bool GetLocalized(StringId, String&) const override { return false; }
    bool GetEnglish(StringId id, String& text) const override
    {
        if (id != 0x0ABC0001)
            return false;
        text = u"from another provider";
        return true;
    }
    bool HasEnglish(StringId id) const override { return id == 0x0ABC0001; }
};
} // namespace

TEST_F(Texts, ProvidersAreAskedInOrder)
{
    try
    {
        StringRepository::RegisterProvider(nullptr);
        ADD_FAILURE();
    }
    catch (const PreconditionFailure& e)
    {
        EXPECT_EQ(e.Expression(), "provider");
    }
    static Fixed fixed;
    StringRepository::RegisterProvider(&fixed);
    StringRepository::RegisterProvider(&fixed); // once only
    const std::vector<StringProvider*> providers = StringRepository::Providers();
    EXPECT_EQ(std::count(providers.begin(), providers.end(), &fixed), 1);
    EXPECT_EQ(providers.front(), &CompiledStringProvider::Instance()); // localized providers stay first
    EXPECT_EQ(Narrow(StringRepository::GetString(0x0ABC0001)), "from another provider");
}

TEST(StringRepositoryNames, RegisteringTwiceChangesNothing)
{
    RegisterMessageTables();
    RegisterMessageTables();
    EXPECT_EQ(StringRepository::GetIdFromText("IDS_SUBJEST_TYPE_FAILURE", 0), IDS_SUBJEST_TYPE_FAILURE);
    EXPECT_EQ(StringRepository::GetIdFromText("IDS_SUBJEST_TYPE_FAILURE", 1), 0u);
}

#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Platform/Win32/Utf.h"

#include "TestSupport.h"
#include <gtest/gtest.h>

#include <vector>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace
{
class Results : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RegisterMessageTables(); }
};

Result Make(uint32_t code)
{
    return Result(__FILE__, __LINE__, "Test", code);
}

Result WithString(uint32_t code, const String& text)
{
    Result r = Make(code);
    r.GetArguments().push_back(Argument(text));
    return r;
}

// Expects a CheckFailure or PreconditionFailure whose expression text is expected.
template <class Failure, class F>
void ExpectFailure(F f, const std::string& expected)
{
    try
    {
        f();
        ADD_FAILURE() << "no failure raised; expected " << expected;
    }
    catch (const Failure& e)
    {
        EXPECT_EQ(e.Expression(), expected);
    }
}
} // namespace

TEST_F(Results, SerializedFormsOfTheExamples)
{
    EXPECT_EQ(Narrow(Result().Serialize()), "Result (0 15 GENERIC_SUCCESS )");
    EXPECT_EQ(Narrow(Make(NOTIFY_ERROR_EMAIL_SEND).Serialize()),
              "Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [0];)<9 1.0-*-*-* >");
    EXPECT_EQ(Narrow(WithString(NOTIFY_ERROR_EMAIL_SEND, u"abc").Serialize()),
              "Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [1] Arg (0xbab000d 3 abc);)<9 1.0-*-*-* >");
    EXPECT_EQ(Narrow(Make(0xE1230001).Serialize()), "Result (0xe1230001 0  Args [0];)<9 1.0-*-*-* >");

    Result container = Make(0xE1230001);
    Argument list = Argument::EmptyContainer();
    EXPECT_EQ(Narrow(list.Serialize()), "Arg (0)");
    list[0] = Argument(String(u"a"));
    list[1] = Argument(String(u"b"));
    EXPECT_EQ(Narrow(list.Serialize()), "Arg (0xbab0014 2 Arg (0xbab000d 1 a) Arg (0xbab000d 1 b))");
}

TEST_F(Results, ReadBackRoundTrips)
{
    // Success, and a result with every serializable argument type, nested results included.
    EXPECT_TRUE(DeserializeResult(String(u"Result (0 15 GENERIC_SUCCESS )")).IsSuccess());

    Result cause = WithString(NOTIFY_ERROR_LOG_CREATE_FAILED, u"/var/log/x");
    Result r = Make(NOTIFY_ERROR_EMAIL_SEND);
    ArgumentList& args = r.GetArguments();
    args.push_back(Argument(true));
    args.push_back(Argument(int8_t(-3)));
    args.push_back(Argument(uint8_t(200)));
    args.push_back(Argument(int16_t(-30000)));
    args.push_back(Argument(uint16_t(60000)));
    args.push_back(Argument(int32_t(-7)));
    args.push_back(Argument(uint32_t(0xECE30068)));
    args.push_back(Argument(int64_t(-1)));
    args.push_back(Argument(uint64_t(1) << 40));
    args.push_back(Argument(ByteCount{4096}));
    args.push_back(Argument(1.5f));
    args.push_back(Argument(0.25));
    args.push_back(Argument(String(u"text with ) Arg ( ; and\r\nline breaks")));
    args.push_back(Argument(cause));
    args.push_back(Argument(StringIdValue{IDS_TYPE_ERROR, ""}));
    args.push_back(Argument(DateTime::FromParts(2026, 12, 9, 23, 52, 30, 1234567)));
    args.push_back(Argument(DateTime::FromParts(2026, 12, 9)));
    Argument list = Argument::EmptyContainer();
    list[0] = Argument(String(u"a"));
    args.push_back(list);
    args.push_back(Argument::EmptyContainer());

    const String text = r.Serialize();
    Result back = DeserializeResult(text);
    ASSERT_EQ(back.GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    EXPECT_EQ(Narrow(back.GetName()), "NOTIFY_ERROR_EMAIL_SEND");
    ASSERT_EQ(back.Arguments()->size(), args.size());
    for (size_t i = 0; i < args.size(); ++i)
    {
        const Argument& got = (*back.Arguments())[i];
        if (args[i].GetType() == DATATYPE_RESULT) // results compare by identity; compare their text
            EXPECT_EQ(Narrow(got.GetResult().Serialize()), Narrow(cause.Serialize()));
        else
            EXPECT_TRUE(got == args[i]) << "argument " << i << ": " << Narrow(got.Serialize());
    }
    EXPECT_EQ(back.Serialize(), text); // and writes the same text again
    EXPECT_EQ(Narrow((*back.Arguments())[15].DateTimeValue().ToText()), "2026-12-09T23:52:30.1234567Z");
    EXPECT_EQ(Narrow((*back.Arguments())[16].DateTimeValue().ToText()), "2026-12-09Z");
}

TEST_F(Results, ReaderEdges)
{
    // An embedded NUL cuts the text read back.
    const char16_t raw[] = u"Result (0xe1230001 0  Args [1] Arg (0xbab000d 3 a\0b);)";
    const String withNul(raw, sizeof raw / sizeof raw[0] - 1);
    Result cut = DeserializeResult(withNul);
    EXPECT_EQ(Narrow((*cut.Arguments())[0].StringValue()), "a");
    EXPECT_TRUE(cut.GetName().empty()); // no registered name either

    // A following character other than "<" stays unread; the end right after ")" is fine.
    WideReader reader(u"Result (0xece3006a 0  Args [0];)X");
    EXPECT_EQ(DeserializeResult(reader).GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    EXPECT_EQ(reader.Position(), 32u);
    EXPECT_EQ(DeserializeResult(String(u"Result (0xece3006a 0  Args [0];)")).Context()->Combined(), u"1.0-*-*-*");

    // A context that does not parse is dropped, so the result writes none.
    Result odd = DeserializeResult(String(u"Result (0xece3006a 0  Args [0];)<7 garbage >"));
    EXPECT_FALSE(odd.Context()->Valid());
    EXPECT_EQ(Narrow(odd.Serialize()), "Result (0xece3006a 23 NOTIFY_ERROR_EMAIL_SEND Args [0];)");
    Result other = DeserializeResult(String(u"Result (0xece3006a 0  Args [0];)<11 2.0-a-b-cde >"));
    EXPECT_EQ(Narrow(other.Context()->Combined()), "2.0-a-b-cde");
}

TEST_F(Results, MalformedTextRaisesTheNamedCheck)
{
    const std::pair<const char16_t*, const char*> cases[] = {
        {u"Resul (0 15 GENERIC_SUCCESS )", "String (data).compare (StringLiteral (\"Result (\")) == 0"},
        {u"", "String (data).compare (StringLiteral (\"Result (\")) == 0"},
        {u"Result (0 15 GENERIC_SUCCESS ]", "String (data).compare (StringLiteral (\")\")) == 0"},
        {u"Result (zz 15 GENERIC_SUCCESS )", "String (data).compare (StringLiteral (\")\")) == 0"},
        {u"Result (0x1 0  Arg [0];)", "String (data).compare (StringLiteral (\"Args [\")) == 0"},
        {u"Result (0x1 0  Args [1;)", "String (data).compare (StringLiteral (\"]\")) == 0"},
        {u"Result (0x1 0  Args [0])", "String (data).compare (StringLiteral (\";\")) == 0"},
        {u"Result (0x1 0  Args [1] Ar (0xbab000d 1 a);)", "String (data).compare (StringLiteral (\"Arg (\")) == 0"},
        {u"Result (0x1 0  Args [1] Arg (0xbab000d 5 a);)", "String (data).compare (StringLiteral (\")\")) == 0"},
        {u"Result (0x1 0  Args [0];)<3 a-b ]", "String (data1).compare (StringLiteral (\">\")) == 0"},
        {u"Result (0x1 0  Args [1] Arg (0xbab0011);)", "Unknown Argument Data Type"},
        {u"Result (0x1 0  Args [1] Arg (0xbab0001 maybe);)", "String (data).compare (StringLiteral (\")\")) == 0"},
        {u"Result (0x1 99999999999999999999 x", "String (data).compare (StringLiteral (\")\")) == 0"},
    };
    for (auto [text, expression] : cases)
        ExpectFailure<CheckFailure>([&] { DeserializeResult(String(text)); }, expression);

    // Hostile nesting is refused, not followed until the stack runs out.
    String deep;
    for (int i = 0; i < 5000; ++i)
        deep += u"Result (0x1 0  Args [1] Arg (0xbab0012 ";
    ExpectFailure<CheckFailure>([&] { DeserializeResult(deep); }, "Result nesting too deep");
}

TEST_F(Results, ForeignCodesAreWrittenAsOsErrors)
{
    Result five = Make(5);
    five.GetArguments().push_back(Argument(int32_t(7)));
    const String text = five.Serialize();
    EXPECT_EQ(Narrow(text), "Result (0xebab03f1 14 ERROR_OS_ERROR Args [2] Arg (0xbab000d 17 Access is denied.) "
                            "Arg (0xbab0006 0x7);)<9 1.0-*-*-* >");
    EXPECT_EQ(DeserializeResult(text).GetCode(), ERROR_OS_ERROR);
    // A C runtime error number under 0xEEE is foreign too.
    EXPECT_EQ(DeserializeResult(Result::FromOsError(2, true).Serialize()).GetCode(), ERROR_OS_ERROR);
}

TEST_F(Results, SeverityFacilityAndOsErrors)
{
    const std::pair<uint32_t, uint32_t> severities[] = {
        {0, 0}, {5, 3}, {0x80004005, 2}, {0x6BAB0007, 1}, {0xECE3006A, 3}, {0x1FFFFFFF, 3}, {0x20000001, 0}};
    for (auto [code, severity] : severities)
        EXPECT_EQ(Result::SeverityOf(code), severity) << std::hex << code;
    EXPECT_EQ(Make(0xECE3006A).GetFacility(), 0xCE3u);
    EXPECT_EQ(Result().GetFacility(), 0u);

    EXPECT_EQ(Result::FromOsError(34, false).GetCode(), 0xEBAB001Bu);
    EXPECT_EQ(Result::FromOsError(317, false).GetCode(), 0xEBAB002Bu);
    EXPECT_EQ(Narrow(Result::FromOsError(216, false).GetName()), "ERROR_WIN_ERROR_EXE_MACHINE_TYPE_MISMATCH");
    EXPECT_EQ(Result::FromOsError(5, false).GetCode(), 5u);
    EXPECT_EQ(Result::FromOsError(0x12345, true).GetCode(), 0xEEEE2345u);
    EXPECT_TRUE(Result::FromOsError(0, false).IsSuccess());
}

TEST_F(Results, AggregationStaysFlat)
{
    Result error = Make(NOTIFY_ERROR_EMAIL_SEND);
    Result warning = Make(0xA0070009);
    Result info = Make(0x60070003);

    Result sum;
    sum += Result(); // success + success
    EXPECT_TRUE(sum.IsSuccess());
    sum += error; // success + x copies x
    EXPECT_EQ(sum.GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    sum += Result();
    EXPECT_EQ(sum.GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    sum += warning;
    ASSERT_EQ(sum.GetCode(), ERROR_ERRORS_EXIST);
    ASSERT_EQ(sum.Arguments()->size(), 2u);
    EXPECT_EQ((*sum.Arguments())[0].GetResult().GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    EXPECT_EQ((*sum.Arguments())[1].GetResult().GetCode(), 0xA0070009u);
    sum += info;
    EXPECT_EQ(sum.Arguments()->size(), 3u);

    Result other = warning;
    other += info;
    EXPECT_EQ(other.GetCode(), WARNING_WARNINGS_EXIST);
    sum += other; // an aggregate's causes are appended, not the aggregate
    ASSERT_EQ(sum.Arguments()->size(), 5u);
    EXPECT_EQ((*sum.Arguments())[4].GetResult().GetCode(), 0x60070003u);

    Result infos = info;
    infos += info;
    EXPECT_EQ(infos.GetCode(), INFO_INFOS_EXIST);
}

TEST_F(Results, ContainsSkipsTheMessagesOwnInserts)
{
    // ERROR_OS_ERROR has one placeholder: a RESULT in slot 1 fills it and is not searched.
    Result inner = Make(NOTIFY_ERROR_LOG_WRITE_FAILED);
    Result filled = Make(ERROR_OS_ERROR);
    filled.GetArguments().push_back(Argument(inner));
    EXPECT_FALSE(filled.Contains(NOTIFY_ERROR_LOG_WRITE_FAILED));
    filled.GetArguments().push_back(Argument(inner));
    EXPECT_TRUE(filled.Contains(NOTIFY_ERROR_LOG_WRITE_FAILED));

    // Any depth, and the result's own code.
    Result top = Make(NOTIFY_ERROR_EMAIL_SEND);
    Result middle = Make(NOTIFY_ERROR_EMAIL_CONFIG);
    middle.GetArguments().push_back(Argument(Make(0xECE30072)));
    top.GetArguments().push_back(Argument(middle));
    EXPECT_TRUE(top.Contains(0xECE30072));
    EXPECT_TRUE(top.Contains(NOTIFY_ERROR_EMAIL_SEND));
    EXPECT_FALSE(top.Contains(0xECE30073));
    EXPECT_FALSE(Make(NOTIFY_ERROR_EMAIL_SEND).Contains(0xECE30072));
}

TEST_F(Results, AccessorsCheckTheirUse)
{
    ExpectFailure<PreconditionFailure>([] { Result().GetArguments(); }, "mRep");
    ExpectFailure<PreconditionFailure>([] { Result r; r.Init(__FILE__, __LINE__, "f", kSuccess); },
                                       "code != kSuccess");
    ExpectFailure<PreconditionFailure>([] { Argument(1).GetResult(); }, "type == DATATYPE_RESULT");
    ExpectFailure<PreconditionFailure>([] { Argument(1).GetStringId(); }, "type == DATATYPE_STRINGID");
    ExpectFailure<PreconditionFailure>([] { Argument(String(u"x")).GetArguments(); },
                                       "type == DATATYPE_ARGUMENT_CONTAINER || type == DATATYPE_EMPTY");
    Argument list; // EMPTY becomes a container on first use
    list[0] = Argument(1);
    EXPECT_EQ(list.GetType(), DATATYPE_ARGUMENT_CONTAINER);
    ExpectFailure<CheckFailure>([&] { list[2]; }, "index < container.size()");
    EXPECT_EQ(list.GetArguments().size(), 1u); // nothing changed before the raise
    ExpectFailure<CheckFailure>([] { Argument().Serialize(); }, "Unknown Argument Data Type");

    Result r;
    r.Init(__FILE__, __LINE__, "f", NOTIFY_ERROR_EMAIL_SEND, Argument(String(u"a")), Argument(2));
    EXPECT_EQ(r.Arguments()->size(), 2u);
    EXPECT_EQ(Argument(StringIdValue{IDS_TYPE_ERROR, ""}).GetStringId(), IDS_TYPE_ERROR);
    EXPECT_EQ(Argument(StringIdValue{IDS_TYPE_ERROR, ""}).GetStringIdSymName(), "IDS_TYPE_ERROR");
}

TEST_F(Results, AssertionMessageFormat)
{
    const CheckFailure withFunction("Result.cpp", 12, "DeserializeResult", "a == b");
    EXPECT_STREQ(withFunction.what(), "CHECK failed, DeserializeResult: Result.cpp(12): a == b.");
    const PreconditionFailure without("x.cpp", 3, "", "p");
    EXPECT_STREQ(without.what(), "PRECONDITION failed, x.cpp(3): p.");
    const AssertionFailure plain("y.cpp", 1, nullptr, std::string(1000, 'e').c_str());
    EXPECT_EQ(std::string(plain.what()).size(), 512u);
}

TEST_F(Results, CopiesAreValuesAndArgumentsCopyDeeply)
{
    Result a = Make(NOTIFY_ERROR_EMAIL_SEND);
    Result b = a;
    b.GetArguments().push_back(Argument(1));
    EXPECT_EQ(a.Arguments(), nullptr); // a change through one copy is not seen through the other
    ASSERT_NE(b.Arguments(), nullptr);
    EXPECT_EQ(b.Arguments()->size(), 1u);
    Result c = b;
    c.GetArguments().push_back(Argument(2));
    EXPECT_EQ(b.Arguments()->size(), 1u);
    EXPECT_EQ(c.Arguments()->size(), 2u);
    EXPECT_LT(b.Serialize().size(), c.Serialize().size());

    Argument s(String(u"deep"));
    Argument t = s;
    t = t; // self-assignment does nothing
    EXPECT_TRUE(t == s);
    EXPECT_NE(&t.StringValue(), &s.StringValue());
    Argument fromCode(ResultCode{NOTIFY_ERROR_LOAD_FAILED});
    EXPECT_EQ(fromCode.GetResult().GetCode(), NOTIFY_ERROR_LOAD_FAILED);
    EXPECT_FALSE(fromCode.GetResult().HasArguments());
}

namespace
{
std::vector<uint32_t> gEntries;
void Record(const Result& r, const char*, int, const char*, bool)
{
    gEntries.push_back(r.GetCode());
}
} // namespace

TEST_F(Results, CreationEntriesFollowTheSuppressionRules)
{
    gEntries.clear();
    SetResultEntryFunction(&Record);
    Make(NOTIFY_ERROR_EMAIL_SEND);
    Make(0x60070003);  // informational
    Make(0xA7D10008);  // process-wide suppression set
    Make(0x20000005);  // severity 0 but native: not informational, written
    PushSuppressedResultCode(NOTIFY_ERROR_LOAD_FAILED);
    PushSuppressedResultCode(NOTIFY_ERROR_LOAD_FAILED);
    Make(NOTIFY_ERROR_LOAD_FAILED);
    PopSuppressedResultCode(NOTIFY_ERROR_LOAD_FAILED);
    Make(NOTIFY_ERROR_LOAD_FAILED); // one occurrence left
    PopSuppressedResultCode(NOTIFY_ERROR_LOAD_FAILED);
    Make(NOTIFY_ERROR_LOAD_FAILED);
    Result sum = Make(0xECE30066);
    sum += Make(0xECE30067); // the aggregate itself writes nothing
    SetResultEntryFunction(nullptr);
    const std::vector<uint32_t> expected = {NOTIFY_ERROR_EMAIL_SEND, 0x20000005, NOTIFY_ERROR_LOAD_FAILED, 0xECE30066,
                                            0xECE30067};
    EXPECT_EQ(gEntries, expected);
}

TEST(ResultText, NumbersAndDatesDoNotFollowTheLocale)
{
    // A host that switched its C locale to one with a decimal comma.
    const std::string locales = "/tmp/ferrule-test-locales";
    mkdir(locales.c_str(), 0755);
    setenv("LOCPATH", locales.c_str(), 1);
    // Made before the first attempt: the C library remembers a locale it could not load.
    struct stat st;
    if (stat((locales + "/de_DE.UTF-8").c_str(), &st) != 0)
        std::system(("localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1").c_str());
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%g", 1.5);
    EXPECT_STREQ(probe, "1,5"); // the locale is in force
    Result r;
    r.Init("ResultTest", __LINE__, "Locale", NOTIFY_ERROR_EMAIL_SEND);
    r.GetArguments().push_back(Argument(1.5));
    const String text = r.Serialize();
    setlocale(LC_ALL, "C");
    EXPECT_NE(Narrow(text).find("1.5"), std::string::npos) << Narrow(text);
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    Result back = DeserializeResult(text);
    setlocale(LC_ALL, "C");
    ASSERT_EQ(back.GetCode(), NOTIFY_ERROR_EMAIL_SEND);
    EXPECT_DOUBLE_EQ((*back.Arguments())[0].RealValue(), 1.5);

    // Impossible dates are refused, leap days are not.
    DateTime dt;
    EXPECT_FALSE(DateTime::FromText(u"2024-02-30Z", dt));
    EXPECT_FALSE(DateTime::FromText(u"2023-02-29Z", dt));
    EXPECT_FALSE(DateTime::FromText(u"2026-04-31Z", dt));
    EXPECT_TRUE(DateTime::FromText(u"2024-02-29Z", dt));
    EXPECT_EQ(Narrow(dt.ToText()), "2024-02-29Z");
}

#include "Base/Dev/Global/Encoders.h"

#include <gtest/gtest.h>

TEST(Base64, KnownVectorsBothWays)
{
    // RFC 4648 test vectors.
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, encoded] : cases)
    {
        EXPECT_EQ(Base64Encode(plain), encoded);
        std::string back;
        ASSERT_TRUE(Base64Decode(encoded, back)) << encoded;
        EXPECT_EQ(back, plain);
    }
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, RejectsBadText)
{
    std::string out;
    EXPECT_FALSE(Base64Decode("Zm9", out));
    EXPECT_FALSE(Base64Decode("Zm9!", out));
    EXPECT_FALSE(Base64Decode("Z===", out));
}

TEST(Utf, RoundTripAndReplacement)
{
    const std::string text = "Grüße \xF0\x9F\x93\xA7 mail";
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide.size(), 13u); // the envelope is a surrogate pair
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD"); // truncated sequence
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

#include "Platform/Com/OleAuto.h"

#include <gtest/gtest.h>

#include <string>

TEST(Bstr, LengthsKeepEmbeddedNuls)
{
    const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
    BSTR b = SysAllocStringLen(text, 5);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(SysStringByteLen(b), 10u);
    EXPECT_EQ(std::u16string(b, 5), std::u16string(text, 5));
    EXPECT_EQ(b[5], 0); // always terminated
    SysFreeString(b);
}

TEST(Bstr, ByteLengthMayBeOdd)
{
    BSTR b = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    EXPECT_EQ(reinterpret_cast<const char*>(b)[3], 0);
    SysFreeString(b);
}

TEST(Bstr, NullIsEmpty)
{
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
    BSTR zeroed = SysAllocStringLen(nullptr, 3);
    EXPECT_EQ(SysStringLen(zeroed), 3u);
    EXPECT_EQ(zeroed[0], 0);
    SysFreeString(zeroed);
}

TEST(Bstr, ReAllocFromItsOwnText)
{
    BSTR b = SysAllocString(u"Notification");
    ASSERT_TRUE(SysReAllocString(&b, b + 6)); // the source lies inside the target
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"cation");
    ASSERT_TRUE(SysReAllocStringLen(&b, u"xyz", 2));
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"xy");
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
    SysFreeString(b);
}

TEST(Guid, TextRoundTrip)
{
    const GUID g = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    GUID back;
    ASSERT_EQ(IIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, g);
    ASSERT_EQ(GuidFromBracedString(u"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", &back), S_OK);
    EXPECT_EQ(back, g);
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);
}

TEST(Guid, RejectsMalformedTextAndZeroesOutput)
{
    const char16_t* bad[] = {
        u"",
        u"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",   // no braces
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",   // short
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F99}", // long
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8G9}",  // not hex
        u"{0A1B2C3D4-E5F-6071-8293-A4B5C6D7E8F9}",  // dash moved
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",   // closing brace missing, at length 38
        u"{+A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}",  // sign
    };
    for (const char16_t* text : bad)
    {
        GUID g;
        std::memset(&g, 0xAB, sizeof g);
        EXPECT_EQ(GuidFromBracedString(text, &g), CO_E_CLASSSTRING) << std::string(text, text + 1);
        EXPECT_EQ(g, GUID_NULL);
    }
    GUID g;
    EXPECT_EQ(IIDFromString(nullptr, &g), CO_E_CLASSSTRING);
}

TEST(VarBstrCmp, OrdersTexts)
{
    BSTR a = SysAllocString(u"{00000000-0000-0000-0000-00000000000A}");
    BSTR b = SysAllocString(u"{00000000-0000-0000-0000-00000000000B}");
    BSTR lowerB = SysAllocString(u"{00000000-0000-0000-0000-00000000000b}");
    BSTR empty = SysAllocString(u"");
    EXPECT_EQ(VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(b, a, LOCALE_USER_DEFAULT, 0), VARCMP_GT);
    EXPECT_EQ(VarBstrCmp(a, a, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_NE(VarBstrCmp(b, lowerB, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(b, lowerB, LOCALE_USER_DEFAULT, NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, empty, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, a, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(a, empty, LOCALE_USER_DEFAULT, 0), VARCMP_GT);
    for (BSTR s : {a, b, lowerB, empty})
        SysFreeString(s);
}

#include "Platform/Com/OleAuto.h"

#include <gtest/gtest.h>

TEST(SafeArray, VectorOfVariants)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 1, 3);
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(sa), 1u);
    LONG lower = 0, upper = 0;
    ASSERT_EQ(SafeArrayGetLBound(sa, 1, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(sa, 1, &upper), S_OK);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(SafeArrayGetLBound(sa, 2, &lower), DISP_E_BADINDEX);
    VARTYPE vt;
    ASSERT_EQ(SafeArrayGetVartype(sa, &vt), S_OK);
    EXPECT_EQ(vt, VT_VARIANT);

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"element");
    LONG index = 2;
    ASSERT_EQ(SafeArrayPutElement(sa, &index, &text), S_OK);
    VariantClear(&text); // the array holds its own copy

    index = 4;
    EXPECT_EQ(SafeArrayPutElement(sa, &index, &text), DISP_E_BADINDEX);
    index = 0;
    EXPECT_EQ(SafeArrayGetElement(sa, &index, &text), DISP_E_BADINDEX);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(sa, &copy), S_OK);
    ASSERT_EQ(SafeArrayDestroy(sa), S_OK);

    VARIANT out;
    index = 2;
    ASSERT_EQ(SafeArrayGetElement(copy, &index, &out), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(out.bstrVal), u"element");
    VariantClear(&out);
    index = 1;
    ASSERT_EQ(SafeArrayGetElement(copy, &index, &out), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);

    ASSERT_EQ(SafeArrayLock(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnlock(copy), S_OK);
    EXPECT_EQ(SafeArrayUnlock(copy), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

TEST(SafeArray, ArrayInVariantIsOwned)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_NE(copy.parray, v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
}

namespace
{
SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0)
{
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return st;
}
} // namespace

TEST(OleDate, SystemTimeBothWays)
{
    struct Row
    {
        SYSTEMTIME st;
        DATE date;
        WORD dayOfWeek;
    } rows[] = {
        {Make(1899, 12, 30), 0.0, 6},
        {Make(1900, 1, 1), 2.0, 1},
        {Make(2023, 3, 15, 12), 45000.5, 3},
        {Make(2026, 12, 9, 18), 46365.75, 3},
        {Make(1899, 12, 29, 6), -1.25, 5}, // negative days, time still forward
        {Make(100, 1, 1), -657434.0, 5},
        {Make(9999, 12, 31), 2958465.0, 5},
    };
    for (const Row& r : rows)
    {
        DATE d = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&r.st, &d)) << r.st.wYear;
        EXPECT_DOUBLE_EQ(d, r.date);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(r.date, &back)) << r.date;
        EXPECT_EQ(back.wYear, r.st.wYear);
        EXPECT_EQ(back.wMonth, r.st.wMonth);
        EXPECT_EQ(back.wDay, r.st.wDay);
        EXPECT_EQ(back.wHour, r.st.wHour);
        EXPECT_EQ(back.wDayOfWeek, r.dayOfWeek) << r.date;
    }
}

TEST(OleDate, RoundsToTheSecondAndRejectsBadFields)
{
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(45000.0 + 0.4999999 / 86400.0, &st));
    EXPECT_EQ(st.wSecond, 0);
    ASSERT_TRUE(VariantTimeToSystemTime(45000.99999999, &st)); // rounds into the next day
    EXPECT_EQ(st.wDay, 16);
    EXPECT_EQ(st.wHour, 0);
    EXPECT_FALSE(VariantTimeToSystemTime(3e6, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(-700000.0, &st));

    DATE d;
    const SYSTEMTIME bad[] = {Make(2023, 2, 29), Make(2023, 13, 1), Make(2023, 4, 31), Make(99, 1, 1),
                              Make(2023, 1, 1, 24), Make(2023, 1, 1, 0, 60)};
    for (const SYSTEMTIME& b : bad)
        EXPECT_FALSE(SystemTimeToVariantTime(&b, &d)) << b.wYear << "-" << b.wMonth << "-" << b.wDay;
    SYSTEMTIME leap = Make(2024, 2, 29);
    EXPECT_TRUE(SystemTimeToVariantTime(&leap, &d));
}

#include "Platform/Com/Calendar.h"
#include "Platform/Com/OleAuto.h"

#include <cmath>

namespace
{
bool IsLeap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

const int64_t kEpochOffset = 25569; // 1970-01-01 as a DATE
const double kMinDate = -657434.0;  // 0100-01-01
const double kMaxDate = 2958465.99999999;
} // namespace

// A negative DATE counts whole days backwards but its fraction still moves forward in the day:
// -1.25 is 29 December 1899, 06:00.
INT VariantTimeToSystemTime(DATE time, LPSYSTEMTIME st)
{
    if (st == nullptr || !(time >= kMinDate && time <= kMaxDate))
        return FALSE;
    double whole = std::trunc(time);
    double fraction = std::fabs(time - whole);
    int64_t seconds = std::llround(fraction * 86400.0);
    if (seconds >= 86400)
    {
        // Rounded up to midnight: the next calendar day, which is whole + 1 on both sides of 0.
        seconds -= 86400;
        whole += 1;
    }
    const int64_t days = static_cast<int64_t>(whole) - kEpochOffset;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    if (y < 100 || y > 9999)
        return FALSE;
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    const int64_t dow = (days % 7 + 7 + 4) % 7; // 1970-01-01 was a Thursday (4)
    st->wDayOfWeek = static_cast<WORD>(dow);
    st->wHour = static_cast<WORD>(seconds / 3600);
    st->wMinute = static_cast<WORD>(seconds / 60 % 60);
    st->wSecond = static_cast<WORD>(seconds % 60);
    st->wMilliseconds = 0;
    return TRUE;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* time)
{
    if (st == nullptr || time == nullptr)
        return FALSE;
    if (st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59)
        return FALSE;
    const double days = static_cast<double>(DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kEpochOffset);
    const double fraction = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
    *time = days >= 0 ? days + fraction : days - fraction;
    return TRUE;
}

// Locale-dependent date and time text from the process's LC_TIME locale (taken from the environment:
// LC_ALL, LC_TIME, LANG), and the computer's name.
#pragma once

#include "Platform/Win32/Errors.h"

#define DATE_SHORTDATE 0x00000001
#define DATE_LONGDATE 0x00000002
#define TIME_NOSECONDS 0x00000002
#define TIME_FORCE24HOURFORMAT 0x00000008

// The locale's date format (nl_langinfo D_FMT) with the year in four digits; "12/09/2026" in the C
// locale. A null time is today. Answers the characters written with the terminator, or 0 with
// ERROR_INSUFFICIENT_BUFFER / ERROR_INVALID_PARAMETER; size 0 asks for the size needed.
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR buffer, int size);
// The locale's time format (T_FMT); with TIME_FORCE24HOURFORMAT "HH:MM:SS", seconds kept unless
// TIME_NOSECONDS.
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR buffer, int size);

#define MAX_COMPUTERNAME_LENGTH 15
// gethostname up to the first ".", cut to the buffer; *size in: characters available with the
// terminator, out: characters written (or needed, with ERROR_BUFFER_OVERFLOW).
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);

// The local time now (time and localtime_r).
void GetLocalTime(SYSTEMTIME* time);

#define CP_ACP 0
#define CP_UTF8 65001

// The ANSI code page: the code set of the environment's LC_CTYPE locale (LC_ALL, LC_CTYPE, LANG) as a
// code-page number; the C/POSIX locale counts as UTF-8 (65001), as Linux programs treat it.
UINT GetACP();
// Code-page conversions through iconv (CP_ACP is GetACP()). Characters the code page cannot hold
// become "?" (usedDefault set); the sizes are in bytes and UTF-16 units, -1 for a terminated input
// (the terminator then counts); a size of 0 for the output asks for the size needed.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, char* out, int outSize,
                        const char* defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length, LPWSTR out, int outSize);

// Localization: the locale, translations from ".properties" files and code-page tables.
//
// Resource folder layout: <folder>/<candidate>/<Component>.properties, where the candidates are tried
// from the most specific form to the language alone: "de_DE.1252", "de_DE", "de". Code-page tables:
// <folder>/codepage/cp<number>.tbl, one mapping per line "0xBB 0xUUUU" (a byte and the UTF-16 code
// unit it stands for); blank lines and lines starting with "#" are ignored; unmapped bytes read as
// U+FFFD. Code pages 65001 (UTF-8), 1200 (UTF-16), 20127 (ASCII) and 28591 (Latin-1) are built in.
#pragma once

#include "Base/Dev/Global/Result.h"

#include <string>
#include <string_view>

struct LocaleInfo
{
    std::string language; // lower case, e.g. "de"; empty: no translation (C/POSIX)
    std::string country;  // upper case, e.g. "DE"
    std::string codepage; // digits, e.g. "1252" or "65001"
    std::string Text() const;
};

// The "locale" configuration item, or else LC_ALL / LC_MESSAGES / LANG. An item that does not match
// "[A-Za-z]{2,}(_[A-Za-z]{2,}(\.[0-9]{1,4})?)?" gives the warning 0xA0070001 and no locale.
Result LoadLocale(LocaleInfo& locale);
// The translation of every registered component for the locale.
Result LoadLocalizedStrings(const std::string& resourceFolder, const LocaleInfo& locale);
// Reads one ".properties" file into the compiled provider's localized texts, keys resolved preferring
// the given facility. A file that cannot be read adds 0xE0070008.
Result LoadStringsFile(const std::string& path, uint32_t facility);
// The parsing part of LoadStringsFile, for content already read (UTF-8, optional byte-order mark).
void LoadStringsText(std::string content, uint32_t facility);
Result LoadCodepages(const std::string& resourceFolder, const LocaleInfo& locale);
// <folder>/<candidate>/<fileName> when it is a regular file, else "".
std::string FindResFile(const std::string& folder, const std::string& candidate, const std::string& fileName);
// Selects the locale and loads its translations; English stays for anything not translated.
Result Localize(const std::string& resourceFolder, uint32_t flags = 0);
const LocaleInfo& CurrentLocale();
// "[app]" in a path template is the folder of the running program.
std::string ResolveResourceFolder(const std::string& pathTemplate);

// Bytes in a loaded or built-in code page as UTF-16; false for a code page not loaded.
bool CodePageToUtf16(uint32_t codepage, std::string_view bytes, String& out);

// The string repository: every user-visible text by its 32-bit identifier, in the current language or
// in English, with its symbolic name; message texts of result codes; display texts of Arguments and
// Results with "%1".."%9" placeholders and appended causes.
#pragma once

#include "Base/Dev/Global/Result.h"

#include <initializer_list>
#include <map>
#include <mutex>
#include <string_view>
#include <string>
#include <vector>

// Compiled tables: (identifier, English text) and (identifier, symbolic name), in the same order.
struct TextEntry
{
    StringId id;
    const char16_t* text;
};
struct NameEntry
{
    StringId id;
    const char* name;
};

// A text split into literal runs and placeholders.
struct ParsedTemplate
{
    struct Piece
    {
        String literal;  // when placeholder is 0
        int placeholder; // 1..9
    };
    std::vector<Piece> pieces;
    size_t placeholderCount = 0;
};
ParsedTemplate ParseTemplate(const String& text);

// An abstract source of texts.
class StringProvider
{
public:
    virtual ~StringProvider() = default;
    virtual bool GetLocalized(StringId id, String& text) const = 0;
    virtual bool GetEnglish(StringId id, String& text) const = 0;
    virtual bool HasEnglish(StringId id) const = 0;
    virtual void StoreLocalized(StringId /*id*/, const String& /*text*/) {}
    virtual bool AcceptsLocalized() const { return false; }
    virtual void ClearLocalized() {}
    // The identifier of the matchNumber-th text equal to text (counting matchNumber down), or 0.
    virtual StringId IdOfText(const String& /*text*/, int& /*matchNumber*/) const { return 0; }
    // The parsed form of an identifier's current text, cached; null when the provider keeps none.
    virtual const ParsedTemplate* CachedTemplate(StringId /*id*/) { return nullptr; }
};

// The texts compiled into the program, and the translations loaded for them.
class CompiledStringProvider : public StringProvider
{
public:
    // The process's provider, registered with the repository when first used.
    static CompiledStringProvider& Instance();

    // Enters the English texts (pointers into the table, not copies) and the component's name.
    static void AddTable(const TextEntry* table, size_t count, const char* componentName);
    // One English entry; text must outlive the process (a compiled table's).
    void StoreEnglish(StringId id, const char16_t* text);

    bool GetLocalized(StringId id, String& text) const override;
    bool GetEnglish(StringId id, String& text) const override;
    bool HasEnglish(StringId id) const override;
    void StoreLocalized(StringId id, const String& text) override;
    bool AcceptsLocalized() const override { return true; }
    void ClearLocalized() override;
    StringId IdOfText(const String& text, int& matchNumber) const override;
    const ParsedTemplate* CachedTemplate(StringId id) override;

private:
    std::map<StringId, String> mLocalized;
    std::map<StringId, const char16_t*> mEnglish;
    std::mutex mTemplateMutex; // templates are cached on lookup, from any thread
    std::map<StringId, ParsedTemplate> mTemplates;
};

class StringRepository
{
public:
    static void RegisterProvider(StringProvider* provider);
    static void RegisterComponent(const std::string& componentName, uint32_t facility);
    static void AddNames(const NameEntry* table, size_t count);
    // A name known only at run time.
    static void AddName(StringId id, const std::string& name);

    static String GetString(StringId id);
    static String GetEnglishString(StringId id);
    static String FormatString(StringId id, const ArgumentList& arguments = {});
    static String FormatEnglishString(StringId id, const ArgumentList& arguments = {});
    // FormatString with text arguments only (the same text), without making an Argument of each.
    static String FormatTexts(StringId id, std::initializer_list<std::u16string_view> texts);
    static std::string GetSymbolicName(StringId id);
    // Every identifier with a symbolic name, in the order of the identifiers.
    static std::vector<std::pair<StringId, std::string>> SymbolicNames();
    // The identifier named name; matchNumber equal names are skipped first. 0 when none.
    static StringId GetIdFromText(const std::string& name, int matchNumber = 0);

    // Components whose ".properties" files are looked for, in registration order.
    static std::vector<std::string> ComponentNames();
    static void AddComponentName(const std::string& name);
    // The facility registered for a component, or 0.
    static uint32_t ComponentFacility(const std::string& name);

    static void SetReplaceFlag(bool set);
    static bool ReplaceFlag();
    static void SetCurrentFacility(uint32_t facility);
    static uint32_t CurrentFacility();
    static std::vector<StringProvider*> Providers();

    // The text returned for a missing translation while the replace flag is set.
    static const char16_t* const kDefaultText;
};

// The message text of a result code, foreign codes and C runtime error numbers included.
String GetMessageText(uint32_t code, bool english);
// The highest digit 1..9 that follows a "%" ("%%" skipped as a pair).
size_t CountPlaceholders(const String& text);

// Display texts: placeholders filled from the arguments; extra RESULT arguments appended as causes
// after a line break and one tab per nesting level, extra STRINGID arguments as their texts.
String DisplayText(const Argument& argument, bool english = false);
String DisplayText(const Result& result, bool english = false);
// Fills template's placeholders from arguments and appends the causes (level 0: one tab).
String FormatText(const String& text, const ArgumentList& arguments, bool english = false, int level = 0,
                  const String& separator = u"\n");

// Common-library identifiers used by the formatting itself.
constexpr StringId TRUE_TEXT = 0x0BAB001E;
constexpr StringId FALSE_TEXT = 0x0BAB001F;
constexpr StringId BYTES_ABBREV = 0x0BAB002B;
constexpr StringId RESULTSTR_SUCCESS = 0x0BAB0455;
constexpr StringId RESULTSTR_OS_ERROR_1 = 0x0BAB0456;
constexpr StringId ERROR_NUM_TEXT = 0x0BAB0457;
constexpr StringId WARNING_NUM_TEXT = 0x0BAB0458;
constexpr StringId INFO_NUM_TEXT = 0x0BAB0459;
constexpr StringId LOG_FULL_MESSAGE = 0x0BAB27D8;
constexpr StringId DEBUGLOG_FULL_MESSAGE = 0x0BAB27D9;
constexpr uint32_t ERROR_CHECK_FAILED = 0xEBAB03F8;
constexpr uint32_t ERROR_PRECONDITION_FAILED = 0xEBAB03F9;
constexpr uint32_t ERROR_FROM_STRING_INVALID_CHARACTERS = 0xEBAB03FA;
constexpr uint32_t LOCAL_INFO_UNSUPPORTED_LOCALE_1 = 0x60070001;
constexpr uint32_t LOCAL_INFO_ALREADY_LOCALIZED = 0x60070002;
constexpr uint32_t LOCAL_INFO_USING_1_NATIVE = 0x60070003;
constexpr uint32_t LOCAL_INFO_LANG_1_CANT_DISPLAY_IN_CONSOLE = 0x60070004;
constexpr uint32_t LOCAL_INFO_UNSUPPORTED_LANG_1 = 0x60070005;
constexpr uint32_t LOCAL_INFO_UNSUPPORTED_REGION_1 = 0x60070006;
constexpr uint32_t LOCAL_ERROR_NO_LOCALE_LOADED = 0xE0070007;
constexpr uint32_t LOCAL_ERROR_COULDNT_LOAD_STRINGS_IN_1 = 0xE0070008;
constexpr uint32_t LOCAL_WARNING_STRINGS_FILE_1_MISSING = 0xA0070009;
constexpr uint32_t LOCAL_ERROR_UNSUPPORTED_CODEPAGE_1 = 0xE007000A;

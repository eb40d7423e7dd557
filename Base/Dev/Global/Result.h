// Result: the status value of the system. Success is the empty Result; anything else is a 32-bit code
// with an ordered list of typed Arguments (message inserts and nested causes), shared by reference
// count, thrown as an exception, aggregated with +=, and written to and read from a text form.
//
// Code layout: bits 31-30 severity (0 success, 1 info, 2 warning, 3 error), bit 29 native flag,
// bit 28 reserved, bits 27-16 facility (0xBAB common library, 0xCE3 the module, 0xEEE a C runtime
// error number), bits 15-0 number.
#pragma once

#include "Base/Dev/Global/Exceptions.h"
#include "Base/Dev/Global/Types.h"

#include <string>
#include <string_view>
#include <variant>
#include <vector>

constexpr uint32_t kFacilityBase = 0xBAB;
constexpr uint32_t kFacilityNotify = 0xCE3;
constexpr uint32_t kFacilityCRuntime = 0xEEE;
constexpr uint32_t kNativeFlag = 0x20000000;

// Argument type tags; they are also StringIds of the common library naming the types.
enum ArgumentType : uint32_t
{
    DATATYPE_BOOL = 0x0BAB0001,
    DATATYPE_INT8_T = 0x0BAB0002,
    DATATYPE_UINT8_T = 0x0BAB0003,
    DATATYPE_INT16_T = 0x0BAB0004,
    DATATYPE_UINT16_T = 0x0BAB0005,
    DATATYPE_INT32_T = 0x0BAB0006,
    DATATYPE_UINT32_T = 0x0BAB0007,
    DATATYPE_INT64_T = 0x0BAB0008,
    DATATYPE_UINT64_T = 0x0BAB0009,
    DATATYPE_FLOAT = 0x0BAB000A,
    DATATYPE_DOUBLE = 0x0BAB000B,
    DATATYPE_LONG_DOUBLE = 0x0BAB000C,
    DATATYPE_STRING = 0x0BAB000D,
    DATATYPE_CHAR = 0x0BAB000E,
    DATATYPE_WCHAR = 0x0BAB000F,
    DATATYPE_BYTES = 0x0BAB0010,
    DATATYPE_EMPTY = 0x0BAB0011,
    DATATYPE_RESULT = 0x0BAB0012,
    DATATYPE_ARGUMENT = 0x0BAB0013,
    DATATYPE_ARGUMENT_CONTAINER = 0x0BAB0014,
    DATATYPE_STRINGID = 0x0BAB0015,
    DATATYPE_DATETIME = 0x0BAB0016,
};

// Common-library codes the result machinery itself uses.
constexpr uint32_t ERROR_ERRORS_EXIST = 0xEBAB0005;
constexpr uint32_t WARNING_WARNINGS_EXIST = 0xABAB0006;
constexpr uint32_t INFO_INFOS_EXIST = 0x6BAB0007;
constexpr uint32_t ERROR_OS_ERROR = 0xEBAB03F1;

// The three codes of aggregated results.
inline bool IsAggregateCode(uint32_t code)
{
    return code == ERROR_ERRORS_EXIST || code == WARNING_WARNINGS_EXIST || code == INFO_INFOS_EXIST;
}

// A moment as a count of 100-nanosecond units since 0001-01-01 00:00:00 UTC.
struct DateTime
{
    int64_t ticks = 0;

    static DateTime FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                              int fraction100ns = 0);
    // "YYYY-MM-DD[THH:MM:SS[.fffffff]]Z": the time only when the moment has one, the fraction only
    // when it is not zero.
    String ToText() const;
    // Reads the form ToText writes; false when it does not parse.
    static bool FromText(const String& text, DateTime& out);
    bool operator==(const DateTime& o) const { return ticks == o.ticks; }
};

// Typed holders for the constructors whose C++ type would otherwise be a plain integer.
struct ByteCount
{
    uint64_t count;
};
struct ResultCode
{
    uint32_t code;
};
struct StringIdValue
{
    StringId id;
    std::string symbolicName; // empty: looked up when asked for
};

// Version "1.0" and three categories "*"; combined "1.0-*-*-*".
class ResultContext
{
public:
    ResultContext();
    void Clear();
    // Accepts "version-category-category-category": four non-empty parts without blanks.
    bool Parse(const String& text);
    bool Valid() const { return mValid; }
    const String& Combined() const { return mCombined; }

private:
    String mVersion;
    String mCategories[3];
    String mCombined;
    bool mValid;
};

struct ResultRep;
class Argument;
using ArgumentList = std::vector<Argument>;

class Result
{
public:
    Result() noexcept = default;
    // Code 0 gives success. Any other code gets a new representation and offers the creation entry.
    Result(const char* file, int line, const char* function, uint32_t code);
    Result(const Result& other) noexcept;
    Result(Result&& other) noexcept;
    Result& operator=(const Result& other) noexcept;
    Result& operator=(Result&& other) noexcept;
    ~Result();

    // Becomes a new Result with code and up to nine arguments (defaulted slots give none).
    // Code 0 raises PreconditionFailure "code != kSuccess".
    void Init(const char* file, int line, const char* function, uint32_t code, const Argument& a1 = NoArgument(),
              const Argument& a2 = NoArgument(), const Argument& a3 = NoArgument(), const Argument& a4 = NoArgument(),
              const Argument& a5 = NoArgument(), const Argument& a6 = NoArgument(), const Argument& a7 = NoArgument(),
              const Argument& a8 = NoArgument(), const Argument& a9 = NoArgument());

    bool IsSuccess() const { return mRep == nullptr; }
    uint32_t GetCode() const;
    uint32_t GetSeverity() const;
    uint32_t GetFacility() const;
    // The argument list, created empty on first use; on success raises PreconditionFailure "mRep". A copy
    // shares its representation until one of them changes its arguments (copy on write).
    ArgumentList& GetArguments();
    // The list or null, without creating it.
    const ArgumentList* Arguments() const;
    bool HasArguments() const;
    // "GENERIC_SUCCESS", the cached name, or the registered symbolic name (cached); else empty.
    String GetName() const;
    // Whether this code, or a RESULT argument past the message's own placeholders (at any depth),
    // carries code.
    bool Contains(uint32_t code) const;
    // Aggregation: the worst severity's aggregate code with the causes flat in order.
    Result& operator+=(const Result& right);
    // The text form; foreign codes are written as ERROR_OS_ERROR with the system's text first.
    String Serialize() const;
    void SerializeTo(String& out) const;
    const ResultContext* Context() const;

    // A Windows error number as a Result: wrapped as a C runtime error number under 0xEEE, or
    // translated through the OS-error table (else the foreign code itself).
    static Result FromOsError(uint32_t number, bool wrap);
    // The calling thread's last Windows error, translated.
    static Result FromLastOsError();

    static uint32_t SeverityOf(uint32_t code);
    // The shared "no argument" sentinel of Init's empty slots.
    static const Argument& NoArgument();

private:
    explicit Result(ResultRep* rep) noexcept : mRep(rep) {}
    const String& NameRef() const;
    void Release() noexcept;
    static ResultRep* NewRep(uint32_t code);

    ResultRep* mRep = nullptr;

    friend class Argument;
    friend Result DeserializeResult(class WideReader& reader);
};

// Reads wide text like a stream: white space is skipped before numbers, failures stick.
class WideReader
{
public:
    explicit WideReader(std::u16string_view text) : mText(text) {}
    bool Failed() const { return mFailed; }
    bool AtEnd() const { return mPos >= mText.size(); }
    void Fail() { mFailed = true; }
    size_t Position() const { return mPos; }
    void SkipWhite();
    // Exactly n characters, or fewer and the failed state.
    String Read(size_t n);
    bool Get(char16_t& c);
    void Unget();
    // Hexadecimal with an optional "0x"; decimal; floating point. White space first.
    bool ReadHex(uint64_t& value);
    bool ReadDecimal(uint64_t& value);
    bool ReadDouble(double& value);
    // A counted text: decimal length, one character skipped, that many characters (cut at a NUL).
    bool ReadCounted(String& text);

private:
    std::u16string_view mText;
    size_t mPos = 0;
    bool mFailed = false;
};

Result DeserializeResult(WideReader& reader);
Result DeserializeResult(const String& text);
// When text begins with "Result (" and reads as a whole Result: true and result replaced; otherwise
// false and result unchanged (no exception).
bool TryDeserializeResult(std::u16string_view text, Result& result);

class Argument
{
public:
    Argument() noexcept : mType(DATATYPE_EMPTY) {}
    Argument(bool v);
    Argument(int8_t v);
    Argument(uint8_t v);
    Argument(int16_t v);
    Argument(uint16_t v);
    Argument(int32_t v);
    Argument(uint32_t v);
    Argument(int64_t v);
    Argument(uint64_t v);
    Argument(float v);
    Argument(double v);
    Argument(long double v);
    Argument(const String& v);
    Argument(String&& v);
    Argument(const char16_t* v);
    Argument(ByteCount v);
    Argument(const Result& v);
    Argument(ResultCode v); // a new Result with that code and no arguments
    Argument(const StringIdValue& v);
    Argument(DateTime v);
    static Argument EmptyContainer();

    Argument(const Argument& other) = default;
    Argument(Argument&& other) noexcept;
    Argument& operator=(const Argument& other) = default;
    Argument& operator=(Argument&& other) noexcept;
    ~Argument() = default;

    uint32_t GetType() const { return mType; }
    bool operator==(const Argument& other) const;
    bool operator!=(const Argument& other) const { return !(*this == other); }

    // For a container or an EMPTY argument (which becomes an empty container).
    ArgumentList& GetArguments();
    // On a container; index == size grows it by one EMPTY element.
    Argument& operator[](size_t index);
    Result GetResult() const;
    StringId GetStringId() const;
    std::string GetStringIdSymName() const;

    // Typed access for display and serialization.
    bool BoolValue() const { return Held<bool>(false); }
    int64_t SignedValue() const;
    uint64_t UnsignedValue() const;
    double RealValue() const;
    const String& StringValue() const;
    DateTime DateTimeValue() const;
    const ArgumentList* Elements() const { return std::get_if<ArgumentList>(&mValue); }

    void SerializeTo(String& out) const;
    String Serialize() const;
    static Argument DeserializeArgument(WideReader& reader);
    static void DeserializeArguments(WideReader& reader, ArgumentList& into);
    static Argument RealDeserializeArgument(WideReader& reader);

private:
    // The value held, or fallback when the argument holds another kind.
    template <class T>
    T Held(T fallback) const
    {
        const T* value = std::get_if<T>(&mValue);
        return value ? *value : fallback;
    }

    // The kind as the argument was made (its declared width, a byte count, a long double): mType; the
    // value: signed integers and narrower unsigned ones as int64_t, unsigned 64-bit ones and byte counts
    // as uint64_t, reals as float or double.
    uint32_t mType;
    std::variant<std::monostate, bool, int64_t, uint64_t, float, double, String, Result, ArgumentList, StringId,
                 DateTime>
        mValue;
    std::string mSymName; // STRINGID only: the symbolic name given with it, "" when none was
};

struct ResultRep
{
    int32_t refCount = 1;
    uint32_t code = 0;
    String name;
    ResultContext context;
    ArgumentList* arguments = nullptr;
};

// The accessors every writer of the text form calls, inline.
inline uint32_t Result::GetCode() const
{
    return mRep ? mRep->code : kSuccess;
}

inline uint32_t Result::GetFacility() const
{
    return (GetCode() >> 16) & 0xFFF;
}

inline const ArgumentList* Result::Arguments() const
{
    return mRep ? mRep->arguments : nullptr;
}

// ---- Creation entries (written by the debug log)

// Receives the creation entry of a non-success Result that passed the suppression rules; fromInit
// tells that the entry lists the arguments.
using ResultEntryFunction = void (*)(const Result& result, const char* file, int line, const char* function,
                                     bool fromInit);
void SetResultEntryFunction(ResultEntryFunction function);
// The calling thread's suppression list: codes whose creation writes no entry.
void PushSuppressedResultCode(uint32_t code);
void PopSuppressedResultCode(uint32_t code);
// Informational codes, the process-wide set (0xA7D10008) and the thread's list.
bool IsResultEntrySuppressed(uint32_t code);

// The location form used throughout: RESULT_AT("CNotifyEmail::Notify", code).
#define RESULT_AT(function, code) Result(__FILE__, __LINE__, function, code)

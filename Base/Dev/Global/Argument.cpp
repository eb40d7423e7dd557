#include "Base/Dev/Global/ResultText.h"

#include <utility>
#include "Base/Dev/Global/StringRepository.h"
#include "Platform/Com/Calendar.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <cwctype>
#include <memory>
#include <set>


// ---- Argument

Argument::Argument(bool v) : mType(DATATYPE_BOOL), mValue(v)
{
}
#define FERRULE_ARGUMENT_SCALAR(Type, Tag, Held)                                                             \
    Argument::Argument(Type v) : mType(Tag), mValue(static_cast<Held>(v))                                   \
    {                                                                                                      \
    }
FERRULE_ARGUMENT_SCALAR(int8_t, DATATYPE_INT8_T, int64_t)
FERRULE_ARGUMENT_SCALAR(uint8_t, DATATYPE_UINT8_T, int64_t)
FERRULE_ARGUMENT_SCALAR(int16_t, DATATYPE_INT16_T, int64_t)
FERRULE_ARGUMENT_SCALAR(uint16_t, DATATYPE_UINT16_T, int64_t)
FERRULE_ARGUMENT_SCALAR(int32_t, DATATYPE_INT32_T, int64_t)
FERRULE_ARGUMENT_SCALAR(uint32_t, DATATYPE_UINT32_T, int64_t)
FERRULE_ARGUMENT_SCALAR(int64_t, DATATYPE_INT64_T, int64_t)
FERRULE_ARGUMENT_SCALAR(uint64_t, DATATYPE_UINT64_T, uint64_t)
FERRULE_ARGUMENT_SCALAR(float, DATATYPE_FLOAT, float)
FERRULE_ARGUMENT_SCALAR(double, DATATYPE_DOUBLE, double)
FERRULE_ARGUMENT_SCALAR(long double, DATATYPE_LONG_DOUBLE, double)
#undef FERRULE_ARGUMENT_SCALAR

Argument::Argument(const String& v) : mType(DATATYPE_STRING), mValue(v)
{
}

Argument::Argument(String&& v) : mType(DATATYPE_STRING), mValue(std::move(v))
{
}

Argument::Argument(const char16_t* v) : Argument(String(v ? v : u""))
{
}

Argument::Argument(ByteCount v) : mType(DATATYPE_BYTES), mValue(static_cast<uint64_t>(v.count))
{
}

Argument::Argument(const Result& v) : mType(DATATYPE_RESULT), mValue(v)
{
}

Argument::Argument(ResultCode v) : Argument(Result(__FILE__, __LINE__, "Argument::Argument", v.code))
{
}

Argument::Argument(const StringIdValue& v) : mType(DATATYPE_STRINGID), mValue(v.id), mSymName(v.symbolicName)
{
}

Argument::Argument(DateTime v) : mType(DATATYPE_DATETIME), mValue(v)
{
}

Argument Argument::EmptyContainer()
{
    Argument a;
    a.mType = DATATYPE_ARGUMENT_CONTAINER;
    a.mValue = ArgumentList();
    return a;
}

// A moved-from argument is empty, as the text form and the comparisons expect.
Argument::Argument(Argument&& other) noexcept
    : mType(std::exchange(other.mType, DATATYPE_EMPTY)), mValue(std::exchange(other.mValue, std::monostate())),
      mSymName(std::move(other.mSymName))
{
}

Argument& Argument::operator=(Argument&& other) noexcept
{
    if (this != &other)
    {
        mType = std::exchange(other.mType, DATATYPE_EMPTY);
        mValue = std::exchange(other.mValue, std::monostate());
        mSymName = std::move(other.mSymName);
        other.mSymName.clear();
    }
    return *this;
}

int64_t Argument::SignedValue() const
{
    if (const bool* b = std::get_if<bool>(&mValue))
        return *b;
    if (const int64_t* i = std::get_if<int64_t>(&mValue))
        return *i;
    if (const uint64_t* u = std::get_if<uint64_t>(&mValue))
        return static_cast<int64_t>(*u);
    if (const StringId* id = std::get_if<StringId>(&mValue))
        return *id;
    return 0;
}

uint64_t Argument::UnsignedValue() const
{
    if (const uint64_t* u = std::get_if<uint64_t>(&mValue))
        return *u;
    return static_cast<uint64_t>(SignedValue());
}

double Argument::RealValue() const
{
    if (const float* f = std::get_if<float>(&mValue))
        return *f;
    return Held<double>(0);
}

const String& Argument::StringValue() const
{
    static const String empty;
    const String* text = std::get_if<String>(&mValue);
    return text ? *text : empty;
}

DateTime Argument::DateTimeValue() const
{
    return Held<DateTime>(DateTime{});
}

bool Argument::operator==(const Argument& other) const
{
    if (mType != other.mType)
        return false;
    switch (mType)
    {
    case DATATYPE_RESULT:
        // The same Result, not an equal one.
        return std::get<Result>(mValue).mRep == std::get<Result>(other.mValue).mRep;
    case DATATYPE_DATETIME: return DateTimeValue() == other.DateTimeValue();
    case DATATYPE_STRINGID: return GetStringId() == other.GetStringId();
    case DATATYPE_BOOL: case DATATYPE_INT8_T: case DATATYPE_UINT8_T: case DATATYPE_INT16_T: case DATATYPE_UINT16_T:
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: case DATATYPE_INT64_T: case DATATYPE_UINT64_T: case DATATYPE_BYTES:
        return UnsignedValue() == other.UnsignedValue();
    case DATATYPE_FLOAT: case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: return RealValue() == other.RealValue();
    case DATATYPE_STRING: return StringValue() == other.StringValue();
    case DATATYPE_EMPTY: return true;
    case DATATYPE_ARGUMENT_CONTAINER: return *Elements() == *other.Elements();
    default: CHECK_FAILED("Invalid kind.");
    }
}

ArgumentList& Argument::GetArguments()
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetArguments", type == DATATYPE_ARGUMENT_CONTAINER || type == DATATYPE_EMPTY);
    mType = DATATYPE_ARGUMENT_CONTAINER;
    if (!std::holds_alternative<ArgumentList>(mValue))
        mValue = ArgumentList();
    return std::get<ArgumentList>(mValue);
}

Argument& Argument::operator[](size_t index)
{
    ArgumentList& container = GetArguments();
    if (index == container.size())
        container.emplace_back();
    CHECK(index < container.size());
    return container[index];
}

Result Argument::GetResult() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetResult", type == DATATYPE_RESULT);
    return std::get<Result>(mValue);
}

StringId Argument::GetStringId() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringId", type == DATATYPE_STRINGID);
    return std::get<StringId>(mValue);
}

std::string Argument::GetStringIdSymName() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringIdSymName", type == DATATYPE_STRINGID);
    return !mSymName.empty() ? mSymName : StringRepository::GetSymbolicName(std::get<StringId>(mValue));
}

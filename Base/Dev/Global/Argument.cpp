#include "Base/Dev/Global/ResultText.h"
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

Argument::Argument(bool v) : mType(DATATYPE_BOOL)
{
    mValue.u64 = 0;
    mValue.b = v;
}
#define FERRULE_ARGUMENT_SCALAR(Type, Tag, member)                                                           \
    Argument::Argument(Type v) : mType(Tag)                                                                \
    {                                                                                                      \
        mValue.u64 = 0;                                                                                    \
        mValue.member = v;                                                                                 \
    }
FERRULE_ARGUMENT_SCALAR(int8_t, DATATYPE_INT8_T, i8)
FERRULE_ARGUMENT_SCALAR(uint8_t, DATATYPE_UINT8_T, u8)
FERRULE_ARGUMENT_SCALAR(int16_t, DATATYPE_INT16_T, i16)
FERRULE_ARGUMENT_SCALAR(uint16_t, DATATYPE_UINT16_T, u16)
FERRULE_ARGUMENT_SCALAR(int32_t, DATATYPE_INT32_T, i32)
FERRULE_ARGUMENT_SCALAR(uint32_t, DATATYPE_UINT32_T, u32)
FERRULE_ARGUMENT_SCALAR(int64_t, DATATYPE_INT64_T, i64)
FERRULE_ARGUMENT_SCALAR(uint64_t, DATATYPE_UINT64_T, u64)
FERRULE_ARGUMENT_SCALAR(float, DATATYPE_FLOAT, f)
FERRULE_ARGUMENT_SCALAR(double, DATATYPE_DOUBLE, d)
#undef FERRULE_ARGUMENT_SCALAR

Argument::Argument(long double v) : mType(DATATYPE_LONG_DOUBLE)
{
    mValue.d = static_cast<double>(v);
}

Argument::Argument(const String& v) : mType(DATATYPE_STRING)
{
    mValue.s = new String(v);
}

Argument::Argument(String&& v) : mType(DATATYPE_STRING)
{
    mValue.s = new String(std::move(v));
}

Argument::Argument(const char16_t* v) : Argument(String(v ? v : u""))
{
}

Argument::Argument(ByteCount v) : mType(DATATYPE_BYTES)
{
    mValue.u64 = v.count;
}

Argument::Argument(const Result& v) : mType(DATATYPE_RESULT)
{
    mValue.r = v.mRep;
    if (mValue.r)
        ++mValue.r->refCount;
}

Argument::Argument(ResultCode v) : Argument(Result(__FILE__, __LINE__, "Argument::Argument", v.code))
{
}

Argument::Argument(const StringIdValue& v) : mType(DATATYPE_STRINGID)
{
    mValue.u64 = 0;
    mValue.id = v.id;
    if (!v.symbolicName.empty())
        mSymName = new std::string(v.symbolicName);
}

Argument::Argument(DateTime v) : mType(DATATYPE_DATETIME)
{
    mValue.dt = new int64_t(v.ticks);
}

Argument Argument::EmptyContainer()
{
    Argument a;
    a.mType = DATATYPE_ARGUMENT_CONTAINER;
    a.mValue.c = nullptr;
    return a;
}

void Argument::CopyFrom(const Argument& other)
{
    mType = other.mType;
    mValue = other.mValue;
    mSymName = nullptr;
    switch (mType)
    {
    case DATATYPE_STRING: mValue.s = new String(*other.mValue.s); break;
    case DATATYPE_RESULT:
        if (mValue.r)
            ++mValue.r->refCount;
        break;
    case DATATYPE_ARGUMENT_CONTAINER:
        mValue.c = other.mValue.c ? new ArgumentList(*other.mValue.c) : nullptr;
        break;
    case DATATYPE_DATETIME: mValue.dt = new int64_t(*other.mValue.dt); break;
    case DATATYPE_STRINGID:
        if (other.mSymName)
            mSymName = new std::string(*other.mSymName);
        break;
    default: break;
    }
}

void Argument::Free() noexcept
{
    switch (mType)
    {
    case DATATYPE_STRING: delete mValue.s; break;
    case DATATYPE_RESULT:
    {
        Result released(mValue.r); // adopts the reference and drops it
        break;
    }
    case DATATYPE_ARGUMENT_CONTAINER: delete mValue.c; break;
    case DATATYPE_DATETIME: delete mValue.dt; break;
    default: break;
    }
    delete mSymName;
    mSymName = nullptr;
    mType = DATATYPE_EMPTY;
    mValue.u64 = 0;
}

Argument::Argument(const Argument& other)
{
    CopyFrom(other);
}

Argument::Argument(Argument&& other) noexcept : mType(other.mType), mValue(other.mValue), mSymName(other.mSymName)
{
    other.mType = DATATYPE_EMPTY;
    other.mValue.u64 = 0;
    other.mSymName = nullptr;
}

Argument& Argument::operator=(const Argument& other)
{
    if (this != &other)
    {
        Argument copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Argument& Argument::operator=(Argument&& other) noexcept
{
    if (this != &other)
    {
        Free();
        mType = other.mType;
        mValue = other.mValue;
        mSymName = other.mSymName;
        other.mType = DATATYPE_EMPTY;
        other.mValue.u64 = 0;
        other.mSymName = nullptr;
    }
    return *this;
}

Argument::~Argument()
{
    Free();
}

int64_t Argument::SignedValue() const
{
    switch (mType)
    {
    case DATATYPE_BOOL: return mValue.b;
    case DATATYPE_INT8_T: return mValue.i8;
    case DATATYPE_UINT8_T: return mValue.u8;
    case DATATYPE_INT16_T: return mValue.i16;
    case DATATYPE_UINT16_T: return mValue.u16;
    case DATATYPE_INT32_T: return mValue.i32;
    case DATATYPE_UINT32_T: return mValue.u32;
    case DATATYPE_STRINGID: return mValue.id;
    default: return mValue.i64;
    }
}

uint64_t Argument::UnsignedValue() const
{
    switch (mType)
    {
    case DATATYPE_UINT64_T:
    case DATATYPE_BYTES: return mValue.u64;
    default: return static_cast<uint64_t>(SignedValue());
    }
}

double Argument::RealValue() const
{
    return mType == DATATYPE_FLOAT ? mValue.f : mValue.d;
}

const String& Argument::StringValue() const
{
    static const String empty;
    return mType == DATATYPE_STRING ? *mValue.s : empty;
}

DateTime Argument::DateTimeValue() const
{
    return mType == DATATYPE_DATETIME ? DateTime{*mValue.dt} : DateTime{};
}

bool Argument::operator==(const Argument& other) const
{
    if (mType != other.mType)
        return false;
    switch (mType)
    {
    case DATATYPE_BOOL: return mValue.b == other.mValue.b;
    case DATATYPE_INT8_T: case DATATYPE_UINT8_T: case DATATYPE_INT16_T: case DATATYPE_UINT16_T:
    case DATATYPE_INT32_T: case DATATYPE_UINT32_T: case DATATYPE_INT64_T: case DATATYPE_UINT64_T:
        return SignedValue() == other.SignedValue();
    case DATATYPE_BYTES: return mValue.u64 == other.mValue.u64;
    case DATATYPE_FLOAT: return mValue.f == other.mValue.f;
    case DATATYPE_DOUBLE: case DATATYPE_LONG_DOUBLE: return mValue.d == other.mValue.d;
    case DATATYPE_STRING: return *mValue.s == *other.mValue.s;
    case DATATYPE_RESULT: return mValue.r == other.mValue.r;
    case DATATYPE_EMPTY: return true;
    case DATATYPE_ARGUMENT_CONTAINER:
    {
        const size_t a = mValue.c ? mValue.c->size() : 0;
        const size_t b = other.mValue.c ? other.mValue.c->size() : 0;
        return a == b && (a == 0 || *mValue.c == *other.mValue.c);
    }
    case DATATYPE_STRINGID: return mValue.id == other.mValue.id;
    case DATATYPE_DATETIME: return *mValue.dt == *other.mValue.dt;
    default: CHECK_FAILED("Invalid kind.");
    }
}

ArgumentList& Argument::GetArguments()
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetArguments", type == DATATYPE_ARGUMENT_CONTAINER || type == DATATYPE_EMPTY);
    mType = DATATYPE_ARGUMENT_CONTAINER;
    if (type == DATATYPE_EMPTY)
        mValue.c = nullptr;
    if (mValue.c == nullptr)
        mValue.c = new ArgumentList();
    return *mValue.c;
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
    if (mValue.r)
        ++mValue.r->refCount;
    return Result(mValue.r);
}

StringId Argument::GetStringId() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringId", type == DATATYPE_STRINGID);
    return mValue.id;
}

std::string Argument::GetStringIdSymName() const
{
    const uint32_t type = mType;
    PRECONDITION_IN("Argument::GetStringIdSymName", type == DATATYPE_STRINGID);
    return mSymName ? *mSymName : StringRepository::GetSymbolicName(mValue.id);
}


// Failed checks: AssertionFailure and its two kinds, raised by the CHECK and PRECONDITION macros.
#pragma once

#include <stdexcept>
#include <string>

class AssertionFailure : public std::runtime_error
{
public:
    // Message: "<kind> failed, <function>: <file>(<line>): <expression>." in at most 512 characters.
    AssertionFailure(const char* file, int line, const char* function, const char* expression,
                     const char* kind = "Assertion");

    const std::string& File() const { return mFile; }
    int Line() const { return mLine; }
    const std::string& Function() const { return mFunction; }
    const std::string& Expression() const { return mExpression; }
    // Function names of the frames where the failure was raised; the call-stack naming facility of
    // this system names no frames, so the list is empty.
    const std::string& CallStack() const { return mCallStack; }

private:
    std::string mFile;
    int mLine;
    std::string mFunction;
    std::string mExpression;
    std::string mCallStack;
};

class CheckFailure : public AssertionFailure
{
public:
    CheckFailure(const char* file, int line, const char* function, const char* expression)
        : AssertionFailure(file, line, function, expression, "CHECK")
    {
    }
};

class PreconditionFailure : public AssertionFailure
{
public:
    PreconditionFailure(const char* file, int line, const char* function, const char* expression)
        : AssertionFailure(file, line, function, expression, "PRECONDITION")
    {
    }
};

// The expression text is the condition as written, e.g. "index < container.size()".
#define CHECK(condition)                                                                                     \
    do                                                                                                     \
    {                                                                                                      \
        if (!(condition))                                                                                  \
            throw CheckFailure(__FILE__, __LINE__, __func__, #condition);                                   \
    } while (false)

#define PRECONDITION(condition)                                                                              \
    do                                                                                                     \
    {                                                                                                      \
        if (!(condition))                                                                                  \
            throw PreconditionFailure(__FILE__, __LINE__, __func__, #condition);                            \
    } while (false)

// The same with the function named as the system names it ("Result::Init").
#define PRECONDITION_IN(function, condition)                                                                 \
    do                                                                                                     \
    {                                                                                                      \
        if (!(condition))                                                                                  \
            throw PreconditionFailure(__FILE__, __LINE__, function, #condition);                            \
    } while (false)

// A check that failed for a reason given as text ("Unknown Argument Data Type").
#define CHECK_FAILED(text) throw CheckFailure(__FILE__, __LINE__, __func__, text)

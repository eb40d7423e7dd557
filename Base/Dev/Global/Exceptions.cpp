#include "Base/Dev/Global/Exceptions.h"

#include <cstdio>

namespace
{
std::string Message(const char* kind, const char* function, const char* file, int line, const char* expression)
{
    const bool hasFunction = function != nullptr && *function != 0;
    char buffer[513];
    std::snprintf(buffer, sizeof buffer, "%s failed, %s%s%s(%d): %s.", kind ? kind : "Assertion",
                  hasFunction ? function : "", hasFunction ? ": " : "", file ? file : "", line,
                  expression ? expression : "");
    return buffer;
}
} // namespace

AssertionFailure::AssertionFailure(const char* file, int line, const char* function, const char* expression,
                                   const char* kind)
    : std::runtime_error(Message(kind, function, file, line, expression)),
      mFile(file ? file : ""),
      mLine(line),
      mFunction(function ? function : ""),
      mExpression(expression ? expression : "")
{
}

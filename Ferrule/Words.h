// The words of the notification types and priorities, as the tool takes them and the handlers write
// them (journal fields, webhook bodies): one table each.
#pragma once

#include "Ferrule/Interfaces.h"

#include <cstdint>
#include <string>

struct Word
{
    const char* word;
    uint32_t bit;
};

inline constexpr Word kTypeWords[] = {
    {"error", NOTIFY_TYPE_ERROR}, {"warning", NOTIFY_TYPE_WARNING}, {"info", NOTIFY_TYPE_INFO}, {"test", NOTIFY_TYPE_TEST}};
inline constexpr Word kPriorityWords[] = {{"high", NOTIFY_PRIORITY_HIGH},
                                          {"medium", NOTIFY_PRIORITY_MEDIUM},
                                          {"low", NOTIFY_PRIORITY_LOW},
                                          {"test", NOTIFY_PRIORITY_TEST}};

// A value's word, or its number in decimal.
template <size_t N>
std::string WordOf(const Word (&words)[N], uint32_t value)
{
    for (const Word& w : words)
        if (w.bit == value)
            return w.word;
    return std::to_string(value);
}

inline std::string TypeWord(eZD_NOTIFY_TYPE type)
{
    return WordOf(kTypeWords, static_cast<uint32_t>(type));
}

inline std::string PriorityWord(eZD_NOTIFY_PRIORITY priority)
{
    return WordOf(kPriorityWords, static_cast<uint32_t>(priority));
}

// The common library's compiled message tables.
#pragma once

#include "Base/Dev/Global/StringRepository.h"

struct MessageTable
{
    const TextEntry* texts;
    size_t textCount;
    const NameEntry* names;
    size_t nameCount;
};

// The tables of component "Base": type names, result texts, localization texts.
std::vector<MessageTable> BaseMessageTables();

// Arbitrary bytes as the content of a ".properties" file.
#include "Base/Dev/Global/StringRepository.h"
#include "Base/Dev/Local/Localization.h"
#include "Messages/MessageTables.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool registered = (RegisterMessageTables(), true);
    (void)registered;
    LoadStringsText(std::string(reinterpret_cast<const char*>(data), size), 3299);
    CompiledStringProvider::Instance().ClearLocalized();
    return 0;
}

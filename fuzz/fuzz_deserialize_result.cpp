// Arbitrary text (read as UTF-8) given to DeserializeResult: it either parses or raises CheckFailure.
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Platform/Win32/Utf.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const String text = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    try
    {
        Result r = DeserializeResult(text);
        // What was read can be written and displayed again.
        r.Serialize();
        DisplayText(r);
    }
    catch (const AssertionFailure&)
    {
    }
    return 0;
}

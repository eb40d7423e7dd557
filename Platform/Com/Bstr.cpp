#include "Platform/Com/OleAuto.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace
{
// Layout: [uint32 byte length][bytes][two zero bytes (three when the length is odd)].
BSTR AllocBytes(const void* bytes, UINT length)
{
    if (length > std::numeric_limits<UINT>::max() - 16)
        return nullptr;
    const size_t total = sizeof(uint32_t) + length + 3;
    auto* block = static_cast<unsigned char*>(std::malloc(total));
    if (block == nullptr)
        return nullptr;
    const uint32_t prefix = length;
    std::memcpy(block, &prefix, sizeof prefix);
    unsigned char* data = block + sizeof(uint32_t);
    if (bytes != nullptr)
        std::memcpy(data, bytes, length);
    else
        std::memset(data, 0, length);
    std::memset(data + length, 0, 3);
    return reinterpret_cast<BSTR>(data);
}

size_t TextLength(LPCOLESTR text)
{
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}
} // namespace

// malloc'ed block with a length prefix.
BSTR SysAllocString(LPCOLESTR text)
{
    if (text == nullptr)
        return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(TextLength(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    if (length > std::numeric_limits<UINT>::max() / 2 - 16)
        return nullptr;
    return AllocBytes(text, length * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length)
{
    return AllocBytes(bytes, length);
}

INT SysReAllocString(BSTR* target, LPCOLESTR text)
{
    if (target == nullptr)
        return FALSE;
    // Allocate first: text may point into *target.
    BSTR copy = text ? SysAllocString(text) : SysAllocStringLen(nullptr, 0);
    if (copy == nullptr)
        return FALSE;
    SysFreeString(*target);
    *target = copy;
    return TRUE;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length)
{
    if (target == nullptr)
        return FALSE;
    BSTR copy = SysAllocStringLen(text, length);
    if (copy == nullptr)
        return FALSE;
    SysFreeString(*target);
    *target = copy;
    return TRUE;
}

// free of the block that holds the prefix.
void SysFreeString(BSTR text)
{
    if (text != nullptr)
        std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

UINT SysStringByteLen(BSTR text)
{
    if (text == nullptr)
        return 0;
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof prefix);
    return prefix;
}

UINT SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

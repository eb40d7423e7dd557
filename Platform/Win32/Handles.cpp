#include "Platform/Win32/Handles.h"

#include <algorithm>

BOOL CloseHandleOfKind(const void* handle, std::initializer_list<HandleKind> kinds)
{
    auto* object = static_cast<HandleObject*>(const_cast<void*>(handle));
    if (object == nullptr || handle == reinterpret_cast<const void*>(static_cast<intptr_t>(-1)) ||
        object->tag != HandleObject::kLiveTag || std::find(kinds.begin(), kinds.end(), object->kind) == kinds.end())
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL closed = object->Close();
    delete object;
    return closed;
}

// The platform's handle objects, one table of kinds: every kind a HANDLE or CryptoAPI handle stands
// for derives from HandleObject with its kind, so one check tells a live handle of a kind, and
// CloseHandle closes whichever of its kinds it is given.
#pragma once

#include "Platform/Win32/Errors.h"

#include <cstdint>
#include <initializer_list>

enum class HandleKind : uint32_t
{
    File,
    Pipe,
    LogonToken,
    EventSource,
    CryptProvider,
    CryptHash,
    CryptKey,
};

struct HandleObject
{
    explicit HandleObject(HandleKind k) : kind(k) {}
    virtual ~HandleObject() { tag = 0; }
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;
    // What closing does before the object goes; FALSE with the last error set when it fails.
    virtual BOOL Close() { return TRUE; }

    static constexpr uint32_t kLiveTag = 0x484E444C;
    uint32_t tag = kLiveTag; // cleared when the object goes, so a closed handle is told from a live one
    const HandleKind kind;
};

// The object behind a live handle of T's kind (T::kKind), or null with ERROR_INVALID_HANDLE.
template <class T>
T* HandleAs(const void* handle)
{
    auto* object = static_cast<HandleObject*>(const_cast<void*>(handle));
    if (object == nullptr || handle == reinterpret_cast<const void*>(static_cast<intptr_t>(-1)) || object->tag != HandleObject::kLiveTag ||
        object->kind != T::kKind)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<T*>(object);
}

// Closes a live handle of one of kinds and frees its object; FALSE (ERROR_INVALID_HANDLE) for anything else.
BOOL CloseHandleOfKind(const void* handle, std::initializer_list<HandleKind> kinds);

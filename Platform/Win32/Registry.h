// The registry: two hives kept in SQLite databases, one for the machine (HKEY_LOCAL_MACHINE, with
// HKEY_CLASSES_ROOT as its SOFTWARE\Classes) and one for the user (HKEY_CURRENT_USER).
// Places: /var/lib/ferrule/machine.db and $XDG_CONFIG_HOME/ferrule/user.db (~/.config when unset);
// with FERRULE_REGISTRY_DIR set, both files live in that folder. Key and value names compare
// without regard to ASCII case and keep the case they were created with. Every write is one
// transaction, so processes may share a hive. Opening and reading write nothing: a read waits at most
// 500 ms for a writer that is committing (then ERROR_BUSY), never for a writer's whole transaction, and
// works for a user who may not write the file or its folder. A write waits up to 30 s for another
// writer. A hive that cannot be written answers ERROR_ACCESS_DENIED to writes and still reads; a damaged
// file answers ERROR_BADDB.
#pragma once

#include "Platform/Win32/Errors.h"

typedef LONG LSTATUS;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef struct _FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
// data null: only the size. A buffer too small: ERROR_MORE_DATA with the size needed. REG_SZ data is
// returned as stored, with or without a terminating NUL.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
// A key with subkeys cannot be deleted: ERROR_ACCESS_DENIED, as Windows answers.
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// Deletes subKey with everything below it; with subKey null, the key's values and subkeys only.
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);
// Subkeys and values are enumerated in the order of their names without regard to case.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWriteTime);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

// Not a Windows call: holds one write transaction on a hive across the following calls of this process,
// so that a group of changes (a registration script) lands whole and other processes' writes wait for it
// instead of meeting keys half made or deleted under their handles. Commit ends it; without Commit the
// changes are rolled back when it goes.
class RegistryTransaction
{
public:
    explicit RegistryTransaction(HKEY hive);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;
    LSTATUS Commit();

private:
    bool mMachine;
    bool mOpen = false;
};

// Not a Windows call: a value that changes whenever a write to the hive is committed, by this process or
// another, and when the hive's file is made, replaced or removed (for callers that keep what they read
// and ask again only when it may have changed). Reads nothing but the file's status.
unsigned long long RegistryHiveStamp(HKEY hive);

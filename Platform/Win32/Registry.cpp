#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
const int64_t kRootId = 1;
const uint32_t kKeyMagic = 0x4B455921; // marks a live key handle

const char* const kSchema = "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
                            " name TEXT NOT NULL, lname TEXT NOT NULL, UNIQUE(parent, lname));"
                            "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL,"
                            " lname TEXT NOT NULL, type INTEGER NOT NULL, data BLOB,"
                            " PRIMARY KEY(key, lname));"
                            "INSERT OR IGNORE INTO keys(id, parent, name, lname) VALUES(1, 0, '', '');";

LSTATUS FromSqlite(int rc)
{
    switch (rc & 0xFF)
    {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_IOERR: return ERROR_CANTWRITE;
    default: return ERROR_BADDB; // SQLITE_CORRUPT, SQLITE_NOTADB and anything unexpected
    }
}

// How long a read waits for a writer that is committing, and a write for another writer's transaction.
const int kReadWaitMs = 500;
const int kWriteWaitMs = 30000;

// Whether reads should go to the file: its tables exist, or it cannot be read at all (a damaged file,
// whose reads then answer ERROR_BADDB). A file without tables reads as an empty hive. Unknown while a
// writer commits (asked again at the next read).
enum class Schema
{
    Absent,
    Present,
    Unknown,
};

Schema SchemaOf(sqlite3* db)
{
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'vals'", -1, &s,
                                nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(s);
    sqlite3_finalize(s);
    if (rc == SQLITE_ROW)
        return Schema::Present;
    if (rc == SQLITE_DONE)
        return Schema::Absent;
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED ? Schema::Unknown : Schema::Present;
}

// One hive: a database file and the connection this process keeps to it. Opening writes nothing (a
// reader never waits for a writer's transaction); the file, its folder and its tables are made by the
// first write.
struct Hive
{
    std::mutex mutex;
    std::string path;
    sqlite3* db = nullptr;
    Schema schema = Schema::Absent; // Present: reads go to the file; Absent: the hive reads as empty
    bool writable = false; // opened read-write
    LSTATUS writeError = ERROR_ACCESS_DENIED; // what writes answer when not writable

    ~Hive() { Close(); }

    void Close()
    {
        if (db)
            sqlite3_close_v2(db);
        db = nullptr;
        schema = Schema::Absent;
        writable = false;
        writeError = ERROR_ACCESS_DENIED;
    }

    // Opens an existing file for the current environment: read-write when this process may write it,
    // else read-only. A missing file is left missing.
    void Open(const std::string& file)
    {
        Close();
        path = file;
        struct stat st;
        if (stat(file.c_str(), &st) != 0)
        {
            writable = true; // made by the first write
            return;
        }
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK &&
            !sqlite3_db_readonly(db, "main"))
            writable = true;
        else
        {
            sqlite3_close_v2(db);
            db = nullptr;
            if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
            {
                sqlite3_close_v2(db);
                db = nullptr;
                return;
            }
        }
        sqlite3_busy_timeout(db, kReadWaitMs);
        schema = SchemaOf(db);
    }

    // Ready for a write: the file created when missing.
    LSTATUS PrepareWrite()
    {
        if (!writable)
            return writeError;
        if (db == nullptr)
        {
            MakeFolders(path.substr(0, path.find_last_of('/')));
            if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                nullptr) != SQLITE_OK ||
                sqlite3_db_readonly(db, "main"))
            {
                sqlite3_close_v2(db);
                db = nullptr;
                writable = false;
                return writeError;
            }
            sqlite3_busy_timeout(db, kReadWaitMs);
        }
        return ERROR_SUCCESS;
    }

    static void MakeFolders(const std::string& folder)
    {
        for (size_t i = 1; i <= folder.size(); ++i)
            if (i == folder.size() || folder[i] == '/')
                mkdir(folder.substr(0, i).c_str(), 0755);
    }
};

Hive gMachine;
Hive gUser;

std::string HivePath(bool machine)
{
    if (const char* dir = std::getenv("FERRULE_REGISTRY_DIR"); dir && *dir)
        return std::string(dir) + (machine ? "/machine.db" : "/user.db");
    if (machine)
        return "/var/lib/ferrule/machine.db";
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        return std::string(config) + "/ferrule/user.db";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config/ferrule/user.db";
}

struct RegKey
{
    uint32_t magic = kKeyMagic;
    bool machine;
    int64_t id;
    REGSAM access;
};

// A prepared statement that finalizes itself.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) { mRc = db ? sqlite3_prepare_v2(db, sql, -1, &mStmt, nullptr) : SQLITE_NOTADB; }
    ~Statement() { sqlite3_finalize(mStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int i, int64_t v)
    {
        if (mRc == SQLITE_OK)
            mRc = sqlite3_bind_int64(mStmt, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v)
    {
        if (mRc == SQLITE_OK)
            mRc = sqlite3_bind_text(mStmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const void* data, size_t size)
    {
        if (mRc == SQLITE_OK)
            mRc = sqlite3_bind_blob(mStmt, i, data ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step()
    {
        if (mRc != SQLITE_OK && mRc != SQLITE_ROW)
            return mRc;
        mRc = sqlite3_step(mStmt);
        return mRc;
    }
    int64_t Int(int col) { return sqlite3_column_int64(mStmt, col); }
    std::string Text(int col)
    {
        const unsigned char* t = sqlite3_column_text(mStmt, col);
        return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(mStmt, col)) : std::string();
    }
    std::string Blob(int col)
    {
        const void* b = sqlite3_column_blob(mStmt, col);
        return b ? std::string(static_cast<const char*>(b), sqlite3_column_bytes(mStmt, col)) : std::string();
    }

private:
    sqlite3_stmt* mStmt = nullptr;
    int mRc;
};

std::string Fold(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Narrow(LPCWSTR text)
{
    if (text == nullptr)
        return std::string();
    size_t n = 0;
    while (text[n])
        ++n;
    return Utf16ToUtf8(std::u16string_view(text, n));
}

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A hive locked for one operation, opened for the current environment.
class HiveLock
{
public:
    explicit HiveLock(bool machine) : mHive(machine ? gMachine : gUser), mLock(mHive.mutex)
    {
        const std::string path = HivePath(machine);
        if (path != mHive.path)
            mHive.Open(path);
    }
    // The connection for reads: null while the hive has no tables (it reads as empty).
    sqlite3* Db() const
    {
        if (mHive.schema == Schema::Unknown && mHive.db)
            mHive.schema = SchemaOf(mHive.db);
        return mHive.schema == Schema::Absent ? nullptr : mHive.db;
    }
    Hive& Get() const { return mHive; }

private:
    Hive& mHive;
    std::lock_guard<std::mutex> mLock;
};

// The child key of parent named name: 0 and ERROR_SUCCESS when absent.
LSTATUS FindChild(sqlite3* db, int64_t parent, const std::string& name, int64_t& id)
{
    id = 0;
    if (db == nullptr)
        return ERROR_SUCCESS; // no database yet: the hive is empty
    Statement s(db, "SELECT id FROM keys WHERE parent = ? AND lname = ?");
    s.Bind(1, parent).Bind(2, Fold(name));
    const int rc = s.Step();
    if (rc == SQLITE_ROW)
        id = s.Int(0);
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc);
}

LSTATUS Walk(sqlite3* db, int64_t from, const std::vector<std::string>& parts, int64_t& id)
{
    id = from;
    for (const std::string& part : parts)
    {
        LSTATUS st = FindChild(db, id, part, id);
        if (st != ERROR_SUCCESS)
            return st;
        if (id == 0)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

LSTATUS KeyExists(sqlite3* db, int64_t id)
{
    if (id == kRootId)
        return ERROR_SUCCESS;
    Statement s(db, "SELECT 1 FROM keys WHERE id = ?");
    s.Bind(1, id);
    const int rc = s.Step();
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : FromSqlite(rc);
}

// Walks parts from `from`, creating what is missing; created tells whether the last key is new.
LSTATUS CreatePath(sqlite3* db, int64_t from, const std::vector<std::string>& parts, int64_t& id, bool& created)
{
    id = from;
    created = false;
    for (const std::string& part : parts)
    {
        int64_t child = 0;
        LSTATUS st = FindChild(db, id, part, child);
        if (st != ERROR_SUCCESS)
            return st;
        if (child == 0)
        {
            Statement s(db, "INSERT INTO keys(parent, name, lname) VALUES(?, ?, ?)");
            s.Bind(1, id).Bind(2, part).Bind(3, Fold(part));
            const int rc = s.Step();
            if (rc != SQLITE_DONE)
                return FromSqlite(rc);
            child = sqlite3_last_insert_rowid(db);
            created = true;
        }
        else
            created = false;
        id = child;
    }
    return ERROR_SUCCESS;
}

// Runs body inside one write transaction (BEGIN IMMEDIATE waits for other writers), or inside the
// transaction a RegistryTransaction of this process holds open.
template <class Body>
LSTATUS InTransaction(HiveLock& lock, Body body)
{
    Hive& hive = lock.Get();
    if (LSTATUS st = hive.PrepareWrite())
        return st;
    sqlite3* db = hive.db;
    if (!sqlite3_get_autocommit(db))
    {
        hive.schema = Schema::Present;
        return body(db);
    }
    sqlite3_busy_timeout(db, kWriteWaitMs);
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    LSTATUS st = FromSqlite(rc);
    if (st == ERROR_SUCCESS)
    {
        hive.schema = Schema::Present;
        st = body(db);
    }
    if (st == ERROR_SUCCESS)
    {
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        st = FromSqlite(rc);
    }
    if (st != ERROR_SUCCESS && !sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    hive.schema = SchemaOf(db);
    sqlite3_busy_timeout(db, kReadWaitMs);
    return st;
}

bool IsPredefined(HKEY key)
{
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

bool IsMachine(HKEY key)
{
    if (key == HKEY_CURRENT_USER)
        return false;
    if (IsPredefined(key))
        return true;
    return reinterpret_cast<RegKey*>(key)->machine;
}

LSTATUS CheckHandle(HKEY key)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!IsPredefined(key) && reinterpret_cast<RegKey*>(key)->magic != kKeyMagic)
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

const std::vector<std::string> kClassesPath = {"SOFTWARE", "Classes"};

// The key id and access of a handle, inside a locked hive. HKEY_CLASSES_ROOT is created on demand
// when create is set.
LSTATUS Resolve(HiveLock& hive, HKEY key, bool create, int64_t& id, REGSAM& access)
{
    if (key == HKEY_CLASSES_ROOT)
    {
        access = KEY_ALL_ACCESS;
        if (!create)
            return Walk(hive.Db(), kRootId, kClassesPath, id);
        bool created;
        return CreatePath(hive.Db(), kRootId, kClassesPath, id, created);
    }
    if (IsPredefined(key))
    {
        id = kRootId;
        access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    const RegKey* k = reinterpret_cast<RegKey*>(key);
    id = k->id;
    access = k->access;
    return hive.Db() ? KeyExists(hive.Db(), id) : ERROR_KEY_DELETED;
}

// The key of a handle for reading, with the access it must have been opened with.
LSTATUS ReadableKey(HiveLock& hive, HKEY key, REGSAM needed, int64_t& id)
{
    REGSAM access;
    if (LSTATUS st = Resolve(hive, key, false, id, access))
        return st;
    return (access & needed) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;

HKEY NewHandle(bool machine, int64_t id, REGSAM access)
{
    RegKey* k = new RegKey{kKeyMagic, machine, id, access & ~REGSAM(KEY_WOW64_64KEY | KEY_WOW64_32KEY)};
    return reinterpret_cast<HKEY>(k);
}

LSTATUS DeleteSubtree(sqlite3* db, int64_t id, bool keepTop)
{
    const char* const statements[] = {
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
        " DELETE FROM vals WHERE key IN sub",
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
        " DELETE FROM keys WHERE id IN sub AND (?2 = 0 OR id <> ?1)",
    };
    for (const char* sql : statements)
    {
        Statement s(db, sql);
        s.Bind(1, id);
        if (sql == statements[1])
            s.Bind(2, keepTop ? 1 : 0);
        const int rc = s.Step();
        if (rc != SQLITE_DONE)
            return FromSqlite(rc);
    }
    return ERROR_SUCCESS;
}

// Copies text (UTF-16, NUL-terminated) into name with the registry's length rules.
LSTATUS CopyName(const std::string& utf8, LPWSTR name, LPDWORD nameLength)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    if (nameLength == nullptr || name == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*nameLength < wide.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(name, wide.data(), wide.size() * sizeof(WCHAR));
    name[wide.size()] = 0;
    *nameLength = static_cast<DWORD>(wide.size());
    return ERROR_SUCCESS;
}

LSTATUS CopyData(const std::string& blob, LPBYTE data, LPDWORD dataSize)
{
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (dataSize == nullptr)
        return ERROR_SUCCESS;
    const DWORD size = static_cast<DWORD>(blob.size());
    if (data != nullptr && *dataSize < size)
    {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size > 0)
        std::memcpy(data, blob.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}
} // namespace

// SELECT along the key path; a new handle object for the key found.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (LSTATUS st = CheckHandle(key))
        return st;
    const bool machine = IsMachine(key);
    HiveLock hive(machine);
    int64_t id;
    REGSAM parentAccess = 0;
    LSTATUS st = Resolve(hive, key, false, id, parentAccess);
    if (st == ERROR_SUCCESS)
        st = Walk(hive.Db(), id, SplitPath(Narrow(subKey)), id);
    if (st != ERROR_SUCCESS)
        return st;
    *result = NewHandle(machine, id, access);
    return ERROR_SUCCESS;
}

// INSERT of the missing keys along the path, in one transaction.
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/, DWORD /*options*/,
                        REGSAM access, LPSECURITY_ATTRIBUTES /*security*/, PHKEY result, LPDWORD disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (LSTATUS st = CheckHandle(key))
        return st;
    const bool machine = IsMachine(key);
    HiveLock hive(machine);
    const std::vector<std::string> parts = SplitPath(Narrow(subKey));
    int64_t id = 0;
    bool created = false;
    // An existing key opens without write access to the hive, as Windows opens it.
    REGSAM parentAccess = 0;
    LSTATUS st = Resolve(hive, key, false, id, parentAccess);
    if (st == ERROR_SUCCESS)
        st = Walk(hive.Db(), id, parts, id);
    // A writer committing meanwhile: the transaction, which waits for it, looks again.
    if (st == ERROR_FILE_NOT_FOUND || st == ERROR_BUSY)
    {
        if (!IsPredefined(key) && !(parentAccess & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        st = InTransaction(hive, [&](sqlite3* db) -> LSTATUS {
            int64_t from;
            REGSAM unused;
            LSTATUS s = Resolve(hive, key, true, from, unused);
            return s == ERROR_SUCCESS ? CreatePath(db, from, parts, id, created) : s;
        });
    }
    if (st != ERROR_SUCCESS)
        return st;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(machine, id, access);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD /*reserved*/, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    HiveLock hive(IsMachine(key));
    int64_t id;
    if (LSTATUS st = ReadableKey(hive, key, KEY_QUERY_VALUE, id))
        return st;
    if (hive.Db() == nullptr)
        return ERROR_FILE_NOT_FOUND;
    Statement s(hive.Db(), "SELECT type, data FROM vals WHERE key = ? AND lname = ?");
    s.Bind(1, id).Bind(2, Fold(Narrow(valueName)));
    const int rc = s.Step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    if (type)
        *type = static_cast<DWORD>(s.Int(0));
    return CopyData(s.Blob(1), data, dataSize);
}

// INSERT OR REPLACE of the row, in one transaction.
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD dataSize)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    if (data == nullptr && dataSize > 0)
        return ERROR_INVALID_PARAMETER;
    const bool machine = IsMachine(key);
    HiveLock hive(machine);
    const std::string name = Narrow(valueName);
    return InTransaction(hive, [&](sqlite3* db) -> LSTATUS {
        int64_t id;
        REGSAM access;
        if (LSTATUS st = Resolve(hive, key, true, id, access))
            return st;
        if (!(access & KEY_SET_VALUE))
            return ERROR_ACCESS_DENIED;
        Statement s(db, "INSERT OR REPLACE INTO vals(key, name, lname, type, data) VALUES(?, ?, ?, ?, ?)");
        s.Bind(1, id).Bind(2, name).Bind(3, Fold(name)).Bind(4, type).BindBlob(5, data, dataSize);
        const int rc = s.Step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc);
    });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    HiveLock hive(IsMachine(key));
    const std::string name = Fold(Narrow(valueName));
    return InTransaction(hive, [&](sqlite3* db) -> LSTATUS {
        int64_t id;
        REGSAM access;
        if (LSTATUS st = Resolve(hive, key, false, id, access))
            return st;
        if (!(access & KEY_SET_VALUE))
            return ERROR_ACCESS_DENIED;
        Statement s(db, "DELETE FROM vals WHERE key = ? AND lname = ?");
        s.Bind(1, id).Bind(2, name);
        const int rc = s.Step();
        if (rc != SQLITE_DONE)
            return FromSqlite(rc);
        return sqlite3_changes(db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

namespace
{
// Shared by RegDeleteKeyW and RegDeleteTreeW. The handle must carry some write right.
LSTATUS DeleteKey(HKEY key, LPCWSTR subKey, bool tree)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    const std::vector<std::string> parts = SplitPath(Narrow(subKey));
    if (!tree && parts.empty())
        return ERROR_INVALID_PARAMETER;
    HiveLock hive(IsMachine(key));
    return InTransaction(hive, [&](sqlite3* db) -> LSTATUS {
        int64_t id;
        REGSAM access;
        LSTATUS st = Resolve(hive, key, false, id, access);
        if (st == ERROR_SUCCESS)
            st = Walk(db, id, parts, id);
        if (st != ERROR_SUCCESS)
            return st;
        if (!(access & kWriteRights))
            return ERROR_ACCESS_DENIED;
        if (tree)
            return DeleteSubtree(db, id, parts.empty());
        if (id == kRootId)
            return ERROR_ACCESS_DENIED;
        Statement children(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        children.Bind(1, id);
        const int rc = children.Step();
        if (rc == SQLITE_ROW)
            return ERROR_ACCESS_DENIED;
        if (rc != SQLITE_DONE)
            return FromSqlite(rc);
        return DeleteSubtree(db, id, false);
    });
}
} // namespace

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    return DeleteKey(key, subKey, false);
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey)
{
    return DeleteKey(key, subKey, true);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD /*reserved*/,
                      LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    HiveLock hive(IsMachine(key));
    int64_t id;
    if (LSTATUS st = ReadableKey(hive, key, KEY_ENUMERATE_SUB_KEYS, id))
        return st;
    if (hive.Db() == nullptr)
        return ERROR_NO_MORE_ITEMS;
    Statement s(hive.Db(), "SELECT name FROM keys WHERE parent = ? ORDER BY lname LIMIT 1 OFFSET ?");
    s.Bind(1, id).Bind(2, index);
    const int rc = s.Step();
    if (rc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    if (keyClass && classLength && *classLength > 0)
        keyClass[0] = 0;
    if (classLength)
        *classLength = 0;
    if (lastWriteTime)
        *lastWriteTime = FILETIME{0, 0};
    return CopyName(s.Text(0), name, nameLength);
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD /*reserved*/, LPDWORD type,
                      LPBYTE data, LPDWORD dataSize)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    HiveLock hive(IsMachine(key));
    int64_t id;
    if (LSTATUS st = ReadableKey(hive, key, KEY_QUERY_VALUE, id))
        return st;
    if (hive.Db() == nullptr)
        return ERROR_NO_MORE_ITEMS;
    Statement s(hive.Db(), "SELECT name, type, data FROM vals WHERE key = ? ORDER BY lname LIMIT 1 OFFSET ?");
    s.Bind(1, id).Bind(2, index);
    const int rc = s.Step();
    if (rc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    if (LSTATUS st = CopyName(s.Text(0), name, nameLength))
        return st;
    if (type)
        *type = static_cast<DWORD>(s.Int(1));
    return CopyData(s.Blob(2), data, dataSize);
}

// Frees the handle object; predefined keys are never closed.
LSTATUS RegCloseKey(HKEY key)
{
    if (LSTATUS st = CheckHandle(key))
        return st;
    if (IsPredefined(key))
        return ERROR_SUCCESS;
    RegKey* k = reinterpret_cast<RegKey*>(key);
    k->magic = 0;
    delete k;
    return ERROR_SUCCESS;
}

RegistryTransaction::RegistryTransaction(HKEY hive) : mMachine(IsMachine(hive))
{
    HiveLock lock(mMachine);
    Hive& h = lock.Get();
    if (h.PrepareWrite() != ERROR_SUCCESS || !sqlite3_get_autocommit(h.db))
        return;
    sqlite3_busy_timeout(h.db, kWriteWaitMs);
    mOpen = sqlite3_exec(h.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (mOpen && sqlite3_exec(h.db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK)
        h.schema = Schema::Present;
    sqlite3_busy_timeout(h.db, kReadWaitMs);
}

LSTATUS RegistryTransaction::Commit()
{
    if (!mOpen)
        return ERROR_SUCCESS; // each write was its own transaction
    HiveLock lock(mMachine);
    Hive& h = lock.Get();
    mOpen = false;
    if (h.db == nullptr)
        return ERROR_SUCCESS;
    const LSTATUS st = FromSqlite(sqlite3_exec(h.db, "COMMIT", nullptr, nullptr, nullptr));
    if (st != ERROR_SUCCESS && !sqlite3_get_autocommit(h.db))
        sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
    h.schema = SchemaOf(h.db);
    return st;
}

RegistryTransaction::~RegistryTransaction()
{
    if (!mOpen)
        return;
    HiveLock lock(mMachine);
    Hive& h = lock.Get();
    if (h.db && !sqlite3_get_autocommit(h.db))
        sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (h.db)
        h.schema = SchemaOf(h.db);
}

unsigned long long RegistryHiveStamp(HKEY hive)
{
    const std::string path = HivePath(hive != HKEY_CURRENT_USER);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return std::hash<std::string>()(path);
    // A commit rewrites the file, so its time of change moves (nanoseconds) and often its size.
    unsigned long long stamp = std::hash<std::string>()(path);
    for (unsigned long long part :
         {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
          static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(st.st_mtim.tv_sec),
          static_cast<unsigned long long>(st.st_mtim.tv_nsec), static_cast<unsigned long long>(st.st_ctim.tv_nsec)})
        stamp = stamp * 1099511628211ULL ^ part;
    return stamp + 1;
}

#include "Tools/ferrule/Tool.h"
#include "Platform/Win32/Registry.h"

#include <cstdio>
#include <vector>

namespace tool
{
const char* const kRegHelp =
    "usage: ferrule reg query KEY [--recursive]\n"
    "\n"
    "Prints the values of a key of the registry store (name, type, data) and its subkeys; with\n"
    "--recursive every key below it too. KEY begins with HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or\n"
    "HKEY_CLASSES_ROOT (or HKLM, HKCU, HKCR). Exit 1 when the key does not exist.\n";

namespace
{
const char* TypeName(DWORD type)
{
    switch (type)
    {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_NONE";
    }
}

std::string Data(DWORD type, const std::vector<BYTE>& data, DWORD size)
{
    char text[32];
    switch (type)
    {
    case REG_SZ:
    case REG_EXPAND_SZ:
    {
        std::u16string s(reinterpret_cast<const char16_t*>(data.data()), size / 2);
        while (!s.empty() && s.back() == 0)
            s.pop_back();
        return N(s);
    }
    case REG_DWORD:
    {
        DWORD v = 0;
        std::memcpy(&v, data.data(), std::min<DWORD>(size, 4));
        std::snprintf(text, sizeof text, "0x%x", v);
        return text;
    }
    default:
    {
        std::string hex;
        for (DWORD i = 0; i < size; ++i)
        {
            std::snprintf(text, sizeof text, "%02X", data[i]);
            hex += text;
        }
        return hex;
    }
    }
}

void Print(HKEY key, const std::string& path, bool recursive)
{
    std::printf("\n%s\n", path.c_str());
    for (DWORD i = 0;; ++i)
    {
        WCHAR name[512];
        DWORD nameLength = 512, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size + 2, 0);
        nameLength = 512;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size);
        const std::string shown = nameLength == 0 ? "(Default)" : N(std::u16string(name, nameLength));
        std::printf("    %s    %s    %s\n", shown.c_str(), TypeName(type), Data(type, data, size).c_str());
    }
    std::vector<std::u16string> subkeys;
    for (DWORD i = 0;; ++i)
    {
        WCHAR name[512];
        DWORD length = 512;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, length);
    }
    if (!recursive)
    {
        if (!subkeys.empty())
            std::printf("\n");
        for (const std::u16string& s : subkeys)
            std::printf("%s\\%s\n", path.c_str(), N(s).c_str());
        return;
    }
    for (const std::u16string& s : subkeys)
    {
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, s.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS)
        {
            Print(child, path + "\\" + N(s), true);
            RegCloseKey(child);
        }
    }
}
} // namespace

int CommandReg(const Options& o)
{
    if (o.rest.size() != 2 || o.rest[0] != "query")
        throw UsageError("reg takes: query KEY [--recursive]");
    std::string path = o.rest[1];
    for (char& c : path)
        if (c == '/')
            c = '\\';
    const size_t slash = path.find('\\');
    std::string root = path.substr(0, slash);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash + 1);
    HKEY hive = nullptr;
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE")
        hive = HKEY_LOCAL_MACHINE, root = "HKEY_LOCAL_MACHINE";
    else if (root == "HKCU" || root == "HKEY_CURRENT_USER")
        hive = HKEY_CURRENT_USER, root = "HKEY_CURRENT_USER";
    else if (root == "HKCR" || root == "HKEY_CLASSES_ROOT")
        hive = HKEY_CLASSES_ROOT, root = "HKEY_CLASSES_ROOT";
    else
        throw UsageError("KEY must begin with HKLM, HKCU or HKCR: " + o.rest[1]);
    HKEY key = nullptr;
    if (RegOpenKeyExW(hive, W(rest).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        std::fprintf(stderr, "ferrule: the key %s does not exist\n", o.rest[1].c_str());
        return kFailed;
    }
    Print(key, rest.empty() ? root : root + "\\" + rest, o.recursive);
    RegCloseKey(key);
    return kOk;
}
} // namespace tool

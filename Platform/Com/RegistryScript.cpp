#include "Platform/Com/RegistryScript.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <cstdlib>
#include <cwctype>

namespace
{
struct Value
{
    std::u16string name; // "" for the default value
    bool dword = false;
    std::u16string text;
    DWORD number = 0;
};

struct Key
{
    std::u16string name;
    bool forceRemove = false;
    bool noRemove = false;
    bool hasDefault = false;
    Value defaultValue;
    std::vector<Value> values;
    std::vector<Key> children;
};

struct Root
{
    HKEY hive;
    std::vector<Key> keys;
};

class Parser
{
public:
    explicit Parser(const std::u16string& text) : mText(text) {}

    bool Script(std::vector<Root>& roots)
    {
        while (Skip(), mPos < mText.size())
        {
            std::u16string name;
            if (!Token(name))
                return false;
            Root root{Hive(name), {}};
            if (root.hive == nullptr)
                return Fail(u"unknown root " + name);
            if (!Expect(u'{') || !Keys(root.keys))
                return false;
            roots.push_back(std::move(root));
        }
        return true;
    }

    std::u16string Problem() const
    {
        size_t line = 1;
        for (size_t i = 0; i < mPos && i < mText.size(); ++i)
            line += mText[i] == u'\n';
        return u"line " + Utf8ToUtf16(std::to_string(line)) + u": " + mProblem;
    }

private:
    static HKEY Hive(const std::u16string& name)
    {
        if (name == u"HKCR" || name == u"HKEY_CLASSES_ROOT")
            return HKEY_CLASSES_ROOT;
        if (name == u"HKLM" || name == u"HKEY_LOCAL_MACHINE")
            return HKEY_LOCAL_MACHINE;
        if (name == u"HKCU" || name == u"HKEY_CURRENT_USER")
            return HKEY_CURRENT_USER;
        return nullptr;
    }

    bool Fail(const std::u16string& what)
    {
        if (mProblem.empty())
            mProblem = what;
        return false;
    }

    void Skip()
    {
        while (mPos < mText.size() && std::iswspace(mText[mPos]))
            ++mPos;
    }

    bool Peek(char16_t c)
    {
        Skip();
        return mPos < mText.size() && mText[mPos] == c;
    }

    bool Expect(char16_t c)
    {
        if (!Peek(c))
            return Fail(std::u16string(u"expected ") + c);
        ++mPos;
        return true;
    }

    // A bare word or a quoted string.
    bool Token(std::u16string& out)
    {
        Skip();
        out.clear();
        if (mPos >= mText.size())
            return Fail(u"unexpected end");
        if (mText[mPos] == u'\'')
        {
            ++mPos;
            for (;;)
            {
                if (mPos >= mText.size())
                    return Fail(u"unterminated string");
                if (mText[mPos] == u'\'')
                {
                    if (mPos + 1 < mText.size() && mText[mPos + 1] == u'\'')
                    {
                        out += u'\'';
                        mPos += 2;
                        continue;
                    }
                    ++mPos;
                    return true;
                }
                out += mText[mPos++];
            }
        }
        while (mPos < mText.size() && !std::iswspace(mText[mPos]) && mText[mPos] != u'{' && mText[mPos] != u'}' &&
               mText[mPos] != u'=')
            out += mText[mPos++];
        return !out.empty() || Fail(u"expected a name");
    }

    bool ValueAfterEquals(Value& v)
    {
        std::u16string type, data;
        if (!Expect(u'=') || !Token(type) || !Token(data))
            return false;
        if (type == u"s")
        {
            v.text = data;
            return true;
        }
        if (type == u"d")
        {
            const std::string digits = Utf16ToUtf8(data);
            char* end = nullptr;
            const unsigned long n = std::strtoul(digits.c_str(), &end, 0);
            if (digits.empty() || *end != 0 || n > 0xFFFFFFFFul)
                return Fail(u"not a number: " + data);
            v.dword = true;
            v.number = static_cast<DWORD>(n);
            return true;
        }
        return Fail(u"unknown value type " + type);
    }

    // Keys up to the closing brace of the enclosing block.
    bool Keys(std::vector<Key>& keys)
    {
        while (!Peek(u'}'))
        {
            if (mPos >= mText.size())
                return Fail(u"expected }");
            Key key;
            if (!KeyEntry(key))
                return false;
            keys.push_back(std::move(key));
        }
        ++mPos;
        return true;
    }

    // One key: flags, name, default value, and its block of values and subkeys.
    bool KeyEntry(Key& key)
    {
        std::u16string word;
        if (!Token(word))
            return false;
        if (word == u"val")
            return Fail(u"a value outside a key");
        if (word == u"ForceRemove" || word == u"NoRemove")
        {
            (word == u"ForceRemove" ? key.forceRemove : key.noRemove) = true;
            if (!Token(word))
                return false;
        }
        key.name = word;
        if (Peek(u'='))
        {
            if (!ValueAfterEquals(key.defaultValue))
                return false;
            key.hasDefault = true;
        }
        if (!Peek(u'{'))
            return true;
        ++mPos;
        while (!Peek(u'}'))
        {
            if (mPos >= mText.size())
                return Fail(u"expected }");
            const size_t mark = mPos;
            std::u16string next;
            if (!Token(next))
                return false;
            if (next == u"val")
            {
                Value v;
                if (!Token(v.name) || !ValueAfterEquals(v))
                    return false;
                key.values.push_back(std::move(v));
                continue;
            }
            mPos = mark;
            Key child;
            if (!KeyEntry(child))
                return false;
            key.children.push_back(std::move(child));
        }
        ++mPos;
        return true;
    }

    const std::u16string mText;
    size_t mPos = 0;
    std::u16string mProblem;
};

HRESULT Hr(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT SetValue(HKEY key, const Value& v)
{
    if (v.dword)
        return Hr(RegSetValueExW(key, v.name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number), sizeof v.number));
    return Hr(RegSetValueExW(key, v.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                             static_cast<DWORD>((v.text.size() + 1) * sizeof(char16_t))));
}

HRESULT Register(HKEY parent, const Key& k)
{
    if (k.forceRemove)
    {
        const LSTATUS rc = RegDeleteTreeW(parent, k.name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return Hr(rc);
    }
    HKEY key = nullptr;
    HRESULT hr = Hr(RegCreateKeyExW(parent, k.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (FAILED(hr))
        return hr;
    if (k.hasDefault)
        hr = SetValue(key, k.defaultValue);
    for (const Value& v : k.values)
        if (SUCCEEDED(hr))
            hr = SetValue(key, v);
    for (const Key& child : k.children)
        if (SUCCEEDED(hr))
            hr = Register(key, child);
    RegCloseKey(key);
    return hr;
}

HRESULT Unregister(HKEY parent, const Key& k)
{
    if (k.forceRemove)
    {
        const LSTATUS rc = RegDeleteTreeW(parent, k.name.c_str());
        return rc == ERROR_FILE_NOT_FOUND ? S_OK : Hr(rc);
    }
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(parent, k.name.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (rc != ERROR_SUCCESS)
        return Hr(rc);
    HRESULT hr = S_OK;
    for (const Key& child : k.children)
        if (SUCCEEDED(hr))
            hr = Unregister(key, child);
    bool empty = false;
    if (SUCCEEDED(hr) && !k.noRemove)
    {
        for (const Value& v : k.values)
            RegDeleteValueW(key, v.name.c_str());
        WCHAR name[256];
        DWORD length = 256;
        empty = RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_NO_MORE_ITEMS;
    }
    RegCloseKey(key);
    if (empty)
    {
        rc = RegDeleteTreeW(parent, k.name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            hr = Hr(rc);
    }
    return hr;
}
} // namespace

HRESULT UpdateRegistryFromScript(const std::u16string& script, bool registering,
                                 const std::vector<std::pair<std::u16string, std::u16string>>& variables)
{
    std::u16string text = script;
    for (const auto& [name, value] : variables)
    {
        std::u16string quoted;
        for (char16_t c : value)
            quoted += c == u'\'' ? std::u16string(u"''") : std::u16string(1, c);
        const std::u16string marker = u"%" + name + u"%";
        for (size_t at = text.find(marker); at != std::u16string::npos; at = text.find(marker, at + quoted.size()))
            text.replace(at, marker.size(), quoted);
    }
    Parser parser(text);
    std::vector<Root> roots;
    if (!parser.Script(roots))
    {
        SetErrorDescription(u"The registry script cannot be read: " + parser.Problem());
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    // Each hive's part of the script lands whole: a registration running at the same time in another
    // process waits for it instead of deleting keys under its handles.
    HRESULT hr = S_OK;
    for (const Root& root : roots)
    {
        RegistryTransaction transaction(root.hive);
        for (const Key& k : root.keys)
            if (SUCCEEDED(hr))
                hr = registering ? Register(root.hive, k) : Unregister(root.hive, k);
        if (SUCCEEDED(hr))
            hr = Hr(transaction.Commit());
    }
    return hr;
}

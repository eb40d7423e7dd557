#include "Crypto/PasswordStore.h"
#include "Base/Dev/Diagnostics/DebugLog.h"
#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/Result.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Crypto/Aes.h"
#include "Crypto/Crypto.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Registry.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
// The three fixed salts, each three 32-bit little-endian integers. Chosen once; every writer and reader
// of the forms uses the same ones, so they never change.
const uint32_t kSaltA[3] = {0x5A17C3E1, 0x0D9B4F26, 0x7E2486B3}; // schemes 2 and 4
const uint32_t kSaltB[3] = {0x31C8A5F4, 0x6B0E9D27, 0x48F1237C}; // protecting S1 and S2
const uint32_t kSaltC[3] = {0x2D4B7E19, 0x75A3C0E8, 0x1F6E92D5}; // protecting S3 and S4
const uint64_t kCounterStart = 15271;
const char16_t* const kRandomKey = u"SOFTWARE\\Quellon\\Random Number";

std::string SaltBytes(const uint32_t (&salt)[3])
{
    std::string bytes;
    for (uint32_t v : salt)
        for (int b = 0; b < 4; ++b)
            bytes += static_cast<char>((v >> (8 * b)) & 0xFF);
    return bytes;
}

// A pair of random-number values and how they are protected in the registry.
struct Pair
{
    const char16_t* first;
    const char16_t* second;
    const char16_t* passPhrase;
    const uint32_t (*salt)[3];
    int iterations;
    bool plain; // scheme 7's own form: hexadecimal of the text, no protection
};

const Pair kPair12 = {u"S1", u"S2", u"mlq42", &kSaltB, 1741, false};
const Pair kPair34 = {u"S3", u"S4", u"mlq67", &kSaltC, 5741, false};
const Pair kPair34Plain = {u"S3", u"S4", nullptr, nullptr, 0, true};

// The key that protects a pair's values (derived once per use of the pair).
std::string PairKey(const Pair& pair)
{
    return pair.plain ? std::string()
                      : DeriveKeyPbkdf2(Utf16LeBytes(pair.passPhrase), SaltBytes(*pair.salt), pair.iterations,
                                        Pbkdf2Digest::Sha256);
}

String Protect(const Pair& pair, const std::string& key, const String& text)
{
    if (pair.plain)
        return HexEncodeLower(Utf16LeBytes(text));
    return HexEncodeLower(AesCounterTransform(key, Utf16LeBytes(text), kCounterStart));
}

String Unprotect(const Pair& pair, const std::string& key, const String& value)
{
    if (pair.plain)
        return FromUtf16LeBytes(HexDecode(value));
    return FromUtf16LeBytes(AesCounterTransform(key, HexDecode(value), kCounterStart));
}

// What the registry holds of one value of a pair.
enum class ValueState
{
    Absent,  // missing or empty: made anew and written
    Read,    // its text is in hand
    Damaged, // present but not readable: stands in as missing in memory only, never overwritten
};

// Each text of the pair with its state.
void ReadPair(const Pair& pair, const std::string& key32, String (&texts)[2], ValueState (&states)[2])
{
    for (int i = 0; i < 2; ++i)
    {
        texts[i].clear();
        states[i] = ValueState::Absent;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRandomKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    String values[2];
    const char16_t* names[2] = {pair.first, pair.second};
    for (int i = 0; i < 2; ++i)
    {
        WCHAR buffer[256] = {0};
        DWORD size = sizeof buffer, type = 0;
        if (RegQueryValueExW(key, names[i], nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) == ERROR_SUCCESS)
            values[i] = String(buffer, std::char_traits<char16_t>::length(buffer) < size / 2
                                           ? std::char_traits<char16_t>::length(buffer)
                                           : size / 2);
    }
    RegCloseKey(key);
    for (int i = 0; i < 2; ++i)
    {
        if (values[i].empty())
            continue;
        try
        {
            texts[i] = Unprotect(pair, key32, values[i]);
            states[i] = texts[i].empty() ? ValueState::Damaged : ValueState::Read;
        }
        catch (const Result&)
        {
            states[i] = ValueState::Damaged;
        }
    }
}

bool WriteValue(const char16_t* name, const String& value)
{
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRandomKey, 0, KEY_WRITE, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRandomKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                             nullptr);
    if (rc != ERROR_SUCCESS)
        return false;
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                        static_cast<DWORD>(value.size() * sizeof(WCHAR)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// Code page 1252 for the bytes 0x80 to 0x9F; the five it leaves unassigned stay their own code points.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// 16 random bytes up to the first zero, one character each (code page 1252).
String RandomSaltText()
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return String();
    BYTE bytes[16] = {0};
    String text;
    if (CryptGenRandom(provider, sizeof bytes, bytes))
        for (BYTE b : bytes)
        {
            if (b == 0)
                break;
            text += b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
        }
    CryptReleaseContext(provider, 0);
    return text;
}

// The names of the damaged random-number values the calling thread met since it last cleared the list.
thread_local std::vector<String> tDamaged;

// The pair's texts; missing ones are made and written. `stored` tells whether the pair is in the
// registry now (read, or written successfully). A damaged value is replaced by a new text in memory
// only: the value stays as it is, and the forms made with the replacement cannot be stored.
void EnsurePair(const Pair& pair, String& t1, String& t2, bool& stored)
{
    const std::string key32 = PairKey(pair);
    String texts[2];
    ValueState states[2];
    ReadPair(pair, key32, texts, states);
    stored = true;
    const char16_t* names[2] = {pair.first, pair.second};
    for (int i = 0; i < 2; ++i)
    {
        if (states[i] == ValueState::Read)
            continue;
        texts[i] = RandomSaltText();
        if (states[i] == ValueState::Absent)
            stored = WriteValue(names[i], Protect(pair, key32, texts[i])) && stored;
        else
        {
            stored = false;
            if (std::find(tDamaged.begin(), tDamaged.end(), names[i]) == tDamaged.end())
                tDamaged.push_back(names[i]);
            DEBUG_LOG(Debug::APPLICATION, Debug::WARN)
                << "The random-number value " << Utf16ToUtf8(names[i])
                << " cannot be read; it is left as it is, and a replacement is used in memory only";
        }
    }
    t1 = texts[0];
    t2 = texts[1];
}

thread_local bool tPairStored = true;

std::string AdvancedKey(const String& account, const Pair& pair, int iterations)
{
    String t1, t2;
    bool stored = true;
    EnsurePair(pair, t1, t2, stored);
    tPairStored = tPairStored && stored;
    const std::string b1 = Utf16LeBytes(t1), b2 = Utf16LeBytes(t2);
    const String h1 = HexEncodeLower(b1.substr(0, t1.size())), h2 = HexEncodeLower(b2.substr(0, t2.size()));
    const std::string salt = Utf16LeBytes(h1).substr(0, t1.size()) + Utf16LeBytes(h2).substr(0, t2.size());
    return DeriveKeyPbkdf2(Utf16LeBytes(account), salt, iterations, Pbkdf2Digest::Sha256);
}

std::string SimpleKey(const String& account, Pbkdf2Digest digest)
{
    return DeriveKeyPbkdf2(Utf16LeBytes(account), SaltBytes(kSaltA), 1137, digest);
}

bool Contains(const String& text, const char16_t* part)
{
    return text.find(part) != String::npos;
}
} // namespace

// The AES key of the counter-mode schemes 2, 4, 5 and 6.
static std::string CounterKey(int scheme, const String& account)
{
    if (scheme == 2 || scheme == 4)
        return SimpleKey(account, scheme == 2 ? Pbkdf2Digest::Sha1 : Pbkdf2Digest::Sha256);
    return AdvancedKey(account, scheme == 5 ? kPair12 : kPair34, scheme == 5 ? 1137 : 5137);
}

String PasswordStore::Encrypt(int scheme, const String& account, const String& clear)
{
    switch (scheme)
    {
    case 1:
    case 3:
    {
        Crypto crypto;
        crypto.Initialise(account, scheme == 1 ? 0 : 1);
        return crypto.EncryptString(clear);
    }
    case 2:
    case 4:
    case 5:
    case 6: return HexEncodeLower(AesCounterTransform(CounterKey(scheme, account), Utf16LeBytes(clear), kCounterStart));
    case 7:
    {
        String t1, t2;
        bool stored = true;
        EnsurePair(kPair34Plain, t1, t2, stored);
        return HexEncodeLower(Utf16LeBytes(clear));
    }
    default: return clear;
    }
}

String PasswordStore::Decrypt(int scheme, const String& account, const String& form)
{
    switch (scheme)
    {
    case 1:
    case 3:
    {
        Crypto crypto;
        crypto.Initialise(account, scheme == 1 ? 0 : 1);
        return crypto.DecryptString(form);
    }
    case 2:
    case 4:
    case 5:
    case 6: return FromUtf16LeBytes(AesCounterTransform(CounterKey(scheme, account), HexDecode(form), kCounterStart));
    case 7: return FromUtf16LeBytes(HexDecode(form));
    default: return form;
    }
}

PasswordStore::PasswordStore(const String& account, const String& value, int scheme) : mAccount(account)
{
    // No password: every form of it is empty, so nothing is derived, no key made and no random-number
    // value created for it.
    if (value.empty())
        return;
    tPairStored = true;
    String clear = value;
    if (scheme >= 1 && scheme <= 7)
    {
        tDamaged.clear();
        clear = Decrypt(scheme, account, value);
        // A form made with a random-number value that cannot be read does not decrypt: say which one.
        if (!tDamaged.empty())
        {
            Result r = RESULT_AT("PasswordStore::PasswordStore", ERROR_FROM_STRING_INVALID_CHARACTERS);
            r.GetArguments().push_back(Argument(u"HKEY_LOCAL_MACHINE\\" + String(kRandomKey) + u"\\" + tDamaged.front()));
            throw r;
        }
        mForms[scheme] = value;
    }
    for (int k = 1; k <= 7; ++k)
        if (k != scheme)
            mForms[k] = Encrypt(k, account, clear);
    mPairsStored = tPairStored;
}

String PasswordStore::Form(int k) const
{
    if (k == 0)
        return mForms[4].empty() ? String() : Decrypt(4, mAccount, mForms[4]);
    return k >= 1 && k <= 7 ? mForms[k] : String();
}

HRESULT PasswordLoadStep(IPropertyBag* bag, const String& account, PasswordStore& store, String& unreadable)
{
    unreadable.clear();
    // A form that cannot be read leaves the store empty and says which form and why; the handler keeps
    // working with its other settings.
    auto make = [&](const char16_t* name, const String& form, int scheme) {
        try
        {
            store = PasswordStore(account, form, scheme);
        }
        catch (const Result& r)
        {
            store = PasswordStore();
            unreadable = String(name) + u": " + r.Serialize();
        }
    };
    static const std::pair<const char16_t*, int> kOrder[] = {
        {u"PlainPassword", 0},     {u"AESAdvancedPwd256ICFIPS", 7}, {u"PlainPassword", 0}, {u"AESAdvancedPwd256IC", 6},
        {u"PlainPassword", 0},     {u"AESAdvancedPwd256", 5},       {u"EncryptedPW3", 3},  {u"AESPassword256", 4},
        {u"AESPassword", 2},       {u"EncryptedPW2", 1},            {u"EncryptedPW", -1},
    };
    HRESULT hr = S_FALSE;
    for (const auto& [name, scheme] : kOrder)
    {
        VARIANT v;
        VariantInit(&v);
        hr = bag->Read(name, &v, nullptr);
        if (FAILED(hr))
            return hr;
        if (v.vt == VT_EMPTY)
            continue;
        if (v.vt != VT_BSTR)
        {
            VariantClear(&v);
            if (scheme == 4)
                continue;
            return hr;
        }
        const String text(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal));
        if (scheme == -1)
        {
            // Older raw bytes: their upper-case hexadecimal is a scheme-1 form.
            const std::string bytes(reinterpret_cast<const char*>(v.bstrVal), SysStringByteLen(v.bstrVal));
            VariantClear(&v);
            make(name, BytesToHexUpper(bytes), 1);
            return hr;
        }
        VariantClear(&v);
        make(name, text, scheme);
        return hr;
    }
    return hr;
}

int PasswordSaveTarget()
{
    WCHAR image[260] = {0};
    if (GetProcessImageFileNameW(GetCurrentProcess(), image, 260) == 0)
        image[0] = 0;
    if (!Contains(image, u"TarnConsole.exe"))
        return 7;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Quellon\\Ardentis", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return 7;
    WCHAR version[260] = {0};
    DWORD size = sizeof version - sizeof(WCHAR), type = 0;
    const LSTATUS rc = RegQueryValueExW(key, u"AgentVersion", nullptr, &type, reinterpret_cast<LPBYTE>(version), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return 7;
    const String text = version;
    if (text.find(u"22") == 0)
        return 7;
    if (text.find(u"21") == 0)
        return 6;
    if (text.find(u"18") == 0)
        return 5;
    return 0;
}

HRESULT PasswordSaveStep(IPropertyBag* bag, const PasswordStore& store)
{
    int target = PasswordSaveTarget();
    // A form made with random-number values that could not be stored would not decrypt in the next
    // build: the scheme-7 set is saved instead.
    if ((target == 5 || target == 6) && !store.PairsStored())
    {
        DEBUG_LOG(Debug::APPLICATION, Debug::WARN)
            << "The random-number values could not be stored; the password is saved in scheme 7 instead of " << target;
        target = 7;
    }
    std::vector<std::pair<const char16_t*, String>> writes;
    if (target == 7)
        writes = {{u"AESAdvancedPwd256ICFIPS", store.Form(7)}, {u"PlainPassword", store.Form(0)}};
    else if (target == 6)
        writes = {{u"AESAdvancedPwd256IC", store.Form(6)}, {u"PlainPassword", store.Form(0)}};
    else if (target == 5)
        writes = {{u"AESAdvancedPwd256", store.Form(5)}, {u"PlainPassword", store.Form(0)}};
    else
        writes = {{u"EncryptedPW3", store.Form(3)},
                  {u"AES256Password", store.Form(4)},
                  {u"EncryptedPW2", store.Form(1)},
                  {u"AESPassword", store.Form(2)}};
    HRESULT hr = S_OK;
    for (const auto& [name, value] : writes)
    {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
        hr = bag->Write(name, &v);
        VariantClear(&v);
        if (FAILED(hr))
            return hr;
    }
    return hr;
}

#include "Crypto/Crypto.h"
#include "Crypto/PasswordStore.h"

#include <cstring>

void Crypto::Initialise(const String& passPhrase, int mode)
{
    Release();
    if (passPhrase.size() > 259)
        return;
    std::memcpy(mPassPhrase, passPhrase.c_str(), (passPhrase.size() + 1) * sizeof(WCHAR));
    // The provider is chosen by its type: PROV_RSA_FULL makes 40-bit RC4 keys, PROV_RSA_AES 128-bit ones.
    const DWORD type = mode == 0 ? PROV_RSA_FULL : PROV_RSA_AES;
    if (!CryptAcquireContextW(&mProvider, nullptr, nullptr, type, 0) &&
        !CryptAcquireContextW(&mProvider, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT))
        return;
    HCRYPTHASH hash = 0;
    const std::string bytes = Utf16LeBytes(passPhrase);
    if (!CryptCreateHash(mProvider, mode == 0 ? CALG_MD5 : CALG_SHA_256, 0, 0, &hash))
        return;
    const bool ok = CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
                    CryptDeriveKey(mProvider, CALG_RC4, hash, CRYPT_EXPORTABLE, &mKey);
    CryptDestroyHash(hash);
    mInitialised = ok;
}

String Crypto::EncryptString(const String& clear)
{
    if (!mInitialised)
        return String();
    std::string bytes = Utf16LeBytes(clear);
    if (bytes.size() > 1000)
        bytes.resize(1000);
    BYTE buffer[1000] = {0};
    std::memcpy(buffer, bytes.data(), bytes.size());
    DWORD length = static_cast<DWORD>(bytes.size());
    if (!CryptEncrypt(mKey, 0, TRUE, 0, buffer, &length, sizeof buffer))
        return String();
    return HexEncodeLower(std::string(reinterpret_cast<const char*>(buffer), length));
}

String Crypto::DecryptString(const String& form)
{
    std::string bytes = HexDecode(form);
    if (!mInitialised || bytes.empty() || bytes.size() > 1000)
        return String();
    // "[PD]" marks data wrapped by the data-protection service; unwrapped when that is available.
    const std::string marker = Utf16LeBytes(u"[PD]");
    if (bytes.compare(0, marker.size(), marker) == 0)
    {
        const std::string entropyBytes = Utf16LeBytes(mPassPhrase);
        DATA_BLOB in{static_cast<DWORD>(bytes.size() - 8), reinterpret_cast<BYTE*>(&bytes[8])};
        DATA_BLOB entropy{static_cast<DWORD>(entropyBytes.size()),
                          reinterpret_cast<BYTE*>(const_cast<char*>(entropyBytes.data()))};
        DATA_BLOB out{0, nullptr};
        LPWSTR description = nullptr;
        if (CryptUnprotectData(&in, &description, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        {
            if (out.cbData > 1000)
                return String();
            if (description != nullptr && String(description) == u"[PD]")
                bytes.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
        }
    }
    BYTE buffer[1002] = {0};
    std::memcpy(buffer, bytes.data(), bytes.size());
    DWORD length = static_cast<DWORD>(bytes.size());
    if (!CryptDecrypt(mKey, 0, TRUE, 0, buffer, &length))
        return String();
    String clear;
    for (DWORD i = 0; i + 1 < length + 1 && i / 2 < 500; i += 2)
    {
        const char16_t c = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
        if (c == 0)
            break;
        clear += c;
    }
    return clear;
}

void Crypto::Release()
{
    if (mKey)
        CryptDestroyKey(mKey);
    if (mProvider)
        CryptReleaseContext(mProvider, 0);
    mKey = 0;
    mProvider = 0;
    mInitialised = false;
}

#include "Platform/Win32/Crypt.h"
#include "Platform/Win32/Handles.h"

#include "Platform/Win32/CryptoLibrary.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace
{
// libcrypto, open whenever a provider exists (CryptAcquireContextW opens it).
const CryptoLibrary& Lib()
{
    return *Crypto();
}

struct Provider : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::CryptProvider;
    Provider() : HandleObject(kKind) {}
    DWORD type = 0;
};

struct Hash : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::CryptHash;
    Hash() : HandleObject(kKind) {}
    ~Hash() override { Lib().EVP_MD_CTX_free(context); }
    DWORD providerType = 0;
    EVP_MD_CTX* context = nullptr;
};

struct Key : HandleObject
{
    static constexpr HandleKind kKind = HandleKind::CryptKey;
    Key() : HandleObject(kKind) {}
    ~Key() override { Lib().EVP_CIPHER_CTX_free(stream); }
    std::vector<unsigned char> bytes;
    EVP_CIPHER_CTX* stream = nullptr; // the running RC4 key stream, made at the first use
};

template <class T>
T* As(ULONG_PTR handle)
{
    return HandleAs<T>(reinterpret_cast<const void*>(handle));
}

// RC4 from the legacy provider, in a library context of our own.
const EVP_CIPHER* Rc4()
{
    static const EVP_CIPHER* cipher = [] {
        OSSL_LIB_CTX* context = Lib().OSSL_LIB_CTX_new();
        if (context == nullptr)
            return static_cast<EVP_CIPHER*>(nullptr);
        Lib().OSSL_PROVIDER_load(context, "legacy");
        Lib().OSSL_PROVIDER_load(context, "default");
        return Lib().EVP_CIPHER_fetch(context, "RC4", nullptr);
    }();
    return cipher;
}

BOOL Crypt(HCRYPTKEY handle, BOOL final, BYTE* data, DWORD* length)
{
    Key* key = As<Key>(handle);
    if (key == nullptr || length == nullptr)
        return FALSE;
    const EVP_CIPHER* rc4 = Rc4();
    if (rc4 == nullptr)
    {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    if (key->stream == nullptr)
    {
        key->stream = Lib().EVP_CIPHER_CTX_new();
        if (key->stream == nullptr || !Lib().EVP_CipherInit_ex(key->stream, rc4, nullptr, nullptr, nullptr, 1) ||
            !Lib().EVP_CIPHER_CTX_set_key_length(key->stream, static_cast<int>(key->bytes.size())) ||
            !Lib().EVP_CipherInit_ex(key->stream, nullptr, nullptr, key->bytes.data(), nullptr, 1))
        {
            Lib().EVP_CIPHER_CTX_free(key->stream);
            key->stream = nullptr;
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
            return FALSE;
        }
    }
    int out = 0;
    if (*length > 0 && !Lib().EVP_CipherUpdate(key->stream, data, &out, data, static_cast<int>(*length)))
    {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return FALSE;
    }
    if (final)
    {
        Lib().EVP_CIPHER_CTX_free(key->stream);
        key->stream = nullptr;
    }
    return TRUE;
}
} // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR, LPCWSTR, DWORD type, DWORD)
{
    if (provider == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *provider = 0;
    if (type != PROV_RSA_FULL && type != PROV_RSA_AES)
    {
        SetLastError(static_cast<DWORD>(NTE_BAD_PROV_TYPE));
        return FALSE;
    }
    if (Crypto() == nullptr)
        return FALSE; // ERROR_MOD_NOT_FOUND: libcrypto cannot be opened
    auto* p = new Provider();
    p->type = type;
    *provider = reinterpret_cast<HCRYPTPROV>(p);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD)
{
    return CloseHandleOfKind(reinterpret_cast<const void*>(provider), {HandleKind::CryptProvider});
}

BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY, DWORD, HCRYPTHASH* hash)
{
    Provider* p = As<Provider>(provider);
    if (p == nullptr || hash == nullptr)
        return FALSE;
    const EVP_MD* md = algorithm == CALG_MD5       ? Lib().EVP_md5()
                       : algorithm == CALG_SHA1    ? Lib().EVP_sha1()
                       : algorithm == CALG_SHA_256 && p->type == PROV_RSA_AES ? Lib().EVP_sha256()
                                                                               : nullptr;
    if (md == nullptr)
    {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    auto* h = new Hash();
    h->providerType = p->type;
    h->context = Lib().EVP_MD_CTX_new();
    if (h->context == nullptr || !Lib().EVP_DigestInit_ex(h->context, md, nullptr))
    {
        delete h;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *hash = reinterpret_cast<HCRYPTHASH>(h);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD)
{
    Hash* h = As<Hash>(hash);
    if (h == nullptr)
        return FALSE;
    return Lib().EVP_DigestUpdate(h->context, data, length) ? TRUE : FALSE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash)
{
    return CloseHandleOfKind(reinterpret_cast<const void*>(hash), {HandleKind::CryptHash});
}

BOOL CryptDeriveKey(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTHASH hash, DWORD, HCRYPTKEY* key)
{
    Provider* p = As<Provider>(provider);
    Hash* h = As<Hash>(hash);
    if (p == nullptr || h == nullptr || key == nullptr)
        return FALSE;
    if (algorithm != CALG_RC4)
    {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    // The digest so far (the hash stays usable).
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD_CTX* copy = Lib().EVP_MD_CTX_new();
    if (copy == nullptr || !Lib().EVP_MD_CTX_copy_ex(copy, h->context) || !Lib().EVP_DigestFinal_ex(copy, digest, &size))
    {
        Lib().EVP_MD_CTX_free(copy);
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return FALSE;
    }
    Lib().EVP_MD_CTX_free(copy);
    auto* k = new Key();
    if (p->type == PROV_RSA_FULL)
    {
        // 40 bits of key and 88 bits of zero salt.
        k->bytes.assign(digest, digest + 5);
        k->bytes.resize(16, 0);
    }
    else
        k->bytes.assign(digest, digest + std::min(16u, size));
    *key = reinterpret_cast<HCRYPTKEY>(k);
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key)
{
    return CloseHandleOfKind(reinterpret_cast<const void*>(key), {HandleKind::CryptKey});
}

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH, BOOL final, DWORD, BYTE* data, DWORD* length, DWORD bufferLength)
{
    if (length != nullptr && *length > bufferLength)
    {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return Crypt(key, final, data, length);
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH, BOOL final, DWORD, BYTE* data, DWORD* length)
{
    return Crypt(key, final, data, length);
}

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer)
{
    if (As<Provider>(provider) == nullptr || buffer == nullptr)
        return FALSE;
    if (Lib().RAND_bytes(buffer, static_cast<int>(length)) != 1)
    {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

BOOL CryptUnprotectData(DATA_BLOB*, LPWSTR*, DATA_BLOB*, void*, void*, DWORD, DATA_BLOB*)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// The CryptoAPI subset the stored password uses, over OpenSSL's libcrypto: providers by type,
// MD5/SHA-1/SHA-256 hashes, RC4 keys derived from a hash, random bytes. RC4 comes from OpenSSL's legacy
// provider, loaded into a library context of this layer's own (not the process default).
//
// CryptDeriveKey(CALG_RC4) with the default length, as the two providers make it: PROV_RSA_FULL (the
// base provider) a 40-bit key, the first 5 digest bytes followed by 11 zero salt bytes; PROV_RSA_AES
// (the enhanced provider) the first 16 digest bytes. A provider is chosen by its type; the name is
// accepted and not checked. CryptUnprotectData (DPAPI) is not available and fails.
#pragma once

#include "Platform/Win32/Errors.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_EXPORTABLE 0x00000001
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA_256 0x0000800C
#define CALG_RC4 0x00006801
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)

typedef struct _CRYPTOAPI_BLOB
{
    DWORD cbData;
    BYTE* pbData;
} DATA_BLOB;
#define CRYPTPROTECT_UI_FORBIDDEN 0x1

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName, DWORD type, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);
BOOL CryptDeriveKey(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
// RC4 in place; the key stream continues across calls until a call with final set ends it.
BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* length, DWORD bufferLength);
BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* length);
BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer);
// Not available here: FALSE with ERROR_NOT_SUPPORTED.
BOOL CryptUnprotectData(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy, void* reserved, void* prompt,
                        DWORD flags, DATA_BLOB* out);

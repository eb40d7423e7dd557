// OpenSSL's libcrypto as the product's cryptography uses it: opened with dlopen by its versioned name
// (libcrypto.so.3) at the first password or hash operation, not linked, so a process that handles no
// password never maps it. The calls are libcrypto's own, through a table of its functions.
#pragma once

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <string>

#define FERRULE_CRYPTO_FUNCTIONS(X)                                                                                    \
    X(PKCS5_PBKDF2_HMAC)                                                                                               \
    X(EVP_md5)                                                                                                         \
    X(EVP_sha1)                                                                                                        \
    X(EVP_sha256)                                                                                                      \
    X(EVP_aes_256_ecb)                                                                                                 \
    X(EVP_MD_CTX_new)                                                                                                  \
    X(EVP_MD_CTX_free)                                                                                                 \
    X(EVP_MD_CTX_copy_ex)                                                                                              \
    X(EVP_DigestInit_ex)                                                                                               \
    X(EVP_DigestUpdate)                                                                                                \
    X(EVP_DigestFinal_ex)                                                                                              \
    X(EVP_CIPHER_CTX_new)                                                                                              \
    X(EVP_CIPHER_CTX_free)                                                                                             \
    X(EVP_CIPHER_CTX_set_padding)                                                                                      \
    X(EVP_CIPHER_CTX_set_key_length)                                                                                   \
    X(EVP_EncryptInit_ex)                                                                                              \
    X(EVP_EncryptUpdate)                                                                                               \
    X(EVP_CipherInit_ex)                                                                                               \
    X(EVP_CipherUpdate)                                                                                                \
    X(EVP_CIPHER_fetch)                                                                                                \
    X(OSSL_LIB_CTX_new)                                                                                                \
    X(OSSL_PROVIDER_load)                                                                                              \
    X(RAND_bytes)

struct CryptoLibrary
{
#define FERRULE_CRYPTO_MEMBER(name) decltype(&::name) name;
    FERRULE_CRYPTO_FUNCTIONS(FERRULE_CRYPTO_MEMBER)
#undef FERRULE_CRYPTO_MEMBER
};

// The library, opened on the first call and kept for the process; null when it cannot be opened or
// lacks a function, with the last error ERROR_MOD_NOT_FOUND and error (when given) naming the library
// and why.
const CryptoLibrary* Crypto(std::string* error = nullptr);

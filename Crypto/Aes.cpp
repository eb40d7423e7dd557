#include "Crypto/Aes.h"

#include "Platform/Win32/CryptoLibrary.h"

std::string DeriveKeyPbkdf2(const std::string& pass, const std::string& salt, int iterations, Pbkdf2Digest digest)
{
    const CryptoLibrary* lib = Crypto();
    if (lib == nullptr)
        return std::string();
    std::string key(32, '\0');
    lib->PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                      static_cast<int>(salt.size()), iterations, digest == Pbkdf2Digest::Sha1 ? lib->EVP_sha1() : lib->EVP_sha256(),
                      32, reinterpret_cast<unsigned char*>(&key[0]));
    return key;
}

std::string AesCounterTransform(const std::string& key32, const std::string& bytes, uint64_t counterStart)
{
    const CryptoLibrary* lib = Crypto();
    if (lib == nullptr)
        return std::string();
    std::string out = bytes;
    EVP_CIPHER_CTX* context = lib->EVP_CIPHER_CTX_new();
    if (context == nullptr || key32.size() != 32 ||
        !lib->EVP_EncryptInit_ex(context, lib->EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key32.data()),
                            nullptr))
    {
        lib->EVP_CIPHER_CTX_free(context);
        return std::string();
    }
    lib->EVP_CIPHER_CTX_set_padding(context, 0);
    for (size_t offset = 0, i = 0; offset < out.size(); offset += 16, ++i)
    {
        unsigned char counter[16], stream[32];
        const uint64_t high = counterStart + i + 1, low = counterStart + i;
        for (int b = 0; b < 8; ++b)
        {
            counter[b] = static_cast<unsigned char>(high >> (8 * b));
            counter[8 + b] = static_cast<unsigned char>(low >> (8 * b));
        }
        int n = 0;
        lib->EVP_EncryptUpdate(context, stream, &n, counter, 16);
        for (size_t j = 0; j < 16 && offset + j < out.size(); ++j)
            out[offset + j] = static_cast<char>(out[offset + j] ^ stream[j]);
    }
    lib->EVP_CIPHER_CTX_free(context);
    return out;
}

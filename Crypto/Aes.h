// The AES-256 counter transform and PBKDF2 key derivation of the stored password, over OpenSSL.
#pragma once

#include <cstdint>
#include <string>

enum class Pbkdf2Digest
{
    Sha1,
    Sha256
};

// PBKDF2 (RFC 8018) with HMAC over the digest; a 32-byte key.
std::string DeriveKeyPbkdf2(const std::string& pass, const std::string& salt, int iterations, Pbkdf2Digest digest);

// Encrypts and decrypts alike: block i (16 bytes, the last may be shorter) is XOR-ed with AES-256 of
// the counter block: the 64-bit little-endian c + i + 1, then the 64-bit little-endian c + i.
std::string AesCounterTransform(const std::string& key32, const std::string& bytes, uint64_t counterStart);

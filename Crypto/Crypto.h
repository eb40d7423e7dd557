// The RC4 cipher context of password schemes 1 and 3, over the platform's CryptoAPI.
#pragma once

#include "Base/Dev/Global/Types.h"
#include "Platform/Win32/Crypt.h"

class Crypto
{
public:
    ~Crypto() { Release(); }
    // Mode 0: base provider, MD5 of the pass phrase; mode 1: enhanced provider, SHA-256. A failing step
    // (or a pass phrase longer than 259 characters) leaves the context uninitialised.
    void Initialise(const String& passPhrase, int mode);
    // The clear text's UTF-16LE bytes (at most 1000) encrypted, as lower-case hexadecimal; "" on failure.
    String EncryptString(const String& clear);
    // The clear text of a form; "" on failure. "[PD]"-wrapped input is decrypted without unwrapping
    // when unwrapping is not available.
    String DecryptString(const String& form);
    void Release();

private:
    HCRYPTPROV mProvider = 0;
    HCRYPTKEY mKey = 0;
    WCHAR mPassPhrase[260] = {0};
    bool mInitialised = false;
};

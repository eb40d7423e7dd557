// The stored SMTP password: seven encoded forms made at once, the random-number values they share,
// and the password steps of the e-mail handler's Load and Save.
#pragma once

#include "Base/Dev/Global/Encoders.h"
#include "Base/Dev/Global/Types.h"
#include "Platform/Com/PropertyBag.h"

#include <string>

class PasswordStore
{
public:
    PasswordStore() = default;
    // Scheme s from 1 to 7: value is form s, the others are made from its clear text; any other s: value
    // is the clear text. An empty value is an empty store (every form empty; nothing derived). Raises ERROR_FROM_STRING_INVALID_CHARACTERS for a form that is not hexadecimal,
    // or one that depends on a random-number value that cannot be read (named in its argument). A damaged
    // value is never overwritten; the forms made with its in-memory replacement are not stored
    // (PairsStored is false).
    PasswordStore(const String& account, const String& value, int scheme);

    // Form k for k from 1 to 7; Form(0) is the clear text (form 4 decrypted).
    String Form(int k) const;
    bool Stored() const { return !mForms[7].empty(); }
    // Whether the random-number values the forms 5 and 6 depend on are in the registry (read, or
    // written when made); false when this process could not store new ones.
    bool PairsStored() const { return mPairsStored; }
    const String& Account() const { return mAccount; }

    static String Encrypt(int scheme, const String& account, const String& clear);
    static String Decrypt(int scheme, const String& account, const String& form);

private:
    String mAccount;
    String mForms[8]; // 1..7
    bool mPairsStored = true;
};

// The password load step: the first form found in the bag in the load order; S_FALSE when none. A form
// that cannot be read (not hexadecimal, or made with a random-number value that cannot be read) leaves
// the store empty and `unreadable` naming the form's element and the reason; "" otherwise.
HRESULT PasswordLoadStep(IPropertyBag* bag, const String& account, PasswordStore& store, String& unreadable);
// The scheme the save step writes: 7, 6, 5, or 0 for the legacy set (by the program and AgentVersion).
int PasswordSaveTarget();
// The password save step: the target's forms, each a string.
HRESULT PasswordSaveStep(IPropertyBag* bag, const PasswordStore& store);

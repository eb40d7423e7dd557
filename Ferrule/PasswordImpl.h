// The password operations of the e-mail handler: the store, its account name, the properties that set
// and read its forms, and the load and save steps. Every operation holds the object's lock through a
// PasswordLocker named "Password".
#pragma once

#include "Base/Dev/Diagnostics/ObjectLocker.h"
#include "Ferrule/HandlerBase.h"
#include "Crypto/PasswordStore.h"

template <class Base, size_t MaxLength>
class PasswordImpl : public Base
{
public:

    STDMETHOD(put_Password)(BSTR value) override
    {
        const PasswordLocker lock(*this, "PasswordImpl::put_Password");
        return Boundary("PasswordImpl::put_Password", [&]() -> HRESULT {
            const String text = ToString(value);
            if (text.empty())
            {
                mStore = PasswordStore();
                mUnreadable.clear();
                return S_OK;
            }
            if (text.size() > MaxLength)
                return HRESULT_FROM_WIN32(1325); // ERROR_PASSWORD_RESTRICTION
            mStore = PasswordStore(Account(), text, 0);
            mUnreadable.clear();
            return S_OK;
        });
    }
    STDMETHOD(get_EncryptedPassword)(BSTR* value) override
    {
        if (value == nullptr)
            return E_POINTER;
        const PasswordLocker lock(*this, "PasswordImpl::get_EncryptedPassword");
        return Boundary("PasswordImpl::get_EncryptedPassword", [&]() -> HRESULT {
            const std::string bytes = HexToBytes(mStore.Form(7));
            *value = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
            return *value || bytes.empty() ? S_OK : E_OUTOFMEMORY;
        });
    }
    STDMETHOD(put_EncryptedPassword)(BSTR value) override
    {
        const PasswordLocker lock(*this, "PasswordImpl::put_EncryptedPassword");
        Boundary("PasswordImpl::put_EncryptedPassword", [&]() -> HRESULT {
            const std::string bytes(reinterpret_cast<const char*>(value), SysStringByteLen(value));
            mStore = PasswordStore(Account(), BytesToHexUpper(bytes), 7);
            mUnreadable.clear();
            return S_OK;
        });
        return S_OK; // a form that does not convert leaves the store as it was
    }
    STDMETHOD(get_HexEncryptedPassword)(BSTR* value) override
    {
        if (value == nullptr)
            return E_POINTER;
        const PasswordLocker lock(*this, "PasswordImpl::get_HexEncryptedPassword");
        const String form = mStore.Form(7);
        *value = SysAllocStringLen(form.data(), static_cast<UINT>(form.size()));
        return *value ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHOD(put_HexEncryptedPassword)(BSTR value) override
    {
        const PasswordLocker lock(*this, "PasswordImpl::put_HexEncryptedPassword");
        return Boundary("PasswordImpl::put_HexEncryptedPassword", [&]() -> HRESULT {
            mStore = PasswordStore(Account(), ToString(value), 7);
            mUnreadable.clear();
            return S_OK;
        });
    }

    // The clear text when a password is stored (form 7 non-empty).
    bool StoredPassword(String& password) const
    {
        password = mStore.Stored() ? mStore.Form(0) : String();
        return mStore.Stored();
    }
    const PasswordStore& Store() const { return mStore; }
    // The stored form the last load could not read and why ("" when it read one, or none was there);
    // cleared when a password is set.
    const String& UnreadablePassword() const { return mUnreadable; }
    BSTR KeyAccountName() const { return mKeyAccountName.Get(); }

protected:
    // The object's re-entrant lock.
    virtual void PasswordLock() = 0;
    virtual void PasswordUnlock() = 0;

    HRESULT SetKeyAccountName(BSTR name) { return CopyIn(name, mKeyAccountName); }
    HRESULT PasswordLoadStep(IPropertyBag* bag)
    {
        const PasswordLocker lock(*this, "PasswordImpl::PasswordLoadStep");
        return Boundary("PasswordImpl::PasswordLoadStep",
                        [&] { return ::PasswordLoadStep(bag, Account(), mStore, mUnreadable); });
    }
    HRESULT PasswordSaveStep(IPropertyBag* bag)
    {
        return Boundary("PasswordImpl::PasswordSaveStep", [&] { return ::PasswordSaveStep(bag, mStore); });
    }

private:
    // An ObjectLocker over the object's lock, named "Password".
    struct LockTarget
    {
        PasswordImpl& owner;
        void Lock() { owner.PasswordLock(); }
        void Unlock() { owner.PasswordUnlock(); }
    };
    class PasswordLocker
    {
    public:
        PasswordLocker(PasswordImpl& owner, const char* operation) : mTarget{owner}, mLocker(mTarget, "Password", operation, "") {}

    private:
        LockTarget mTarget;
        ObjectLocker<LockTarget> mLocker;
    };

    String Account() const { return mKeyAccountName.Str(); }

    Bstr mKeyAccountName;
    PasswordStore mStore;
    String mUnreadable;
};

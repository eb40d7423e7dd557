// The e-mail handler: composes a subject and a body per accepted notification and hands them to the
// mail library (Plover.dll, chosen by Encryption) and to the CDO-style transport (chosen by
// Authentication). Its object root is multi-threaded (atomic count, own lock), taken by the password
// operations.
#pragma once

#include "Ferrule/PasswordImpl.h"
#include "Ferrule/HandlerBase.h"
#include "Ferrule/Outbox.h"
#include "Platform/Cdo/Smtp.h"
#include "Platform/Win32/Library.h"

#include <string>
#include <utility>

class CNotifyEmail : public PasswordImpl<INotifyHandlerImpl<INotifyEmail4>, 64>,
                     public IPersistPropertyBagImpl<CNotifyEmail>,
                     public ISupportErrorInfoImpl<CNotifyEmail>,
                     public IOutboxHandler,
                     public ComObjectRootEx<MultiThreadModel>
{
public:
    BEGIN_COM_MAP(CNotifyEmail)
    COM_INTERFACE_ENTRY(INotifyEmail4)
    COM_INTERFACE_ENTRY2(INotifyEmail3, INotifyEmail4)
    COM_INTERFACE_ENTRY2(INotifyEmail2, INotifyEmail4)
    COM_INTERFACE_ENTRY2(INotifyEmail, INotifyEmail4)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifyEmail4)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyEmail4)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    COM_INTERFACE_ENTRY(IOutboxHandler)
    END_COM_MAP()

    CNotifyEmail();
    ~CNotifyEmail() override;

    static const CLSID& ClassId() { return CLSID_NotifyEmail; }
    static const IID* const* ErrorInfoInterfaces();

    STDMETHOD(get_Address)(BSTR* value) override;
    STDMETHOD(put_Address)(BSTR value) override;
    STDMETHOD(get_SMTPServer)(BSTR* value) override;
    STDMETHOD(put_SMTPServer)(BSTR value) override;
    STDMETHOD(get_ServerPort)(UINT* value) override;
    STDMETHOD(put_ServerPort)(UINT value) override;
    STDMETHOD(get_AddressFrom)(BSTR* value) override;
    STDMETHOD(put_AddressFrom)(BSTR value) override;
    STDMETHOD(get_Anonymous)(VARIANT_BOOL* value) override;
    STDMETHOD(put_Anonymous)(VARIANT_BOOL value) override;
    STDMETHOD(get_Authentication)(eZD_NOTIFY_SMTP_AUTHENTICATION* value) override;
    STDMETHOD(put_Authentication)(eZD_NOTIFY_SMTP_AUTHENTICATION value) override;
    STDMETHOD(get_User)(BSTR* value) override;
    STDMETHOD(put_User)(BSTR value) override;
    STDMETHOD(get_Encryption)(eZD_NOTIFY_ENCRYPTION_TYPE* value) override;
    STDMETHOD(put_Encryption)(eZD_NOTIFY_ENCRYPTION_TYPE value) override;

    // IOutboxHandler: a transient failure of either transport keeps the mail in the policy's outbox;
    // Redeliver sends a kept one again through its transport with the current server and credentials.
    STDMETHOD(SetOutbox)(BSTR policy, BSTR application, ULONG retryMinutes) override;
    STDMETHOD(Redeliver)(BSTR entry, OutboxOutcome* outcome, BSTR* failure) override;

    HRESULT Deliver(const Notification& n) override;
    std::optional<HRESULT> BeforeFilter() override;
    const char* NotifyFunction() const override { return "CNotifyEmail::Notify"; }

    // Load and Save: the rows, then the password steps.
    HRESULT LoadExtra(IPropertyBag* bag, HRESULT rows);
    // The failure of a stored password that could not be read (HRESULT kPasswordUnreadable).
    static constexpr HRESULT kPasswordUnreadable = static_cast<HRESULT>(0x8007000D); // ERROR_INVALID_DATA
    Result PasswordProblem(int line) const;
    HRESULT SaveExtra(IPropertyBag* bag, BOOL clearDirty, HRESULT rows);
    // The CDO transport: configures a message object and sends it (under the logon of User for NTLM).
    virtual HRESULT SendMailUsingAuthentication(BSTR application, const String& subject, const String& body);
    // A kept mail sent again through the CDO transport: its recipients and message as first composed.
    struct Resend
    {
        std::string to, message;
    };
    HRESULT SendThroughCdo(BSTR application, const String& subject, const String& body, const Resend* again);
    // What the last CDO send asked the server for (mechanism and user), for diagnostics.
    const std::string& LastCdoLogin() const { return mLastCdoLogin; }

protected:
    void PasswordLock() override { Lock(); }
    void PasswordUnlock() override { Unlock(); }

private:
    bool mRequiresSave = true;
    Bstr mAddress;
    Bstr mSMTPServer;
    Bstr mAddressFrom;
    UINT mServerPort = 25;
    eZD_NOTIFY_SMTP_AUTHENTICATION mAuthentication = SMTP_AUTH_NTLM;
    eZD_NOTIFY_ENCRYPTION_TYPE mEncryption = ENCRYPTION_TYPE_NONE;
    Bstr mUser;
    std::string mLastCdoLogin;
    bool LibrarySends() const; // Encryption selects the mail library's transport
    bool CdoSends() const;     // Authentication selects the CDO-style transport
    std::string Destination() const; // "smtp://SERVER:PORT", the outbox's name of the server
    HRESULT SendThroughLibrary(const String& subject, const String& body, const String& password);
    // The library's failure for a result (none for 0), and whether its cause may pass.
    std::optional<Result> LibraryFailureOf(unsigned char result, bool& mayPass) const;
    outbox::Keeper mKeeper;
    SmtpOutcome mLastCdoOutcome; // how the last CDO send ended
    void* mSendEmail = nullptr; // the mail library's entry point, looked up once the library is loaded
    HMODULE mMailLibrary = nullptr; // loaded by the first Notify, kept while the handler lives
};

// (name, domain) of an account: "name@domain", "domain\\name" or "name" (no domain).
std::pair<String, String> SplitAccountName(const String& account);

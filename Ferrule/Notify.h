// The notification manager: loads the policy file into its handler table and hands every notification
// to the handlers in class-identifier order, collecting their failures into one error description.
#pragma once

#include "Ferrule/HandlerBase.h"
#include "Ferrule/Outbox.h"
#include "Platform/Com/Owners.h"
#include "Platform/Xml/XmlDocument.h"
#include "Translator/MessageTranslator.h"

#include <memory>
#include <string>
#include <vector>

class CNotify : public IDispatchImpl<INotify>, public ISupportErrorInfoImpl<CNotify>, public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotify)
    COM_INTERFACE_ENTRY(INotify)
    COM_INTERFACE_ENTRY2(IDispatch, INotify)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotify();
    ~CNotify();
    // The policy file is written when the last reference goes.
    void FinalRelease();

    static const IID* const* ErrorInfoInterfaces();

    STDMETHOD(Initialize)(BSTR application, BSTR configFile) override;
    STDMETHOD(get_Application)(BSTR* application) override;
    STDMETHOD(GetHandler)(BSTR handlerId, INotifyHandler** handler) override;
    STDMETHOD(Notify)(eZD_NOTIFY_TYPE type, eZD_NOTIFY_PRIORITY priority, ULONG code, BSTR description, BSTR source,
                      DATE timeStamp) override;
    STDMETHOD(get_Handler)(BSTR handlerId, INotifyHandler** handler) override;
    STDMETHOD(put_Handler)(BSTR handlerId, INotifyHandler* handler) override;

    // Reads the configuration file into the handler table (in Policy.cpp, with the writing); S_FALSE
    // when nothing could be loaded. A Handler element that cannot be loaded is kept aside and the
    // others still load. A handler that loads with a problem it wants known leaves error information
    // describing it, which is warned through the log file.
    [[nodiscard]] HRESULT LoadPolicy();
    // Writes the handler table to the configuration file; nothing is written when a handler fails.
    // The file is written only when it does not exist or the table's settings differ from those read
    // (a file that could not be read whole is then kept as NAME.unreadable first); otherwise it is
    // left as it is. S_FALSE when nothing was written.
    [[nodiscard]] HRESULT SavePolicy();
    // The keys of the table in dispatch order.
    std::vector<String> Keys() const;

private:
    struct Entry
    {
        Bstr key; // upper-case class-id text
        ComPtr<INotifyHandler> handler;
        // What the handler offers besides INotifyHandler, asked once when it enters the table (a COM
        // object's answers to QueryInterface do not change); null when it offers nothing more.
        ComPtr<INotifySerialized> serialized;
        ComPtr<INotifySNMPTrap> trap;
    };

    // The entry with that key, or null.
    Entry* Find(BSTR key);
    // Inserts in key order; false (and nothing changed) when the key is taken.
    bool Insert(const String& key, ComPtr<INotifyHandler> handler);
    // The translator's translation of text; null when the translator does not take it (no serialized
    // result) or cannot be created.
    Bstr Translate(BSTR text, bool forTrap);
    HRESULT Fail(HRESULT hr, const String& description);
    // The policy document of the table as text; with terminate, each handler's Terminate runs.
    [[nodiscard]] HRESULT PolicyText(bool terminate, std::string& text, bool* holdsPassword = nullptr);
    // A high-priority warning through the log-file handler.
    void Warn(const String& text);

    std::vector<Entry> mHandlers;
    Bstr mApplication{u""};
    Bstr mConfigFile{u""};
    ComPtr<IMessageTranslator> mTranslator;
    Bstr mLogKey; // the log-file handler's key: the fallback for every other handler's failure
    // What was read: whether the configured file existed, whether it was read whole (else where
    // reading stopped), and the policy text of the table right after Initialize.
    bool mReadOnly = false; // policy::kReadOnlyItem when Initialize ran
    // The outbox's retry period in minutes (0: off), and whether the file had an Outbox element, which is
    // then written back with it.
    ULONG mRetryMinutes = outbox::kDefaultRetryMinutes;
    bool mOutboxElement = false;
    bool mOutboxOff = false; // policy::kNoOutboxItem when Initialize ran
    // Tells a handler that keeps failed deliveries which policy it belongs to, and the retry period.
    void TellOutbox(INotifyHandler* handler);
    bool mPolicyExisted = false;
    bool mPolicyWhole = true;
    String mPolicyStop;
    std::string mSnapshot;
    bool mSnapshotValid = false;
    // Handler elements that could not be loaded: no built-in takes their place, every Notify reports
    // them, and the policy is written back with each element as it was read (from mReadDocument).
    struct Unloaded
    {
        String key;     // upper-case class-id text, or "" without one
        String element; // where it stands: "child N of Handlers (Handler {...})"
        HRESULT hr;
        String reason;
        XmlNode node;
    };
    std::vector<Unloaded> mUnloaded;
    std::shared_ptr<XmlDocument> mReadDocument;
    // Problems that handlers loaded with (a stored password that could not be read), warned once the
    // log-file handler is configured.
    std::vector<String> mLoadWarnings;
};



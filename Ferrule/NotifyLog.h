// The log-file handler: appends a UTF-16LE line per accepted notification to a file that rotates to
// one ".old" generation when it has grown beyond MaxSize kilobytes.
#pragma once

#include "Ferrule/HandlerBase.h"

class CNotifyLog : public INotifyHandlerImpl<INotifyLog>,
                   public IPersistPropertyBagImpl<CNotifyLog>,
                   public ISupportErrorInfoImpl<CNotifyLog>,
                   public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifyLog)
    COM_INTERFACE_ENTRY(INotifyLog)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifyLog)
    COM_INTERFACE_ENTRY2(IDispatch, INotifyLog)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifyLog();
    ~CNotifyLog() override;

    static const CLSID& ClassId() { return CLSID_NotifyLog; }
    static const IID* const* ErrorInfoInterfaces();

    HRESULT Deliver(const Notification& n) override;
    const char* NotifyFunction() const override { return "CNotifyLog::Notify"; }
    STDMETHOD(get_MaxSize)(ULONG* value) override;
    STDMETHOD(put_MaxSize)(ULONG value) override;
    STDMETHOD(get_FileName)(BSTR* value) override;
    STDMETHOD(put_FileName)(BSTR value) override;
    STDMETHOD(get_FilePath)(BSTR* value) override;
    STDMETHOD(put_FilePath)(BSTR value) override;

private:
    // The file's name for the application: made again, with the folder path created, when FilePath,
    // FileName or the application differ from the last entry's, or when remake is set.
    const String& LogFileName(BSTR application, bool remake);

    ULONG mMaxSize = 1024; // kilobytes; 0xFFFFFFFF: no maximum
    Bstr mFileName;
    Bstr mFilePath; // with a trailing "\" when not empty
    struct
    {
        bool made = false;
        String path, file, application; // what the name was made from
        String name;
    } mLogName;
};

// Creates every missing folder of path's folder part (the text up to its last separator); a relative
// or empty path creates nothing. False when a folder cannot be created.
bool CreateFolderPath(const WCHAR* path);

// The SNMP trap handler: turns each accepted notification into an SNMP trap through the trap library
// (Wicket.dll, from the folder "Shared" beside the program's folder), off until SNMPTrapEnabled is set.
#pragma once

#include "Ferrule/HandlerBase.h"
#include "Platform/Win32/Library.h"

class CNotifySNMPTrap : public INotifyHandlerImpl<INotifySNMPTrap>,
                        public IPersistPropertyBagImpl<CNotifySNMPTrap>,
                        public ISupportErrorInfoImpl<CNotifySNMPTrap>,
                        public ComObjectRoot
{
public:
    BEGIN_COM_MAP(CNotifySNMPTrap)
    COM_INTERFACE_ENTRY(INotifySNMPTrap)
    COM_INTERFACE_ENTRY2(INotifyHandler, INotifySNMPTrap)
    COM_INTERFACE_ENTRY2(IDispatch, INotifySNMPTrap)
    COM_INTERFACE_ENTRY(IPersistPropertyBag)
    COM_INTERFACE_ENTRY2(IPersist, IPersistPropertyBag)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    CNotifySNMPTrap();
    ~CNotifySNMPTrap() override;

    static const CLSID& ClassId() { return CLSID_NotifySNMPTrap; }
    static const IID* const* ErrorInfoInterfaces();

    STDMETHOD(get_Destination)(BSTR* value) override;
    STDMETHOD(put_Destination)(BSTR value) override;
    STDMETHOD(get_TrapPort)(UINT* value) override;
    STDMETHOD(put_TrapPort)(UINT value) override;
    STDMETHOD(get_SNMPVersionV2)(VARIANT_BOOL* value) override;
    STDMETHOD(put_SNMPVersionV2)(VARIANT_BOOL value) override;
    STDMETHOD(get_CommunityString)(BSTR* value) override;
    STDMETHOD(put_CommunityString)(BSTR value) override;
    STDMETHOD(put_SNMPTrapEnabled)(VARIANT_BOOL value) override;
    STDMETHOD(get_SNMPTrapEnabled)(VARIANT_BOOL* value) override;
    HRESULT Deliver(const Notification& n) override;
    std::optional<HRESULT> BeforeFilter() override;
    const char* NotifyFunction() const override { return "CNotifySNMPTrap::Notify"; }

    // A library by its full name, loaded while the handler lives.
    struct Dll
    {
        String name;
        HMODULE handle = nullptr;
        ~Dll();
    };
    // Finds fileName in "<program's folder>\..\Shared" and loads it; true when the library is loaded.
    bool LoadTrapLibrary(const WCHAR* fileName);

private:
    Bstr mDestination;
    Bstr mCommunityString;
    VARIANT_BOOL mVersion2 = VARIANT_TRUE;
    VARIANT_BOOL mEnabled = VARIANT_FALSE;
    UINT mTrapPort = 162;
    Dll mTrapLibrary;
};

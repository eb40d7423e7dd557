// The type library as a browser of type information meets it.
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/NotifyLog.h"
#include "Platform/Com/TypeLib.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "Ferrule/ClassTable.h"
#include <gtest/gtest.h>

#include <iterator>

namespace
{
std::string Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL)
{
    Bstr name;
    info->GetDocumentation(id, name.Out(), nullptr, nullptr, nullptr);
    const std::string text = Utf16ToUtf8(std::u16string(name ? name : u"", SysStringLen(name)));
    return text;
}

ComPtr<ITypeInfo> Find(ITypeLib* lib, const char* wanted)
{
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i)
    {
        ComPtr<ITypeInfo> info;
        lib->GetTypeInfo(i, info.Out());
        if (Name(info) == wanted)
            return info;
        info.Reset();
    }
    return nullptr;
}
} // namespace

TEST(TypeLibrary, ReachedFromAnyInterfaceAndComplete)
{
    RegisterMessageTables();
    NotificationHandlerTypeLib();
    ComPtr<INotifyLog> log;
    ASSERT_EQ(ComCreator<CNotifyLog>::CreateInstance(nullptr, IID_INotifyLog, log.VoidOut()), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(log->GetTypeInfo(0, 0x409, info.Out()), S_OK);
    ComPtr<ITypeLib> lib;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(lib.Out(), &index), S_OK);
    ComPtr<ITypeInfo> same;
    ASSERT_EQ(lib->GetTypeInfo(index, same.Out()), S_OK);
    EXPECT_EQ(same, info);
    same.Reset();
    info.Reset();
    log.Reset();

    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(attr->guid == LIBID_NOTIFICATIONHANDLERLib);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(attr);
    // 4 enumerations, the dual interfaces, the event interface and a class for each row of the table.
    EXPECT_EQ(lib->GetTypeInfoCount(), 4 + NotificationHandlerLib().size() + 1 + std::size(kClasses));

    // An enumeration: its constants and values.
    ComPtr<ITypeInfo> encryption = Find(lib, "eZD_NOTIFY_ENCRYPTION_TYPE");
    ASSERT_NE(encryption, nullptr);
    TYPEATTR* ta = nullptr;
    encryption->GetTypeAttr(&ta);
    EXPECT_EQ(ta->typekind, TKIND_ENUM);
    EXPECT_EQ(ta->cVars, 4);
    encryption->ReleaseTypeAttr(ta);
    VARDESC* var = nullptr;
    ASSERT_EQ(encryption->GetVarDesc(3, &var), S_OK);
    EXPECT_EQ(var->varkind, VAR_CONST);
    EXPECT_EQ(var->lpvarValue->lVal, 9999);
    EXPECT_EQ(Name(encryption, var->memid), "ENCRYPTION_TYPE_DISABLED");
    encryption->ReleaseVarDesc(var);
    encryption.Reset();

    // A class: its default interface, and the event interface as its source.
    ComPtr<ITypeInfo> connPt;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(CLSID_NotifyConnPt, connPt.Out()), S_OK);
    connPt->GetTypeAttr(&ta);
    EXPECT_EQ(ta->typekind, TKIND_COCLASS);
    const WORD implemented = ta->cImplTypes;
    connPt->ReleaseTypeAttr(ta);
    ASSERT_EQ(implemented, 4);
    std::vector<std::pair<std::string, INT>> interfaces;
    for (UINT i = 0; i < implemented; ++i)
    {
        HREFTYPE ref;
        INT flags = 0;
        ComPtr<ITypeInfo> ifc;
        ASSERT_EQ(connPt->GetRefTypeOfImplType(i, &ref), S_OK);
        connPt->GetImplTypeFlags(i, &flags);
        ASSERT_EQ(connPt->GetRefTypeInfo(ref, ifc.Out()), S_OK);
        interfaces.emplace_back(Name(ifc), flags);
        ifc.Reset();
    }
    EXPECT_EQ(interfaces, (std::vector<std::pair<std::string, INT>>{{"INotifyConnPt", IMPLTYPEFLAG_FDEFAULT},
                                                                     {"INotifyHandler", 0},
                                                                     {"INotifySerialized", 0},
                                                                     {"_INotifyConnPtEvents", 3}}));
    connPt.Reset();

    // The event interface: a pure dispatch interface with its one method and its parameter names.
    ComPtr<ITypeInfo> events = Find(lib, "_INotifyConnPtEvents");
    ASSERT_NE(events, nullptr);
    events->GetTypeAttr(&ta);
    EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FDISPATCHABLE);
    events->ReleaseTypeAttr(ta);
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(events->GetNames(1, names, 8, &count), S_OK);
    ASSERT_EQ(count, 8u);
    EXPECT_EQ(Utf16ToUtf8(names[0]), "NotifyEvent");
    EXPECT_EQ(Utf16ToUtf8(names[7]), "TimeStamp");
    for (UINT i = 0; i < count; ++i)
        SysFreeString(names[i]);
    events.Reset();
    // Names across the library.
    BOOL found = FALSE;
    OLECHAR constant[] = u"SMTP_AUTH_NTLM";
    lib->IsName(constant, 0, &found);
    EXPECT_TRUE(found);
    lib.Reset();
}

TEST(TypeLibrary, ParameterNamesAndNamedArguments)
{
    ComPtr<INotify> n;
    ASSERT_EQ(ComCreator<CNotify>::CreateInstance(nullptr, IID_INotify, n.VoidOut()), S_OK);
    OLECHAR notify[] = u"Notify", description[] = u"description", code[] = u"Code", bogus[] = u"Bogus";
    LPOLESTR names[] = {notify, description, code};
    DISPID ids[3];
    ASSERT_EQ(n->GetIDsOfNames(IID_NULL, names, 3, 0x409, ids), S_OK);
    EXPECT_EQ(ids[0], 4);
    EXPECT_EQ(ids[1], 3);
    EXPECT_EQ(ids[2], 2);
    names[2] = bogus;
    EXPECT_EQ(n->GetIDsOfNames(IID_NULL, names, 3, 0x409, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);

    // Initialize(ConfigFile := ".../x.xml", Application := "Named"): named arguments in any order.
    TempDir dir;
    OLECHAR initialize[] = u"Initialize", application[] = u"Application", configFile[] = u"ConfigFile";
    LPOLESTR initNames[] = {initialize, configFile, application};
    DISPID initIds[3];
    ASSERT_EQ(n->GetIDsOfNames(IID_NULL, initNames, 3, 0x409, initIds), S_OK);
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(Utf8ToUtf16(dir.Path() + "/x.xml").c_str());
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(u"Named");
    DISPID named[2] = {initIds[1], initIds[2]};
    DISPPARAMS params = {args, named, 2, 2};
    EXPECT_EQ(n->Invoke(1, IID_NULL, 0x409, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
    Bstr app;
    n->get_Application(app.Out());
    EXPECT_EQ(Utf16ToUtf8(app.Str()), "Named");
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    n.Reset();
}

TEST(TypeLibrary, InheritedMembersKeepTheirParameters)
{
    // Every interface that inherits Notify or declares NotifySerialized describes all seven parameters,
    // as the module itself answers (its tables are built while the library's globals are initialized).
    HMODULE module = LoadLibraryW(u"Ferrule.dll");
    ASSERT_NE(module, nullptr);
    typedef HRESULT (*GetClassObject)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(GetProcAddress(module, "DllGetClassObject"));
    ASSERT_NE(getClassObject, nullptr);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_NotifyLog, IID_IClassFactory, factory.VoidOut()), S_OK);
    ComPtr<INotifyHandler> handler;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_INotifyHandler, handler.VoidOut()), S_OK);
    factory.Reset();
    ComPtr<ITypeInfo> first;
    ASSERT_EQ(handler->GetTypeInfo(0, 0x409, first.Out()), S_OK);
    ComPtr<ITypeLib> lib;
    UINT index = 0;
    ASSERT_EQ(first->GetContainingTypeLib(lib.Out(), &index), S_OK);
    first.Reset();
    handler.Reset();
    const std::pair<const char*, const char*> members[] = {
        {"INotifyHandler", "Notify"},  {"INotifyLog", "Notify"},      {"INotifySysEvent", "Notify"},
        {"INotifyApp", "Notify"},      {"INotifySNMPTrap", "Notify"}, {"INotifyConnPt", "Notify"},
        {"INotifyEmail4", "Notify"},   {"INotifySerialized", "NotifySerialized"},
    };
    for (auto [interfaceName, memberName] : members)
    {
        ComPtr<ITypeInfo> info = Find(lib, interfaceName);
        ASSERT_NE(info, nullptr) << interfaceName;
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        bool found = false;
        for (UINT i = 0; i < attr->cFuncs; ++i)
        {
            FUNCDESC* desc = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &desc), S_OK);
            if (Name(info, desc->memid) == memberName)
            {
                found = true;
                ASSERT_EQ(desc->cParams, 7) << interfaceName;
                const VARTYPE types[] = {VT_BSTR, VT_UI4, VT_UI4, VT_UI4, VT_BSTR, VT_BSTR, VT_DATE};
                for (int p = 0; p < 7; ++p)
                {
                    EXPECT_EQ(desc->lprgelemdescParam[p].tdesc.vt, types[p]) << interfaceName << " " << p;
                    EXPECT_EQ(desc->lprgelemdescParam[p].paramdesc.wParamFlags, PARAMFLAG_FIN);
                }
                BSTR names[8] = {};
                UINT count = 0;
                ASSERT_EQ(info->GetNames(desc->memid, names, 8, &count), S_OK);
                EXPECT_EQ(count, 8u) << interfaceName;
                EXPECT_EQ(Utf16ToUtf8(names[1]), "Application");
                EXPECT_EQ(Utf16ToUtf8(names[7]), "TimeStamp");
                for (UINT n = 0; n < count; ++n)
                    SysFreeString(names[n]);
            }
            info->ReleaseFuncDesc(desc);
        }
        EXPECT_TRUE(found) << interfaceName;
        info->ReleaseTypeAttr(attr);
        info.Reset();
    }
    lib.Reset();
}

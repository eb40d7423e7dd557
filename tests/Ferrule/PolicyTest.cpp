#include "Ferrule/Notify.h"
#include "Messages/MessageTables.h"
#include "Ferrule/NotifyApp.h"
#include "Ferrule/NotifyConnPt.h"
#include "Ferrule/NotifyEmail.h"
#include "Ferrule/NotifyLog.h"
#include "Ferrule/NotifySNMPTrap.h"
#include "Ferrule/NotifySysEvent.h"
#include "Ferrule/NotifyWebhook.h"
#include "Ferrule/PolicyFile.h"
#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Library.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include "Platform/Com/Owners.h"

#include "Ferrule/ClassTable.h"
#include "TestSupport.h"
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace
{
// A document with <Root> holding a bag's properties.
struct BagFixture
{
    std::shared_ptr<XmlDocument> document = std::make_shared<XmlDocument>();
    XmlNode root;
    ComPtr<IPropertyBag> bag;

    BagFixture()
    {
        XmlNode top = document->Root();
        root = document->CreateElement(u"Root");
        top.AppendChild(root);
        CXMLPropBag().CreateBag(document, root, bag.Out());
    }
    explicit BagFixture(const std::string& xml)
    {
        bool loaded = false;
        EXPECT_EQ(document->LoadText(xml, loaded), S_OK);
        EXPECT_TRUE(loaded) << xml;
        root = document->Root().FirstChild();
        CXMLPropBag().CreateBag(document, root, bag.Out());
    }
    ~BagFixture() { bag.Reset(); }
};

class Policy : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        RegisterMessageTables();
        const auto factory = ComPtr<IClassFactory>::Adopt(new ComClassFactory(&ComCreator<CNotifyLog>::CreateInstance));
        DWORD cookie;
        CoRegisterClassObject(CLSID_NotifyLog, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    }
};
} // namespace

TEST_F(Policy, DatesAreWrittenWithSpacePadding)
{
    BagFixture f;
    SYSTEMTIME st{2024, 1, 5, 5, 9, 3, 7, 0};
    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &date.date));
    ASSERT_EQ(f.bag->Write(u"When", &date), S_OK);
    EXPECT_EQ(f.document->SaveText(), "<Root><When vt=\"7\"> 1/ 5/2024  9: 3: 7</When></Root>");
    VARIANT back;
    VariantInit(&back);
    ASSERT_EQ(f.bag->Read(u"When", &back, nullptr), S_OK);
    EXPECT_EQ(back.vt, VT_DATE);
    EXPECT_DOUBLE_EQ(back.date, date.date);

    BagFixture bad("<Root><When vt=\"7\">1/5/2024 9:3</When><Feb vt=\"7\"> 2/30/2024  9: 3: 7</Feb></Root>");
    EXPECT_EQ(bad.bag->Read(u"When", &back, nullptr), E_FAIL); // five numbers
    EXPECT_EQ(bad.bag->Read(u"Feb", &back, nullptr), E_FAIL);  // no such day
}

TEST_F(Policy, ArraysOfVariants)
{
    BagFixture f;
    VARIANT list;
    VariantInit(&list);
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT items[3];
    for (VARIANT& v : items)
        VariantInit(&v);
    items[0].vt = VT_BSTR;
    items[0].bstrVal = SysAllocString(u"first");
    items[1].vt = VT_UI4;
    items[1].ulVal = 7;
    items[2].vt = VT_BOOL;
    items[2].boolVal = VARIANT_TRUE;
    for (LONG i = 0; i < 3; ++i)
        SafeArrayPutElement(list.parray, &i, &items[i]);
    ASSERT_EQ(f.bag->Write(u"List", &list), S_OK);
    EXPECT_EQ(f.document->SaveText(),
              "<Root><List vt=\"8204\" size=\"3\"><List_Element1 vt=\"8\">first</List_Element1>"
              "<List_Element2 vt=\"19\">7</List_Element2><List_Element3 vt=\"11\">-1</List_Element3></List></Root>");
    VARIANT back;
    VariantInit(&back);
    ASSERT_EQ(f.bag->Read(u"List", &back, nullptr), S_OK);
    ASSERT_EQ(back.vt, VT_ARRAY | VT_VARIANT);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(back.parray, 1, &lower);
    SafeArrayGetUBound(back.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 2);
    VARIANT third;
    LONG index = 2;
    SafeArrayGetElement(back.parray, &index, &third);
    EXPECT_EQ(third.vt, VT_BOOL);
    EXPECT_EQ(third.boolVal, VARIANT_TRUE);
    VariantClear(&third);
    VariantClear(&back);
    VariantClear(&list);
    VariantClear(&items[0]);

    // Other arrays and by-reference values are not supported.
    VARIANT bytes;
    VariantInit(&bytes);
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 2);
    EXPECT_EQ(f.bag->Write(u"Bytes", &bytes), E_NOTIMPL);
    VariantClear(&bytes);
    LONG value = 5;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_I4 | VT_BYREF;
    byRef.plVal = &value;
    EXPECT_EQ(f.bag->Write(u"Ref", &byRef), E_NOTIMPL);
    BagFixture other("<Root><B vt=\"8209\" size=\"1\"/><Huge vt=\"8204\" size=\"2000000000\"/></Root>");
    EXPECT_EQ(other.bag->Read(u"B", &back, nullptr), E_NOTIMPL);
    EXPECT_EQ(other.bag->Read(u"Huge", &back, nullptr), E_OUTOFMEMORY);
}

TEST_F(Policy, ObjectsNullObjectsAndOtherTypes)
{
    BagFixture f;
    ComPtr<INotifyLog> log;
    ASSERT_EQ(ComCreator<CNotifyLog>::CreateInstance(nullptr, IID_INotifyLog, log.VoidOut()), S_OK);
    log->put_MaxSize(33);
    Variant object;
    object->vt = VT_DISPATCH;
    object->pdispVal = log.Detach(); // the variant takes the reference
    ASSERT_EQ(f.bag->Write(u"Nested", &object.Get()), S_OK);
    Variant none;
    none->vt = VT_UNKNOWN;
    ASSERT_EQ(f.bag->Write(u"Nothing", &none.Get()), S_OK);
    Variant big;
    big->vt = VT_I8;
    big->llVal = -9000000000LL;
    ASSERT_EQ(f.bag->Write(u"Big", &big.Get()), S_OK);
    const std::string text = f.document->SaveText();
    EXPECT_NE(text.find("<Nested vt=\"9\" clsid=\"" + Narrow(GuidText(CLSID_NotifyLog)) + "\"><TypeFilter vt=\"19\">0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<Nothing vt=\"13\"/>"), std::string::npos) << text;
    EXPECT_NE(text.find("<Big vt=\"20\">-9000000000</Big>"), std::string::npos) << text;

    Variant back;
    ASSERT_EQ(f.bag->Read(u"Nested", back.Out(), nullptr), S_OK);
    ASSERT_EQ(back->vt, VT_DISPATCH);
    ComPtr<INotifyLog> loaded;
    ASSERT_EQ(back->punkVal->QueryInterface(IID_INotifyLog, loaded.VoidOut()), S_OK);
    ULONG size = 0;
    loaded->get_MaxSize(&size);
    EXPECT_EQ(size, 33u);
    loaded.Reset();
    EXPECT_EQ(f.bag->Read(u"Nothing", back.Out(), nullptr), S_FALSE); // read back as an empty value
    EXPECT_EQ(back->vt, VT_EMPTY);
    ASSERT_EQ(f.bag->Read(u"Big", back.Out(), nullptr), S_OK);
    EXPECT_EQ(back->vt, VT_I8);
    EXPECT_EQ(back->llVal, -9000000000LL);
    EXPECT_EQ(f.bag->Read(u"Absent", &back.Get(), nullptr), S_FALSE);
    EXPECT_EQ(back->vt, VT_EMPTY);

    // A lower-case clsid names the same class; a property without "vt" fails to read.
    std::u16string lower = GuidText(CLSID_NotifyLog);
    for (char16_t& c : lower)
        c = static_cast<char16_t>(std::towlower(c));
    BagFixture g("<Root><O vt=\"9\" clsid=\"" + Narrow(lower) +
                 "\"><MaxSize vt=\"19\">12</MaxSize><!-- a comment inside is ignored --></O><NoVt>5</NoVt></Root>");
    ASSERT_EQ(g.bag->Read(u"O", back.Out(), nullptr), S_OK);
    ASSERT_EQ(back->punkVal->QueryInterface(IID_INotifyLog, loaded.VoidOut()), S_OK);
    loaded->get_MaxSize(&size);
    EXPECT_EQ(size, 12u);
    loaded.Reset();
    EXPECT_TRUE(FAILED(g.bag->Read(u"NoVt", back.Out(), nullptr)));
}

TEST(XmlDocumentTest, NodesAndSaving)
{
    XmlDocument doc;
    bool loaded = false;
    EXPECT_EQ(doc.LoadText("<?xml version=\"1.0\"?>\n<!-- c -->\n<A>\n  <B x=\"1\">t</B>\n  <B/>\n</A>", loaded), S_OK);
    ASSERT_TRUE(loaded);
    XmlNode first = doc.Root().FirstChild();
    EXPECT_FALSE(first.IsElement()); // the declaration is a node of its own
    const std::vector<XmlNode> top = doc.Root().ChildNodes();
    ASSERT_EQ(top.size(), 3u);
    XmlNode a = top[2];
    EXPECT_EQ(Narrow(a.Name()), "A");
    EXPECT_EQ(a.ChildNodes().size(), 2u); // white space between elements is gone
    EXPECT_EQ(doc.GetElementsByTagName(u"B").size(), 2u);
    XmlNode b;
    ASSERT_EQ(a.SelectSingleNode(u"B", b), S_OK);
    EXPECT_EQ(Narrow(b.Text()), "t");
    EXPECT_EQ(a.SelectSingleNode(u"C", b), S_FALSE);

    TempDir dir;
    XmlDocument out;
    XmlNode root = out.CreateElement(u"NotifyPolicy");
    XmlNode docNode = out.Root();
    docNode.AppendChild(root);
    XmlNode child = out.CreateElement(u"Handlers");
    root.AppendChild(child);
    const std::u16string path = Utf8ToUtf16(dir.Path() + "/p.xml");
    ASSERT_EQ(out.Save(path), S_OK);
    std::ifstream in(dir.Path() + "/p.xml");
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "<NotifyPolicy><Handlers/></NotifyPolicy>");
    // Saved through a temporary file: only the target is left, with ordinary permissions.
    int files = 0;
    DIR* d = opendir(dir.Path().c_str());
    while (dirent* e = readdir(d))
        files += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(files, 1);
    struct stat st;
    stat((dir.Path() + "/p.xml").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // A folder that does not exist: an error, nothing written.
    EXPECT_EQ(out.Save(Utf8ToUtf16(dir.Path() + "/missing/p.xml")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(Module, TheLibraryOffersItsClasses)
{
    TempDir dir;
    setenv("FERRULE_REGISTRY_DIR", dir.Path().c_str(), 1);
    HMODULE module = LoadLibraryW(u"Ferrule.dll");
    ASSERT_NE(module, nullptr);
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
    auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(GetProcAddress(module, "_ZN7CNotify10LoadPolicyEv"), nullptr); // nothing else is exported

    ComPtr<IClassFactory> factory;
    const CLSID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(getClassObject(unknown, IID_IClassFactory, factory.VoidOut()), CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(getClassObject(CLSID_Notify, IID_IClassFactory, factory.VoidOut()), S_OK);
    ComPtr<INotify> notify;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_INotify, notify.VoidOut()), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    factory.Reset();

    // Without a registry entry its handler classes are reachable through CoCreateInstance.
    ComPtr<IPersistPropertyBag> log;
    ASSERT_EQ(CoCreateInstance(CLSID_NotifyEmail, nullptr, 23, IID_IPersistPropertyBag, log.VoidOut()),
              S_OK);
    log.Reset();
    notify.Reset(); // never initialized: nothing written
    EXPECT_EQ(canUnload(), S_OK);
}

TEST_F(Policy, TheBagWritesOnlyWhatXmlCanHold)
{
    BagFixture f;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = 1;
    // Names that are not XML names are refused and nothing is written.
    for (const char16_t* name : {u"", u"two words", u"1st", u"-x", u"a<b"})
        EXPECT_EQ(f.bag->Write(name, &v), E_INVALIDARG) << Narrow(name);
    EXPECT_EQ(f.bag->Write(u"Ok_name-1.x", &v), S_OK);
    // A character XML 1.0 cannot hold is refused with a description that names it.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"public\x01");
    EXPECT_EQ(f.bag->Write(u"Community", &text), E_INVALIDARG);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    Bstr description;
    info->GetDescription(description.Out());
    info.Reset();
    EXPECT_EQ(Narrow(description.Str()), "The value of Community holds the character U+0001, which an XML file cannot hold.");
    VariantClear(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"tab\tline\nemoji \xD83D\xDE00");
    EXPECT_EQ(f.bag->Write(u"Fine", &text), S_OK);
    VariantClear(&text);
    EXPECT_EQ(f.document->SaveText(),
              "<Root><Ok_name-1.x vt=\"19\">1</Ok_name-1.x><Fine vt=\"8\">tab\tline\nemoji \xF0\x9F\x98\x80</Fine></Root>");
}

TEST_F(Policy, AValueIsAllItsTextAndCdataPieces)
{
    BagFixture f("<Root><A vt=\"8\">1<!-- c -->2</A><B vt=\"8\">x<![CDATA[<y>]]>z</B><C vt=\"19\">1<!-- c -->2</C></Root>");
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(f.bag->Read(u"A", &v, nullptr), S_OK);
    EXPECT_EQ(Narrow(v.bstrVal), "12");
    VariantClear(&v);
    ASSERT_EQ(f.bag->Read(u"B", &v, nullptr), S_OK);
    EXPECT_EQ(Narrow(v.bstrVal), "x<y>z");
    VariantClear(&v);
    ASSERT_EQ(f.bag->Read(u"C", &v, nullptr), S_OK);
    EXPECT_EQ(v.ulVal, 12u);
}

TEST_F(Policy, NestingIsBoundedAndLargeArraysReadWhole)
{
    // Arrays nested deeper than the bound (each element named after its array): the read fails
    // cleanly instead of recursing on.
    std::string deep, name = "L";
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i, name += "_Element1")
    {
        deep += "<" + name + " vt=\"8204\" size=\"1\">";
        names.push_back(name);
    }
    for (auto n = names.rbegin(); n != names.rend(); ++n)
        deep += "</" + *n + ">";
    BagFixture f("<Root>" + deep + "</Root>");
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(f.bag->Read(u"L", &v, nullptr), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));

    // 65536 elements (the most an array may hold) read back in order.
    std::string big = "<Root><Big vt=\"8204\" size=\"65536\">";
    for (int i = 1; i <= 65536; ++i)
        big += "<Big_Element" + std::to_string(i) + " vt=\"19\">" + std::to_string(i) + "</Big_Element" + std::to_string(i) + ">";
    big += "</Big></Root>";
    BagFixture g(big);
    ASSERT_EQ(g.bag->Read(u"Big", &v, nullptr), S_OK);
    LONG upper = 0;
    SafeArrayGetUBound(v.parray, 1, &upper);
    EXPECT_EQ(upper, 65535);
    for (LONG i : {0L, 1234L, 65535L})
    {
        VARIANT item;
        SafeArrayGetElement(v.parray, &i, &item);
        EXPECT_EQ(item.ulVal, static_cast<ULONG>(i + 1));
        VariantClear(&item);
    }
    VariantClear(&v);
}

TEST(PolicyManual, NamesEveryRowTheHandlersPersist)
{
    std::ifstream in(std::string(FERRULE_SOURCE_DIR) + "/docs/ferrule.notify.xml.5");
    std::stringstream text;
    text << in.rdbuf();
    const std::string manual = text.str();
    ASSERT_FALSE(manual.empty());
    // Each row a class of the table keeps, as the manual describes a row: its name in bold on a line.
    size_t rows = 0;
    for (const ClassRow& c : kClasses)
    {
        const PersistTable t = PersistTableOf(*c.clsid);
        for (size_t i = 0; i < t.count; ++i)
            if (t.rows[i].row != nullptr)
            {
                ++rows;
                const std::string described = "\n.B " + Utf16ToUtf8(t.rows[i].row) + "\n";
                EXPECT_NE(manual.find(described), std::string::npos) << described;
            }
    }
    EXPECT_GT(rows, 0u);
    for (const char16_t* form : policy::kPasswordForms)
        EXPECT_NE(manual.find(Utf16ToUtf8(form)), std::string::npos) << Utf16ToUtf8(form);

}

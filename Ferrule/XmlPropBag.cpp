#include "Ferrule/XmlPropBag.h"
#include "Base/Dev/Global/StringRepository.h"
#include "Ferrule/HandlerBase.h"
#include "Messages/MessageTables.h"
#include "Platform/Com/Owners.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>
#include <string>
#include <unordered_map>

namespace
{
const char16_t* const kVt = u"vt";
const char16_t* const kClsid = u"clsid";
const char16_t* const kSize = u"size";

std::u16string ElementName(const std::u16string& name, LONG index)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "_Element%d", static_cast<int>(index));
    return name + Utf8ToUtf16(buffer);
}

// How deep objects and arrays may nest in a policy file. The reader and the writer recurse once per
// level; the bound keeps a damaged or hostile file from exhausting the stack.
const int kMaxDepth = 64;
thread_local int tDepth = 0;

// One level of nesting for as long as it lives; Entered() is false beyond kMaxDepth.
class NestingLevel
{
public:
    NestingLevel() { ++tDepth; }
    ~NestingLevel() { --tDepth; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
    bool Entered() const { return tDepth <= kMaxDepth; }
};

HRESULT TooDeep(const std::u16string& where)
{
    SetErrorDescription(StringRepository::FormatString(IDS_BAG_TOO_DEEP, {Argument(static_cast<uint32_t>(kMaxDepth)),
                                                                          Argument(where)}));
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
}

bool NameStart(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u':')
        return true;
    // The XML 1.0 (fifth edition) NameStartChar ranges of the Basic Multilingual Plane; a surrogate
    // pair (a character beyond it) is allowed as a whole.
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || c == 0x200C || c == 0x200D ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0xD800 && c <= 0xDFFF);
}

// An XML 1.0 element name: a letter, "_" or ":" first, then also digits, "-", "." and the combining
// characters; no blanks.
bool IsXmlName(const std::u16string& name)
{
    if (name.empty() || !NameStart(name[0]))
        return false;
    for (char16_t c : name)
        if (!NameStart(c) && !(c >= u'0' && c <= u'9') && c != u'-' && c != u'.' && c != 0xB7 &&
            !(c >= 0x300 && c <= 0x36F) && c != 0x203F && c != 0x2040)
            return false;
    return true;
}

// The position of the first character that XML 1.0 cannot hold (control characters other than tab,
// line feed and carriage return, U+FFFE, U+FFFF, unpaired surrogates), or npos.
size_t FirstInvalidCharacter(const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char16_t c = text[i];
        if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD)
            return i;
        if (c == 0xFFFE || c == 0xFFFF)
            return i;
        if (c >= 0xD800 && c <= 0xDBFF)
        {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            {
                ++i;
                continue;
            }
            return i;
        }
        if (c >= 0xDC00 && c <= 0xDFFF)
            return i;
    }
    return std::u16string::npos;
}

// Sets the element's text, refusing a value that XML 1.0 cannot represent with a clear description.
HRESULT SetValueText(XmlNode& element, const std::u16string& name, const std::u16string& text)
{
    const size_t bad = FirstInvalidCharacter(text);
    if (bad != std::u16string::npos)
    {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(text[bad]));
        SetErrorDescription(StringRepository::FormatString(IDS_BAG_INVALID_CHARACTER,
                                                           {Argument(name), Argument(Utf8ToUtf16(hex))}));
        return E_INVALIDARG;
    }
    return element.SetText(text);
}

Variant Number(VARTYPE vt, uint32_t value)
{
    Variant v;
    v->vt = vt;
    v->ulVal = value;
    if (vt == VT_UI2)
        v->uiVal = static_cast<USHORT>(value);
    return v;
}
} // namespace

class CXMLPropBag::XMLPropertyBag : public IPropertyBag, public ComObjectRootEx<MultiThreadModel>
{
public:
    BEGIN_COM_MAP(XMLPropertyBag)
    COM_INTERFACE_ENTRY(IPropertyBag)
    END_COM_MAP()

    void Attach(const std::shared_ptr<XmlDocument>& document, const XmlNode& element)
    {
        mDocument = document;
        mElement = element;
    }

    STDMETHOD(Read)(LPCOLESTR propertyName, VARIANT* value, IErrorLog* errorLog) override;
    STDMETHOD(Write)(LPCOLESTR propertyName, VARIANT* value) override;

private:
    // Reads the value of one property element.
    HRESULT ReadElement(const std::u16string& name, const XmlNode& element, VARIANT* value);
    HRESULT ReadArray(const std::u16string& name, const XmlNode& element, VARIANT* value);
    HRESULT WriteArray(const std::u16string& name, XmlNode& element, const VARIANT& value);

    std::shared_ptr<XmlDocument> mDocument;
    XmlNode mElement;
};

HRESULT CXMLPropBag::CreateBag(const std::shared_ptr<XmlDocument>& document, const XmlNode& element, IPropertyBag** bag)
{
    if (bag == nullptr)
        return E_POINTER;
    *bag = nullptr;
    ComObject<XMLPropertyBag>* p = nullptr;
    const HRESULT hr = ComObject<XMLPropertyBag>::CreateInstance(&p);
    if (FAILED(hr))
        return hr;
    p->Attach(document, element);
    *bag = p; // the reference CreateInstance holds
    return S_OK;
}

HRESULT CXMLPropBag::LoadObject(const std::shared_ptr<XmlDocument>& document, const XmlNode& element,
                                IErrorLog* errorLog, IPersistPropertyBag** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    Variant attribute;
    HRESULT hr = element.GetAttribute(kClsid, attribute.Out());
    if (FAILED(hr) || attribute->vt != VT_BSTR)
        return hr;
    CLSID clsid;
    hr = CLSIDFromString(attribute->bstrVal, &clsid);
    if (FAILED(hr))
        return hr;
    if (clsid == CLSID_NULL)
        return S_FALSE;
    ComPtr<IPersistPropertyBag> created;
    hr = CoCreateInstance(clsid, nullptr, 23, IID_IPersistPropertyBag, created.VoidOut());
    if (FAILED(hr))
        return hr;
    ComPtr<IPropertyBag> bag;
    hr = CreateBag(document, element, bag.Out());
    if (SUCCEEDED(hr))
        hr = created->Load(bag.Get(), errorLog);
    if (FAILED(hr))
        return hr;
    *object = created.Detach();
    return S_OK;
}

HRESULT CXMLPropBag::SaveObject(const std::shared_ptr<XmlDocument>& document, XmlNode& element,
                                IPersistPropertyBag* object, BOOL clearDirty, BOOL saveAll)
{
    ComPtr<IPropertyBag> bag;
    HRESULT hr = CreateBag(document, element, bag.Out());
    if (FAILED(hr))
        return hr;
    CLSID clsid = CLSID_NULL;
    if (object)
        hr = object->GetClassID(&clsid);
    if (SUCCEEDED(hr))
    {
        OLECHAR text[39];
        StringFromGUID2(clsid, text, 39);
        hr = element.SetAttribute(kClsid, Variant(std::u16string_view(text)).Get());
    }
    if (SUCCEEDED(hr) && object)
        hr = object->Save(bag.Get(), clearDirty, saveAll);
    return hr;
}

STDMETHODIMP CXMLPropBag::XMLPropertyBag::Read(LPCOLESTR propertyName, VARIANT* value, IErrorLog*)
{
    if (propertyName == nullptr || value == nullptr)
        return E_POINTER;
    const std::u16string name(propertyName);
    XmlNode element;
    HRESULT hr = mElement.SelectSingleNode(name, element);
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
    {
        Variant().MoveTo(value);
        return S_FALSE;
    }
    return ReadElement(name, element, value);
}

HRESULT CXMLPropBag::XMLPropertyBag::ReadElement(const std::u16string& name, const XmlNode& element, VARIANT* value)
{
    Variant vtText, vtNumber;
    HRESULT hr = element.GetAttribute(kVt, vtText.Out());
    if (SUCCEEDED(hr))
        vtNumber = vtText.ChangedTo(VT_I2, &hr);
    if (FAILED(hr))
        return hr;
    const VARTYPE vt = static_cast<VARTYPE>(vtNumber->iVal);
    const std::u16string text = element.Text();

    if (vt == VT_DISPATCH || vt == VT_UNKNOWN)
    {
        const NestingLevel level;
        if (!level.Entered())
            return TooDeep(name);
        CXMLPropBag bags;
        ComPtr<IPersistPropertyBag> object;
        hr = bags.LoadObject(mDocument, element, nullptr, object.Out());
        if (!object)
            return hr;
        Variant loaded;
        loaded->vt = vt;
        loaded->punkVal = object.As<IUnknown>().Detach();
        loaded.MoveTo(value);
        return S_OK;
    }
    Variant source(text);
    if (vt == VT_BSTR)
    {
        if (source->bstrVal == nullptr)
            return E_OUTOFMEMORY;
        source.MoveTo(value);
        return S_OK;
    }
    if (vt == VT_I8 || vt == VT_UI8)
    {
        Variant converted = source.ChangedTo(vt, &hr);
        if (FAILED(hr))
        {
            // Decimal text the conversion refused: parsed as a plain 64-bit integer.
            converted->vt = vt;
            converted->llVal = std::strtoll(Utf16ToUtf8(text).c_str(), nullptr, 10);
        }
        converted.MoveTo(value);
        return S_OK;
    }
    if (vt == VT_DATE)
    {
        short fields[6] = {};
        SYSTEMTIME st{};
        DATE date = 0;
        if (std::sscanf(Utf16ToUtf8(text).c_str(), "%2hd/%2hd/%4hd %2hd:%2hd:%2hd", &fields[0], &fields[1],
                        &fields[2], &fields[3], &fields[4], &fields[5]) != 6)
            return E_FAIL;
        for (short f : fields)
            if (f < 0)
                return E_FAIL;
        st.wMonth = static_cast<WORD>(fields[0]);
        st.wDay = static_cast<WORD>(fields[1]);
        st.wYear = static_cast<WORD>(fields[2]);
        st.wHour = static_cast<WORD>(fields[3]);
        st.wMinute = static_cast<WORD>(fields[4]);
        st.wSecond = static_cast<WORD>(fields[5]);
        if (!SystemTimeToVariantTime(&st, &date))
            return E_FAIL;
        Variant read;
        read->vt = VT_DATE;
        read->date = date;
        read.MoveTo(value);
        return S_OK;
    }
    if (vt == (VT_ARRAY | VT_VARIANT))
    {
        const NestingLevel level;
        if (!level.Entered())
            return TooDeep(name);
        return ReadArray(name, element, value);
    }
    if (vt & (VT_ARRAY | VT_BYREF))
        return E_NOTIMPL;
    Variant converted = source.ChangedTo(vt, &hr);
    if (FAILED(hr))
        return hr;
    converted.MoveTo(value);
    return hr;
}

HRESULT CXMLPropBag::XMLPropertyBag::ReadArray(const std::u16string& name, const XmlNode& element, VARIANT* value)
{
    Variant sizeText, sizeNumber;
    HRESULT hr = element.GetAttribute(kSize, sizeText.Out());
    if (SUCCEEDED(hr))
        sizeNumber = sizeText.ChangedTo(VT_I4, &hr);
    if (FAILED(hr))
        return hr;
    const VARIANT& size = sizeNumber.Get();
    if (size.lVal < 0)
        return E_INVALIDARG;
    // A size no policy needs is refused as an array that cannot be made, so a damaged file cannot
    // make the reader allocate and search without end.
    const LONG kMaxElements = 65536;
    SAFEARRAY* array = size.lVal > kMaxElements ? nullptr
                                                : SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(size.lVal));
    if (array == nullptr)
        return E_OUTOFMEMORY;
    // The element of each index, found in one pass over the children (the first of a name counts, as
    // a look-up by name would find it), so reading is linear in the number of elements.
    std::unordered_map<std::u16string, XmlNode> byName;
    for (const XmlNode& child : element.ChildNodes())
        if (child.IsElement())
            byName.emplace(child.Name(), child);
    const XmlNode previous = mElement;
    mElement = element;
    for (LONG i = 0; i < size.lVal && SUCCEEDED(hr); ++i)
    {
        Variant item;
        const std::u16string itemName = ElementName(name, i + 1);
        auto found = byName.find(itemName);
        if (found != byName.end())
            hr = ReadElement(itemName, found->second, item.Out());
        if (SUCCEEDED(hr))
            hr = SafeArrayPutElement(array, &i, &item.Get());
    }
    mElement = previous;
    if (FAILED(hr))
    {
        SafeArrayDestroy(array);
        return hr;
    }
    Variant read;
    read->vt = VT_ARRAY | VT_VARIANT;
    read->parray = array;
    read.MoveTo(value);
    return S_OK;
}

STDMETHODIMP CXMLPropBag::XMLPropertyBag::Write(LPCOLESTR propertyName, VARIANT* value)
{
    if (propertyName == nullptr || value == nullptr)
        return E_POINTER;
    if (value->vt & VT_BYREF)
        return E_NOTIMPL;
    const std::u16string name(propertyName);
    if (!IsXmlName(name))
    {
        SetErrorDescription(StringRepository::FormatString(IDS_BAG_INVALID_NAME, {Argument(name)}));
        return E_INVALIDARG;
    }
    XmlNode element = mDocument->CreateElement(name);
    HRESULT hr = element.SetAttribute(kVt, Number(VT_UI2, value->vt).Get());
    if (FAILED(hr))
        return hr;
    const VARTYPE vt = value->vt;
    if (vt == VT_BSTR)
        hr = SetValueText(element, name, ToString(value->bstrVal));
    else if (vt == VT_DATE)
    {
        SYSTEMTIME st;
        char buffer[128];
        int n = 0;
        if (VariantTimeToSystemTime(value->date, &st))
            n = std::snprintf(buffer, sizeof buffer, "%2hd/%2hd/%4hd %2hd:%2hd:%2hd", static_cast<short>(st.wMonth),
                              static_cast<short>(st.wDay), static_cast<short>(st.wYear), static_cast<short>(st.wHour),
                              static_cast<short>(st.wMinute), static_cast<short>(st.wSecond));
        hr = n > 0 ? element.SetText(Utf8ToUtf16(std::string(buffer, n))) : E_UNEXPECTED;
    }
    else if (vt == VT_DISPATCH || vt == VT_UNKNOWN)
    {
        const NestingLevel level;
        if (!level.Entered())
            hr = TooDeep(name);
        else if (value->punkVal != nullptr)
        {
            ComPtr<IPersistPropertyBag> persist = ComPtr<IUnknown>(value->punkVal).As<IPersistPropertyBag>(&hr);
            if (SUCCEEDED(hr))
            {
                CXMLPropBag bags;
                hr = bags.SaveObject(mDocument, element, persist.Get(), FALSE, TRUE);
            }
        }
    }
    else if (vt == (VT_ARRAY | VT_VARIANT))
    {
        const NestingLevel level;
        hr = level.Entered() ? WriteArray(name, element, *value) : TooDeep(name);
    }
    else if (vt & VT_ARRAY)
        hr = E_NOTIMPL;
    else
    {
        const Variant text = Variant(*value).ChangedTo(VT_BSTR, &hr);
        if (FAILED(hr) && (vt == VT_I8 || vt == VT_UI8))
        {
            const std::string digits = vt == VT_I8 ? std::to_string(value->llVal) : std::to_string(value->ullVal);
            hr = element.SetText(Utf8ToUtf16(digits));
        }
        else if (SUCCEEDED(hr))
            hr = SetValueText(element, name, ToString(text->bstrVal));
    }
    if (FAILED(hr))
        return hr;
    return mElement.AppendChild(element);
}

HRESULT CXMLPropBag::XMLPropertyBag::WriteArray(const std::u16string& name, XmlNode& element, const VARIANT& value)
{
    LONG lower = 0, upper = -1;
    if (value.parray)
    {
        SafeArrayGetLBound(value.parray, 1, &lower);
        SafeArrayGetUBound(value.parray, 1, &upper);
    }
    const uint32_t count = static_cast<uint32_t>(upper - lower + 1);
    HRESULT hr = element.SetAttribute(kSize, Number(VT_UI4, count).Get());
    const XmlNode previous = mElement;
    mElement = element;
    for (LONG i = 0; i < static_cast<LONG>(count) && SUCCEEDED(hr); ++i)
    {
        Variant item;
        LONG index = lower + i;
        hr = SafeArrayGetElement(value.parray, &index, item.Out());
        if (SUCCEEDED(hr))
            hr = Write(ElementName(name, i + 1).c_str(), &item.Get());
    }
    mElement = previous;
    return hr;
}

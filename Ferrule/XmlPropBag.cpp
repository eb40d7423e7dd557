#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Utf.h"

#include <cstdio>
#include <string>

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

VARIANT Number(VARTYPE vt, uint32_t value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.ulVal = value;
    if (vt == VT_UI2)
        v.uiVal = static_cast<USHORT>(value);
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
    VARIANT attribute;
    HRESULT hr = element.GetAttribute(kClsid, &attribute);
    if (FAILED(hr) || attribute.vt != VT_BSTR)
    {
        VariantClear(&attribute);
        return hr;
    }
    CLSID clsid;
    hr = CLSIDFromString(attribute.bstrVal, &clsid);
    VariantClear(&attribute);
    if (FAILED(hr))
        return hr;
    if (clsid == CLSID_NULL)
        return S_FALSE;
    IPersistPropertyBag* created = nullptr;
    hr = CoCreateInstance(clsid, nullptr, 23, IID_IPersistPropertyBag, reinterpret_cast<void**>(&created));
    if (FAILED(hr))
        return hr;
    IPropertyBag* bag = nullptr;
    hr = CreateBag(document, element, &bag);
    if (SUCCEEDED(hr))
    {
        hr = created->Load(bag, errorLog);
        bag->Release();
    }
    if (FAILED(hr))
    {
        created->Release();
        return hr;
    }
    *object = created;
    return S_OK;
}

HRESULT CXMLPropBag::SaveObject(const std::shared_ptr<XmlDocument>& document, XmlNode& element,
                                IPersistPropertyBag* object, BOOL clearDirty, BOOL saveAll)
{
    IPropertyBag* bag = nullptr;
    HRESULT hr = CreateBag(document, element, &bag);
    if (FAILED(hr))
        return hr;
    CLSID clsid = CLSID_NULL;
    if (object)
        hr = object->GetClassID(&clsid);
    if (SUCCEEDED(hr))
    {
        OLECHAR text[39];
        StringFromGUID2(clsid, text, 39);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(text);
        hr = element.SetAttribute(kClsid, v);
        VariantClear(&v);
    }
    if (SUCCEEDED(hr) && object)
        hr = object->Save(bag, clearDirty, saveAll);
    bag->Release();
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
        VariantClear(value);
        return S_FALSE;
    }
    VARIANT vtText, vtNumber;
    VariantInit(&vtNumber);
    hr = element.GetAttribute(kVt, &vtText);
    if (SUCCEEDED(hr))
        hr = VariantChangeType(&vtNumber, &vtText, 0, VT_I2);
    VariantClear(&vtText);
    if (FAILED(hr))
        return hr;
    const VARTYPE vt = static_cast<VARTYPE>(vtNumber.iVal);
    const std::u16string text = element.Text();

    if (vt == VT_DISPATCH || vt == VT_UNKNOWN)
    {
        CXMLPropBag bags;
        IPersistPropertyBag* object = nullptr;
        hr = bags.LoadObject(mDocument, element, nullptr, &object);
        if (object == nullptr)
            return hr;
        VariantClear(value);
        IUnknown* unknown = nullptr;
        object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
        object->Release();
        value->vt = vt;
        value->punkVal = unknown;
        return S_OK;
    }
    if (vt == VT_BSTR)
    {
        VariantClear(value);
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return value->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (vt == VT_I8 || vt == VT_UI8)
    {
        VARIANT converted;
        VariantInit(&converted);
        hr = VariantChangeType(&converted, &source, 0, vt);
        VariantClear(&source);
        VariantClear(value);
        if (FAILED(hr))
        {
            // Decimal text the conversion refused: parsed as a plain 64-bit integer.
            converted.vt = vt;
            converted.llVal = std::strtoll(Utf16ToUtf8(text).c_str(), nullptr, 10);
        }
        *value = converted;
        return S_OK;
    }
    if (vt == VT_DATE)
    {
        VariantClear(&source);
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
        VariantClear(value);
        value->vt = VT_DATE;
        value->date = date;
        return S_OK;
    }
    if (vt == (VT_ARRAY | VT_VARIANT))
    {
        VariantClear(&source);
        return ReadArray(name, element, value);
    }
    if (vt & (VT_ARRAY | VT_BYREF))
    {
        VariantClear(&source);
        return E_NOTIMPL;
    }
    VARIANT converted;
    VariantInit(&converted);
    hr = VariantChangeType(&converted, &source, 0, vt);
    VariantClear(&source);
    if (FAILED(hr))
        return hr;
    VariantClear(value);
    *value = converted;
    return hr;
}

HRESULT CXMLPropBag::XMLPropertyBag::ReadArray(const std::u16string& name, const XmlNode& element, VARIANT* value)
{
    VARIANT sizeText, size;
    VariantInit(&size);
    HRESULT hr = element.GetAttribute(kSize, &sizeText);
    if (SUCCEEDED(hr))
        hr = VariantChangeType(&size, &sizeText, 0, VT_I4);
    VariantClear(&sizeText);
    if (FAILED(hr))
        return hr;
    if (size.lVal < 0)
        return E_INVALIDARG;
    // A size no policy needs is refused as an array that cannot be made, so a damaged file cannot
    // make the reader allocate and search without end.
    const LONG kMaxElements = 65536;
    SAFEARRAY* array = size.lVal > kMaxElements ? nullptr
                                                : SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(size.lVal));
    if (array == nullptr)
        return E_OUTOFMEMORY;
    const XmlNode previous = mElement;
    mElement = element;
    for (LONG i = 0; i < size.lVal && SUCCEEDED(hr); ++i)
    {
        VARIANT item;
        VariantInit(&item);
        hr = Read(ElementName(name, i + 1).c_str(), &item, nullptr);
        if (SUCCEEDED(hr))
            hr = SafeArrayPutElement(array, &i, &item);
        VariantClear(&item);
    }
    mElement = previous;
    if (FAILED(hr))
    {
        SafeArrayDestroy(array);
        return hr;
    }
    VariantClear(value);
    value->vt = VT_ARRAY | VT_VARIANT;
    value->parray = array;
    return S_OK;
}

STDMETHODIMP CXMLPropBag::XMLPropertyBag::Write(LPCOLESTR propertyName, VARIANT* value)
{
    if (propertyName == nullptr || value == nullptr)
        return E_POINTER;
    if (value->vt & VT_BYREF)
        return E_NOTIMPL;
    const std::u16string name(propertyName);
    XmlNode element = mDocument->CreateElement(name);
    HRESULT hr = element.SetAttribute(kVt, Number(VT_UI2, value->vt));
    if (FAILED(hr))
        return hr;
    const VARTYPE vt = value->vt;
    if (vt == VT_BSTR)
        hr = element.SetText(std::u16string(value->bstrVal ? value->bstrVal : u"", SysStringLen(value->bstrVal)));
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
        if (value->punkVal != nullptr)
        {
            IPersistPropertyBag* persist = nullptr;
            hr = value->punkVal->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&persist));
            if (SUCCEEDED(hr))
            {
                CXMLPropBag bags;
                hr = bags.SaveObject(mDocument, element, persist, FALSE, TRUE);
                persist->Release();
            }
        }
    }
    else if (vt == (VT_ARRAY | VT_VARIANT))
        hr = WriteArray(name, element, *value);
    else if (vt & VT_ARRAY)
        hr = E_NOTIMPL;
    else
    {
        VARIANT text;
        VariantInit(&text);
        hr = VariantChangeType(&text, value, 0, VT_BSTR);
        if (FAILED(hr) && (vt == VT_I8 || vt == VT_UI8))
        {
            const std::string digits = vt == VT_I8 ? std::to_string(value->llVal) : std::to_string(value->ullVal);
            hr = element.SetText(Utf8ToUtf16(digits));
        }
        else if (SUCCEEDED(hr))
            hr = element.SetText(std::u16string(text.bstrVal, SysStringLen(text.bstrVal)));
        VariantClear(&text);
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
    HRESULT hr = element.SetAttribute(kSize, Number(VT_UI4, count));
    const XmlNode previous = mElement;
    mElement = element;
    for (LONG i = 0; i < static_cast<LONG>(count) && SUCCEEDED(hr); ++i)
    {
        VARIANT item;
        LONG index = lower + i;
        hr = SafeArrayGetElement(value.parray, &index, &item);
        if (SUCCEEDED(hr))
            hr = Write(ElementName(name, i + 1).c_str(), &item);
        VariantClear(&item);
    }
    mElement = previous;
    return hr;
}

// The policy file's property bag: IPropertyBag over one XML element, whose child elements are the
// properties ("vt" attribute and text, objects by "clsid", arrays of variants by "size").
#pragma once

#include "Platform/Com/PropertyBag.h"
#include "Platform/Xml/XmlDocument.h"

#include <memory>

class CXMLPropBag
{
public:
    virtual ~CXMLPropBag() = default;

    // A new bag over (document, element).
    HRESULT CreateBag(const std::shared_ptr<XmlDocument>& document, const XmlNode& element, IPropertyBag** bag);
    // Creates the object the element's "clsid" names and lets it load itself from the element.
    // S_FALSE and no object for the null class identifier or a missing "clsid".
    HRESULT LoadObject(const std::shared_ptr<XmlDocument>& document, const XmlNode& element, IErrorLog* errorLog,
                       IPersistPropertyBag** object);
    // Writes the object's "clsid" (null object: the null identifier) and lets it save itself.
    HRESULT SaveObject(const std::shared_ptr<XmlDocument>& document, XmlNode& element, IPersistPropertyBag* object,
                       BOOL clearDirty, BOOL saveAll);

    class XMLPropertyBag;
};

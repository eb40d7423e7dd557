// The XML document subset the policy file uses, over pugixml. Comments, processing instructions and
// an XML declaration are nodes like any other; text made only of white space is dropped. Saving writes
// no declaration and no indentation, as UTF-8, into a temporary file in the target's folder that then
// replaces the target, so a crash or a full disk never leaves half a file. Only regular files are read
// or replaced.
#pragma once

#include "Platform/Com/OleAuto.h"

#include <memory>
#include <sys/types.h>
#include <string>
#include <vector>

namespace pugi
{
class xml_document;
class xml_node_struct;
} // namespace pugi

class XmlDocument;

// A node of a document (a handle; the document owns the node). A default node is none.
class XmlNode
{
public:
    XmlNode() = default;
    bool IsNull() const { return mNode == nullptr; }
    bool IsElement() const;
    std::u16string Name() const;

    XmlNode FirstChild() const;
    std::vector<XmlNode> ChildNodes() const;
    XmlNode ParentNode() const;
    // The first child element named name; S_FALSE and a null node when there is none.
    HRESULT SelectSingleNode(const std::u16string& name, XmlNode& found) const;
    // Appends child (made by the same document's CreateElement, not yet attached), or moves it.
    HRESULT AppendChild(XmlNode& child);
    HRESULT RemoveChild(const XmlNode& child);
    // Appends a deep copy of source, which may belong to another document; source stays as it is.
    HRESULT AppendCopy(const XmlNode& source);
    // Puts a deep copy of source (of any document) where this node stands and removes this node, which
    // becomes none.
    HRESULT ReplaceWithCopy(const XmlNode& source);

    // The text of the element (its character data); setting replaces all children with one text.
    std::u16string Text() const;
    HRESULT SetText(const std::u16string& text);
    // S_OK and a VT_BSTR variant when the attribute exists; S_FALSE and VT_NULL when it does not.
    HRESULT GetAttribute(const std::u16string& name, VARIANT* value) const;
    // The value is written as its text (VariantChangeType to VT_BSTR).
    HRESULT SetAttribute(const std::u16string& name, const VARIANT& value);

    bool operator==(const XmlNode& o) const { return mNode == o.mNode; }

private:
    friend class XmlDocument;
    explicit XmlNode(pugi::xml_node_struct* node) : mNode(node) {}
    pugi::xml_node_struct* mNode = nullptr;
};

class XmlDocument
{
public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Reads a file ("\" taken as "/"): S_OK with loaded false when the file is missing, is not a
    // regular file or does not parse (the document is then empty). FileExists and Problem tell which.
    [[nodiscard]] HRESULT Load(const std::u16string& path, bool& loaded);
    // After Load: whether something existed at the path, and why it was not loaded ("" when it was, or
    // when nothing existed): "line L, column C: ..." for text that does not parse.
    bool FileExists() const { return mFileExists; }
    const std::string& Problem() const { return mProblem; }
    [[nodiscard]] HRESULT LoadText(const std::string& utf8, bool& loaded);
    // Writes the document to path through a temporary file renamed over it.
    HRESULT Save(const std::u16string& path) const;
    // Writes text to path the same way: a link at path that belongs to this process's user or to root
    // is followed (the file it points to is replaced, in its own folder; another's link is
    // ERROR_ACCESS_DENIED); a file that exists keeps its mode and owner, a new one gets newMode, or
    // 0666 less the umask when newMode is 0; anything but a regular file is refused. Temporary files of
    // the same name that a killed writer left are removed.
    // With privateFile (a file that holds a secret) a new file is 0600 and an existing one loses every
    // access of group and others; a save never widens a file's mode.
    [[nodiscard]] static HRESULT SaveFile(const std::u16string& path, const std::string& text, mode_t newMode,
                                          bool privateFile = false);
    std::string SaveText() const;

    // The document node itself: its children are the top-level nodes.
    XmlNode Root() const;
    // A new element, not yet attached anywhere (it stays owned by the document).
    XmlNode CreateElement(const std::u16string& name);
    // Every element of that name, in document order.
    std::vector<XmlNode> GetElementsByTagName(const std::u16string& name) const;

private:
    std::unique_ptr<pugi::xml_document> mDocument;
    std::unique_ptr<pugi::xml_document> mLoose; // holds elements until they are appended
    bool mFileExists = false;
    std::string mProblem;
};

#include "Platform/Xml/XmlDocument.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
pugi::xml_node Node(pugi::xml_node_struct* n)
{
    return pugi::xml_node(n);
}

std::string Narrow(const std::u16string& s)
{
    return Utf16ToUtf8(s);
}

std::string FilePath(const std::u16string& path)
{
    std::string p = Utf16ToUtf8(path);
    for (char& c : p)
        if (c == '\\')
            c = '/';
    return p;
}

const unsigned kParseFlags = pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration;
} // namespace

bool XmlNode::IsElement() const
{
    return mNode && Node(mNode).type() == pugi::node_element;
}

std::u16string XmlNode::Name() const
{
    return mNode ? Utf8ToUtf16(Node(mNode).name()) : std::u16string();
}

XmlNode XmlNode::FirstChild() const
{
    return XmlNode(mNode ? Node(mNode).first_child().internal_object() : nullptr);
}

std::vector<XmlNode> XmlNode::ChildNodes() const
{
    std::vector<XmlNode> children;
    if (mNode)
        for (pugi::xml_node c : Node(mNode).children())
            children.push_back(XmlNode(c.internal_object()));
    return children;
}

XmlNode XmlNode::ParentNode() const
{
    return XmlNode(mNode ? Node(mNode).parent().internal_object() : nullptr);
}

HRESULT XmlNode::SelectSingleNode(const std::u16string& name, XmlNode& found) const
{
    found = XmlNode();
    if (!mNode)
        return E_POINTER;
    pugi::xml_node child = Node(mNode).child(Narrow(name).c_str());
    if (!child)
        return S_FALSE;
    found = XmlNode(child.internal_object());
    return S_OK;
}

HRESULT XmlNode::AppendChild(XmlNode& child)
{
    if (!mNode || !child.mNode)
        return E_POINTER;
    pugi::xml_node parent = Node(mNode);
    pugi::xml_node moved;
    if (Node(child.mNode).root() != parent.root())
    {
        // A loose element, kept apart until now: copy it in, then drop the loose one.
        pugi::xml_node loose = Node(child.mNode);
        moved = parent.append_copy(loose);
        loose.parent().remove_child(loose);
    }
    else
        moved = parent.append_move(Node(child.mNode));
    if (!moved)
        return E_FAIL;
    child = XmlNode(moved.internal_object());
    return S_OK;
}

HRESULT XmlNode::RemoveChild(const XmlNode& child)
{
    if (!mNode || !child.mNode)
        return E_POINTER;
    return Node(mNode).remove_child(Node(child.mNode)) ? S_OK : E_INVALIDARG;
}

std::u16string XmlNode::Text() const
{
    if (!mNode)
        return std::u16string();
    return Utf8ToUtf16(Node(mNode).text().get());
}

HRESULT XmlNode::SetText(const std::u16string& text)
{
    if (!mNode)
        return E_POINTER;
    pugi::xml_node n = Node(mNode);
    while (n.first_child())
        n.remove_child(n.first_child());
    if (text.empty())
        return S_OK;
    return n.text().set(Narrow(text).c_str()) ? S_OK : E_FAIL;
}

HRESULT XmlNode::GetAttribute(const std::u16string& name, VARIANT* value) const
{
    if (!mNode || value == nullptr)
        return E_POINTER;
    VariantInit(value);
    pugi::xml_attribute a = Node(mNode).attribute(Narrow(name).c_str());
    if (!a)
    {
        value->vt = VT_NULL;
        return S_FALSE;
    }
    const std::u16string text = Utf8ToUtf16(a.value());
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return value->bstrVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT XmlNode::SetAttribute(const std::u16string& name, const VARIANT& value)
{
    if (!mNode)
        return E_POINTER;
    VARIANT text;
    VariantInit(&text);
    HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
    if (FAILED(hr))
        return hr;
    pugi::xml_node n = Node(mNode);
    const std::string key = Narrow(name);
    pugi::xml_attribute a = n.attribute(key.c_str());
    if (!a)
        a = n.append_attribute(key.c_str());
    const bool ok = a.set_value(Utf16ToUtf8(std::u16string_view(text.bstrVal, SysStringLen(text.bstrVal))).c_str());
    VariantClear(&text);
    return ok ? S_OK : E_FAIL;
}

XmlDocument::XmlDocument() : mDocument(new pugi::xml_document()), mLoose(new pugi::xml_document())
{
}

XmlDocument::~XmlDocument() = default;

HRESULT XmlDocument::Load(const std::u16string& path, bool& loaded)
{
    mDocument->reset();
    const pugi::xml_parse_result r = mDocument->load_file(FilePath(path).c_str(), kParseFlags);
    loaded = static_cast<bool>(r);
    if (!loaded)
        mDocument->reset();
    return S_OK;
}

HRESULT XmlDocument::LoadText(const std::string& utf8, bool& loaded)
{
    mDocument->reset();
    const pugi::xml_parse_result r = mDocument->load_buffer(utf8.data(), utf8.size(), kParseFlags);
    loaded = static_cast<bool>(r);
    if (!loaded)
        mDocument->reset();
    return S_OK;
}

std::string XmlDocument::SaveText() const
{
    std::ostringstream out;
    mDocument->save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out.str();
}

// mkstemp in the target's folder, write, fsync, rename over the target.
HRESULT XmlDocument::Save(const std::u16string& path) const
{
    const std::string target = FilePath(path);
    if (target.empty())
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return HRESULT_FROM_WIN32(SetLastErrorFromErrno());
    const std::string text = SaveText();
    size_t written = 0;
    while (written < text.size())
    {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == text.size() && fsync(fd) == 0;
    const int savedErrno = errno;
    // The file keeps the permissions of the one it replaces (0644 when new; mkstemp made it 0600).
    struct stat old;
    fchmod(fd, stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) == 0)
        return S_OK;
    errno = ok ? errno : (savedErrno ? savedErrno : EIO);
    const HRESULT hr = HRESULT_FROM_WIN32(SetLastErrorFromErrno());
    unlink(temp.c_str());
    return hr;
}

XmlNode XmlDocument::Root() const
{
    return XmlNode(mDocument->internal_object());
}

XmlNode XmlDocument::CreateElement(const std::u16string& name)
{
    pugi::xml_node e = mLoose->append_child(Narrow(name).c_str());
    return XmlNode(e.internal_object());
}

std::vector<XmlNode> XmlDocument::GetElementsByTagName(const std::u16string& name) const
{
    std::vector<XmlNode> found;
    const std::string key = Narrow(name);
    struct Walker : pugi::xml_tree_walker
    {
        const std::string* key;
        std::vector<XmlNode>* found;
        std::vector<pugi::xml_node_struct*> nodes;
        bool for_each(pugi::xml_node& node) override
        {
            if (node.type() == pugi::node_element && *key == node.name())
                nodes.push_back(node.internal_object());
            return true;
        }
    } walker;
    walker.key = &key;
    walker.found = &found;
    mDocument->traverse(walker);
    for (pugi::xml_node_struct* n : walker.nodes)
        found.push_back(XmlNode(n));
    return found;
}

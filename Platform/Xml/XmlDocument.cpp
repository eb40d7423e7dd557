#include "Platform/Xml/XmlDocument.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Utf.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
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

HRESULT XmlNode::AppendCopy(const XmlNode& source)
{
    if (!mNode || !source.mNode)
        return E_POINTER;
    return Node(mNode).append_copy(Node(source.mNode)) ? S_OK : E_FAIL;
}

HRESULT XmlNode::ReplaceWithCopy(const XmlNode& source)
{
    if (!mNode || !source.mNode)
        return E_POINTER;
    pugi::xml_node node = Node(mNode);
    pugi::xml_node parent = node.parent();
    if (!parent || !parent.insert_copy_before(Node(source.mNode), node))
        return E_FAIL;
    parent.remove_child(node);
    mNode = nullptr;
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
    // All character data and CDATA pieces in order; comments and processing instructions are skipped.
    std::string text;
    for (pugi::xml_node c : Node(mNode).children())
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
            text += c.value();
    return Utf8ToUtf16(text);
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
    loaded = false;
    mFileExists = false;
    mProblem.clear();
    const std::string file = FilePath(path);
    // Only a regular file is read: opened without blocking, so a FIFO never makes the reader wait.
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
    {
        mFileExists = errno != ENOENT;
        mProblem = mFileExists ? std::strerror(errno) : "";
        return S_OK;
    }
    mFileExists = true;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(fd);
        mProblem = "not a regular file";
        return S_OK;
    }
    std::string text;
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (;;)
    {
        if (got == text.size())
            text.resize(text.size() + 4096);
        const ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    const pugi::xml_parse_result r = mDocument->load_buffer(text.data(), text.size(), kParseFlags);
    loaded = static_cast<bool>(r);
    if (!loaded)
    {
        mDocument->reset();
        // "line L, column C: what the parser says".
        size_t line = 1, column = 1;
        for (ptrdiff_t i = 0; i < r.offset && static_cast<size_t>(i) < text.size(); ++i)
            text[i] == '\n' ? (++line, column = 1) : ++column;
        mProblem = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + r.description();
    }
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

namespace
{
// A reader turns a carriage return in text into a line feed (XML's end-of-line rule) unless it is a
// character reference, so every one in element text is written as "&#13;". The writer escapes "<" in
// text and attribute values, so every "<" begins markup; comments, CDATA sections, processing
// instructions and the document type keep theirs as they are.
std::string CarriageReturnsAsReferences(const std::string& text)
{
    if (text.find('\r') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size())
    {
        const char c = text[i];
        if (c == '\r')
        {
            out += "&#13;";
            ++i;
            continue;
        }
        const char* end = nullptr;
        if (c == '<' && text.compare(i, 4, "<!--") == 0)
            end = "-->";
        else if (c == '<' && text.compare(i, 9, "<![CDATA[") == 0)
            end = "]]>";
        else if (c == '<' && text.compare(i, 2, "<?") == 0)
            end = "?>";
        else if (c == '<' && text.compare(i, 2, "<!") == 0)
            end = ">";
        if (end == nullptr)
        {
            out += c;
            ++i;
            continue;
        }
        const size_t stop = text.find(end, i + 2);
        const size_t next = stop == std::string::npos ? text.size() : stop + std::strlen(end);
        out.append(text, i, next - i);
        i = next;
    }
    return out;
}
} // namespace

std::string XmlDocument::SaveText() const
{
    std::ostringstream out;
    mDocument->save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return CarriageReturnsAsReferences(out.str());
}

HRESULT XmlDocument::Save(const std::u16string& path) const
{
    return SaveFile(path, SaveText(), 0);
}

namespace
{
const char* const kTempMarker = ".tmp-";
const int kStaleSeconds = 60;

HRESULT Failure(int err)
{
    errno = err;
    return HRESULT_FROM_WIN32(SetLastErrorFromErrno());
}

// The process's umask, read without changing it.
mode_t CurrentUmask()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    unsigned mask = 022;
    if (status != nullptr)
    {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1)
                break;
        std::fclose(status);
    }
    return static_cast<mode_t>(mask);
}

// Removes temporary files of target's naming pattern ("NAME.tmp-XXXXXX") that a killed writer left:
// older than a minute and locked by no live writer.
void RemoveStaleTemporaries(const std::string& target)
{
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + kTempMarker;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const time_t now = time(nullptr);
    while (dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string full = folder + "/" + name;
        const int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && now - st.st_mtime > kStaleSeconds &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(full.c_str());
        close(fd);
    }
    closedir(dir);
}
} // namespace

// The target is the file a link at path points to when the link belongs to this process's user or to
// root; the temporary file is made in the target's folder with the final mode and owner, locked while
// it is written, written, flushed and renamed over the target.
HRESULT XmlDocument::SaveFile(const std::u16string& path, const std::string& text, mode_t newMode, bool privateFile)
{
    std::string target = FilePath(path);
    if (target.empty())
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    struct stat link;
    if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    {
        if (link.st_uid != geteuid() && link.st_uid != 0)
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        char* resolved = realpath(target.c_str(), nullptr);
        if (resolved == nullptr)
        {
            // A link to a file not made yet: the name it holds, taken from the link's folder.
            char buffer[4096];
            const ssize_t n = readlink(target.c_str(), buffer, sizeof buffer - 1);
            if (n <= 0)
                return Failure(errno);
            const std::string to(buffer, static_cast<size_t>(n));
            const size_t slash = target.find_last_of('/');
            target = (to[0] == '/' || slash == std::string::npos) ? to : target.substr(0, slash + 1) + to;
        }
        else
        {
            target = resolved;
            free(resolved);
        }
    }
    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return HRESULT_FROM_WIN32(S_ISDIR(old.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED);

    RemoveStaleTemporaries(target);
    std::string temp = target + kTempMarker + "XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return Failure(errno);
    flock(fd, LOCK_EX | LOCK_NB); // tells others the file is in use
    // Mode and owner first: a file that exists keeps its own, a new one follows the umask (or the
    // caller's mode).
    mode_t mode = exists ? (old.st_mode & 07777) : newMode ? newMode : (0666 & ~CurrentUmask());
    if (privateFile)
        mode = exists ? (mode & ~static_cast<mode_t>(077)) : (mode & 0600);
    int err = 0;
    if (fchmod(fd, mode) != 0)
        err = errno;
    if (err == 0 && exists && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0)
        err = errno;
    size_t written = 0;
    while (err == 0 && written < text.size())
    {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            err = n < 0 ? errno : ENOSPC;
        else
            written += static_cast<size_t>(n);
    }
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(temp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err == 0)
        return S_OK;
    unlink(temp.c_str());
    return Failure(err);
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

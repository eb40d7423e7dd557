// The manager's policy file: reading it into the handler table, and writing the table back.
#include "Base/Dev/Global/StringRepository.h"
#include "Base/Dev/Global/Encoders.h"
#include "Messages/MessageTables.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/Notify.h"
#include "Ferrule/PolicyFile.h"
#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/FileLock.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>

namespace
{
// "0x%08X" and the system's text of a failure.
String FailureText(HRESULT failure, bool withHex)
{
    const String hex = Utf8ToUtf16(HexCode(static_cast<uint32_t>(failure)));
    const String text = SystemMessageText(static_cast<DWORD>(failure));
    if (text.empty())
        return hex;
    return withHex ? hex + u" " + text : text;
}

// How long a write-back waits for another writer of the policy file (ferrule set, another manager).
const std::chrono::seconds kPolicyLockWait(30);

String HandlerKeyOf(const XmlNode& handler)
{
    Variant clsid;
    if (handler.GetAttribute(policy::kClsidAttribute, clsid.Out()) != S_OK || clsid->vt != VT_BSTR)
        return String();
    return UpperKey(ToString(clsid->bstrVal));
}

// The Handler elements of a policy document by key (the first one of a key).
std::map<String, XmlNode> HandlersByKey(const XmlDocument& document)
{
    std::map<String, XmlNode> handlers;
    for (const XmlNode& element : document.GetElementsByTagName(policy::kHandlerElement))
        handlers.emplace(HandlerKeyOf(element), element);
    return handlers;
}

// A row (a child element of a Handler element) as text, to compare.
std::string RowText(const XmlNode& row)
{
    XmlDocument alone;
    alone.Root().AppendCopy(row);
    return alone.SaveText();
}

std::map<String, std::string> RowsOf(const XmlNode& handler)
{
    std::map<String, std::string> rows;
    for (const XmlNode& row : handler.ChildNodes())
        if (row.IsElement())
            rows.emplace(row.Name(), RowText(row));
    return rows;
}

// Brings into current, the file as another writer may have left it, what this manager changed between
// base (the table as read) and mine (the table now): rows that differ, rows it dropped, and handlers the
// file lacks that this manager added or changed. Every other row stays as current has it.
void MergeChanges(const XmlDocument& base, const XmlDocument& mine, XmlDocument& current, XmlNode& currentHandlers)
{
    const std::map<String, XmlNode> baseHandlers = HandlersByKey(base);
    std::map<String, XmlNode> theirs = HandlersByKey(current);
    for (const XmlNode& handler : mine.GetElementsByTagName(policy::kHandlerElement))
    {
        const String key = HandlerKeyOf(handler);
        const auto read = baseHandlers.find(key);
        const std::map<String, std::string> baseRows = read == baseHandlers.end() ? std::map<String, std::string>()
                                                                                  : RowsOf(read->second);
        const std::map<String, std::string> myRows = RowsOf(handler);
        if (myRows == baseRows && read != baseHandlers.end())
            continue; // unchanged here: the file's version stands, even when another writer removed it
        const auto there = theirs.find(key);
        if (there == theirs.end())
        {
            currentHandlers.AppendCopy(handler);
            continue;
        }
        XmlNode target = there->second;
        Variant name;
        if (handler.GetAttribute(policy::kNameAttribute, name.Out()) == S_OK)
            target.SetAttribute(policy::kNameAttribute, name.Get());
        for (const XmlNode& row : handler.ChildNodes())
        {
            if (!row.IsElement())
                continue;
            const auto before = baseRows.find(row.Name());
            if (before != baseRows.end() && before->second == RowText(row))
                continue;
            XmlNode existing;
            if (target.SelectSingleNode(row.Name(), existing) == S_OK)
                existing.ReplaceWithCopy(row);
            else
                target.AppendCopy(row);
        }
        for (const auto& [name, text] : baseRows)
        {
            XmlNode dropped;
            if (myRows.count(name) == 0 && target.SelectSingleNode(name, dropped) == S_OK)
                target.RemoveChild(dropped);
        }
    }
}

// Whether a policy document holds a password form or another secret (the file is then private).
bool HoldsSecret(const XmlDocument& document)
{
    bool holds = false;
    auto check = [&](const char16_t* name) {
        for (const XmlNode& form : document.GetElementsByTagName(name))
            holds = holds || !form.Text().empty();
    };
    for (const char16_t* name : policy::kPasswordForms)
        check(name);
    for (const ClassRow& c : kClasses)
        for (size_t i = 0; i < c.settingCount; ++i)
            if (c.settings[i].row != nullptr && (c.settings[i].flags & (Setting::kSecret | Setting::kUrl)))
                check(c.settings[i].row);
    return holds;
}
} // namespace

HRESULT CNotify::LoadPolicy()
{
    mHandlers.clear();
    mPolicyExisted = false;
    mPolicyWhole = true;
    mPolicyStop.clear();
    mUnloaded.clear();
    mReadDocument.reset();
    mLoadWarnings.clear();
    auto stopped = [this](const String& where) {
        mPolicyWhole = false;
        if (mPolicyStop.empty())
            mPolicyStop = where;
    };
    auto document = std::make_shared<XmlDocument>();
    bool loaded = false;
    HRESULT hr = document->Load(mConfigFile.Str(), loaded);
    if (FAILED(hr))
        return hr;
    mPolicyExisted = document->FileExists();
    if (!loaded)
    {
        if (mPolicyExisted)
            stopped(Utf8ToUtf16(document->Problem()));
        hr = document->Load(policy::kFallbackFile, loaded);
        if (FAILED(hr))
            return hr;
        if (!loaded)
            return S_FALSE;
    }
    const XmlNode root = document->Root().FirstChild();
    if (!root.IsElement())
    {
        stopped(u"the document's first node, which is not an element");
        return S_OK;
    }
    XmlNode handlers;
    if (root.SelectSingleNode(policy::kHandlersElement, handlers) != S_OK)
    {
        stopped(u"the root element, which has no Handlers element");
        return S_FALSE;
    }

    // The outbox's retry period, when the file sets it (a value that does not read keeps the default).
    XmlNode outboxElement, retry;
    if (root.SelectSingleNode(policy::kOutboxElement, outboxElement) == S_OK)
    {
        mOutboxElement = true;
        if (outboxElement.SelectSingleNode(policy::kRetryMinutes, retry) == S_OK)
        {
            const std::string text = Utf16ToUtf8(retry.Text());
            char* end = nullptr;
            const unsigned long minutes = std::strtoul(text.c_str(), &end, 10);
            if (!text.empty() && end != nullptr && *end == 0 && minutes <= 0xFFFFFFFFul)
                mRetryMinutes = static_cast<ULONG>(minutes);
        }
    }

    CXMLPropBag bags;
    int position = 0;
    for (const XmlNode& child : handlers.ChildNodes())
    {
        ++position;
        if (!child.IsElement())
        {
            stopped(policy::ChildPosition(position) + u" (not an element)");
            return E_UNEXPECTED;
        }
        Variant clsid;
        child.GetAttribute(policy::kClsidAttribute, clsid.Out());
        const String key = clsid->vt == VT_BSTR ? UpperKey(ToString(clsid->bstrVal)) : String();
        const String element = policy::ElementPosition(position, child.Name(), key);
        // An element that cannot be loaded stays aside as it was read; the ones after it still load.
        auto unloaded = [&](HRESULT failure) {
            stopped(element);
            String reason = TakeErrorDescription();
            if (reason.empty())
                reason = FailureText(failure, true);
            while (!reason.empty() && (reason.back() == u'\n' || reason.back() == u'\r'))
                reason.pop_back();
            mUnloaded.push_back(Unloaded{key, element, failure, reason, child});
            mReadDocument = document;
        };
        SetErrorInfo(0, nullptr);
        ComPtr<IPersistPropertyBag> object;
        hr = bags.LoadObject(document, child, nullptr, object.Out());
        if (FAILED(hr))
        {
            unloaded(hr);
            continue;
        }
        if (!object)
            continue; // no class named: nothing to load for this element
        const String loadedWith = TakeErrorDescription();

        ComPtr<INotifyHandler> handler = object.As<INotifyHandler>(&hr);
        if (!handler)
        {
            unloaded(hr);
            continue;
        }
        eZD_NOTIFY_PRIORITY filter;
        if (SUCCEEDED(handler->get_PriorityFilter(&filter)) && !(filter & NOTIFY_PRIORITY_HIGH))
            handler->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(filter | NOTIFY_PRIORITY_HIGH));

        HRESULT maintainHr;
        if (ComPtr<INotifyHandlerMaintain> maintain = handler.As<INotifyHandlerMaintain>(&maintainHr))
        {
            hr = maintain->Initialize();
            if (FAILED(hr))
            {
                unloaded(hr);
                continue;
            }
        }
        else if (maintainHr != E_NOINTERFACE)
        {
            unloaded(maintainHr);
            continue;
        }
        // The first handler under a key stays.
        if (Insert(key, std::move(handler)) && !loadedWith.empty())
            mLoadWarnings.push_back(loadedWith);
    }
    return mUnloaded.empty() ? S_OK : mUnloaded.back().hr;
}

HRESULT CNotify::PolicyText(bool terminate, std::string& text, bool* holdsPassword)
{
    auto document = std::make_shared<XmlDocument>();
    XmlNode top = document->Root();
    XmlNode root = document->CreateElement(policy::kRootElement);
    HRESULT hr = top.AppendChild(root);
    XmlNode handlers = document->CreateElement(policy::kHandlersElement);
    if (SUCCEEDED(hr))
        hr = root.AppendChild(handlers);
    CXMLPropBag bags;
    // Elements that could not be loaded go back as they were read, in key order among the others.
    size_t nextUnloaded = 0;
    std::vector<const Unloaded*> unloaded;
    for (const Unloaded& u : mUnloaded)
        unloaded.push_back(&u);
    std::stable_sort(unloaded.begin(), unloaded.end(), [](const Unloaded* a, const Unloaded* b) { return a->key < b->key; });
    auto copyUnloadedBefore = [&](const String* key) {
        while (SUCCEEDED(hr) && nextUnloaded < unloaded.size() && (key == nullptr || unloaded[nextUnloaded]->key < *key))
            hr = handlers.AppendCopy(unloaded[nextUnloaded++]->node);
    };
    for (Entry& e : mHandlers)
    {
        const String entryKey = e.key.Str();
        copyUnloadedBefore(&entryKey);
        if (FAILED(hr))
            break;
        XmlNode element = document->CreateElement(policy::kHandlerElement);
        hr = handlers.AppendChild(element);
        if (FAILED(hr))
            break;
        Bstr name;
        hr = e.handler->get_Name(name.Out());
        if (SUCCEEDED(hr))
            hr = element.SetAttribute(policy::kNameAttribute, Variant(name.Str()).Get());
        if (ComPtr<IPersistPropertyBag> persist = e.handler.As<IPersistPropertyBag>())
        {
            if (SUCCEEDED(hr))
                hr = bags.SaveObject(document, element, persist.Get(), FALSE, TRUE);
        }
        if (!terminate)
            continue;
        if (ComPtr<INotifyHandlerMaintain> maintain = e.handler.As<INotifyHandlerMaintain>())
        {
            // A failed save is not hidden by a Terminate that succeeds: the file would lose the
            // handler's settings.
            const HRESULT terminated = maintain->Terminate();
            if (SUCCEEDED(hr))
                hr = terminated;
        }
    }
    copyUnloadedBefore(nullptr);
    if (SUCCEEDED(hr) && mOutboxElement)
    {
        // The outbox's settings, as the file had them.
        XmlNode outboxElement = document->CreateElement(policy::kOutboxElement);
        XmlNode retry = document->CreateElement(policy::kRetryMinutes);
        hr = root.AppendChild(outboxElement);
        if (SUCCEEDED(hr))
            hr = outboxElement.AppendChild(retry);
        if (SUCCEEDED(hr))
            hr = retry.SetAttribute(u"vt", Variant(String(u"19")).Get());
        if (SUCCEEDED(hr))
            hr = retry.SetText(Utf8ToUtf16(std::to_string(mRetryMinutes)));
    }
    if (FAILED(hr))
        return hr;
    for (XmlNode& plain : document->GetElementsByTagName(policy::kPlainPassword))
        plain.ParentNode().RemoveChild(plain);
    if (holdsPassword)
        *holdsPassword = HoldsSecret(*document);
    text = document->SaveText();
    return S_OK;
}

HRESULT CNotify::SavePolicy()
{
    std::string text;
    bool holdsPassword = false;
    HRESULT hr = PolicyText(true, text, &holdsPassword);
    const String file = mConfigFile.Str();
    auto warnFailure = [&](HRESULT failure) {
        Warn(StringRepository::FormatString(IDS_POLICY_WRITE_FAILED, {Argument(file), Argument(FailureText(failure, false))}));
    };
    if (FAILED(hr))
    {
        if (!file.empty())
            warnFailure(hr);
        return hr;
    }
    if (file.empty())
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND); // never initialized: nothing to write to
    if (mReadOnly)
        return S_FALSE;

    // Written when the file does not exist, or when the settings changed since they were read.
    bool loaded = false;
    XmlDocument current;
    hr = current.Load(file, loaded);
    if (SUCCEEDED(hr) && current.FileExists() && mSnapshotValid && text == mSnapshot)
    {
        if (!mPolicyWhole)
            Warn(StringRepository::FormatString(IDS_POLICY_NOT_READ_WHOLE, {Argument(file), Argument(mPolicyStop)}));
        return S_FALSE;
    }

    // Under the writers' lock (the tool's too), read again: another writer may have stored settings since
    // this manager read the file, and they stay; only what this manager changed is written into it.
    std::string lockFile = Utf16ToUtf8(file) + ".lock";
    std::replace(lockFile.begin(), lockFile.end(), '\\', '/');
    const FileLock lock(lockFile, kPolicyLockWait);
    if (!lock.Held())
    {
        warnFailure(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    const std::string mine = text;
    hr = current.Load(file, loaded);
    const bool exists = current.FileExists();
    XmlDocument base, mineDocument;
    bool baseLoaded = false, mineLoaded = false;
    XmlNode currentHandlers;
    if (SUCCEEDED(hr) && loaded && mPolicyWhole && mSnapshotValid && current.Root().FirstChild().IsElement() &&
        current.Root().FirstChild().SelectSingleNode(policy::kHandlersElement, currentHandlers) == S_OK &&
        SUCCEEDED(base.LoadText(mSnapshot, baseLoaded)) && baseLoaded &&
        SUCCEEDED(mineDocument.LoadText(mine, mineLoaded)) && mineLoaded)
    {
        MergeChanges(base, mineDocument, current, currentHandlers);
        text = current.SaveText();
        holdsPassword = HoldsSecret(current);
    }
    if (exists && !mPolicyWhole)
    {
        // What could not be read is kept once before it is replaced.
        const String copy = file + u".unreadable";
        std::string bytes;
        hr = ReadWholeFile(file, bytes);
        if (SUCCEEDED(hr))
            hr = XmlDocument::SaveFile(copy, bytes, 0600);
        if (FAILED(hr))
        {
            warnFailure(hr);
            return hr;
        }
        Warn(StringRepository::FormatString(IDS_POLICY_REPLACED_UNREADABLE,
                                            {Argument(file), Argument(mPolicyStop), Argument(copy)}));
    }
    hr = XmlDocument::SaveFile(file, text, 0, holdsPassword);
    if (FAILED(hr))
    {
        warnFailure(hr);
        return hr;
    }
    mSnapshot = mine; // what this table held when it was last written: later changes are told from it
    mSnapshotValid = true;
    mPolicyWhole = true;
    mPolicyStop.clear();
    return S_OK;
}

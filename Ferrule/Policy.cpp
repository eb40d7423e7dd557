// The manager's policy file: reading it into the handler table, and writing the table back.
#include "Base/Dev/Global/StringRepository.h"
#include "Messages/MessageTables.h"
#include "Ferrule/Notify.h"
#include "Ferrule/PolicyFile.h"
#include "Ferrule/XmlPropBag.h"
#include "Platform/Win32/Errors.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Utf.h"

#include <algorithm>
#include <cstdio>

namespace
{
// "0x%08X" and the system's text of a failure.
String FailureText(HRESULT failure, bool withHex)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(failure));
    const String text = SystemMessageText(static_cast<DWORD>(failure));
    if (text.empty())
        return Utf8ToUtf16(hex);
    return withHex ? Utf8ToUtf16(hex) + u" " + text : text;
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
    if (FAILED(hr))
        return hr;
    for (XmlNode& plain : document->GetElementsByTagName(policy::kPlainPassword))
        plain.ParentNode().RemoveChild(plain);
    if (holdsPassword)
    {
        // A password form or another secret makes the file private.
        *holdsPassword = false;
        auto holds = [&](const char16_t* name) {
            for (const XmlNode& form : document->GetElementsByTagName(name))
                *holdsPassword = *holdsPassword || !form.Text().empty();
        };
        for (const char16_t* name : policy::kPasswordForms)
            holds(name);
        for (const char16_t* name : policy::kSecretRows)
            holds(name);
    }
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

    // Written when the file does not exist, or when the settings changed since they were read.
    bool loaded = false;
    XmlDocument current;
    current.Load(file, loaded);
    const bool exists = current.FileExists();
    if (exists && mSnapshotValid && text == mSnapshot)
    {
        if (!mPolicyWhole)
            Warn(StringRepository::FormatString(IDS_POLICY_NOT_READ_WHOLE, {Argument(file), Argument(mPolicyStop)}));
        return S_FALSE;
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
    mSnapshot = text;
    mSnapshotValid = true;
    mPolicyWhole = true;
    mPolicyStop.clear();
    return S_OK;
}

// For programs that drive a manager from outside (the ferrule tool, the C++ client): a handler the
// manager holds, and the log folder a policy such a program creates gets.
#pragma once

#include "Base/Dev/Config/Places.h"
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Guid.h"
#include "Platform/Com/Owners.h"
#include "Platform/Win32/Utf.h"

// The manager's handler of a class, through one of its interfaces; null when the manager holds none.
template <class I>
ComPtr<I> HandlerOf(INotify* notify, REFCLSID clsid, REFIID iid)
{
    const Bstr key(GuidText(clsid));
    ComPtr<INotifyHandler> handler;
    ComPtr<I> specific;
    if (SUCCEEDED(notify->GetHandler(key.Get(), handler.Out())) && handler)
        handler->QueryInterface(iid, specific.VoidOut());
    return specific;
}

// A policy such a program creates logs into the log folder of new policies (Places::LogFolder), never
// the current folder: the log-file handler gets it when it has no folder. With make, the folder is made
// too (a program that only shows the policy shows the folder and makes nothing).
inline void GiveLogFolder(INotify* notify, bool make)
{
    const ComPtr<INotifyLog> log = HandlerOf<INotifyLog>(notify, CLSID_NotifyLog, IID_INotifyLog);
    Bstr path;
    if (!log || FAILED(log->get_FilePath(path.Out())) || !path.Empty())
        return;
    const std::string folder = Places::LogFolder();
    if (make)
        Places::MakeFolders(folder);
    const Bstr value(Utf8ToUtf16(folder));
    log->put_FilePath(value.Get());
}

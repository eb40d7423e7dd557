// A scoped lock over an owner object's critical section (re-entrant), traced in the debug log when
// the APPLICATION context has LOWINFO:
//   "ObjectLocker -- Entering <lock name> for <what> <detail>" before entering,
//   "ObjectLocker -- Leaving <lock name> for <what> <detail>" after leaving.
#pragma once

#include "Base/Dev/Diagnostics/DebugLog.h"

#include <string>

template <class Owner>
class ObjectLocker
{
public:
    ObjectLocker(Owner& owner, std::string lockName, std::string what, std::string detail)
        : mOwner(owner), mLockName(std::move(lockName)), mWhat(std::move(what)), mDetail(std::move(detail))
    {
        Trace("Entering ");
        mOwner.Lock();
    }
    ~ObjectLocker()
    {
        mOwner.Unlock();
        Trace("Leaving ");
    }
    ObjectLocker(const ObjectLocker&) = delete;
    ObjectLocker& operator=(const ObjectLocker&) = delete;

private:
    void Trace(const char* verb) const
    {
        if (!Debug::IsEnabled(Debug::APPLICATION, Debug::LOWINFO))
            return;
        // No file, line or function: the entry names the lock instead.
        Debug::Entry entry(Debug::APPLICATION, Debug::LOWINFO, nullptr, 0, nullptr);
        entry.Stream() << "ObjectLocker -- " << verb << mLockName << " for " << mWhat << " " << mDetail;
    }

    Owner& mOwner;
    std::string mLockName;
    std::string mWhat;
    std::string mDetail;
};

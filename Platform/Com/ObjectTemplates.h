// Templates for COM objects: a class declares its interfaces once in a COM map and gets
// QueryInterface, AddRef and Release, stand-alone (ComObject) or aggregated (ComAggObject), with a
// single-threaded or an atomic reference count, and a class factory.
//
//   class CThing : public ComObjectRootEx<SingleThreadModel>, public IThing, public ISupportErrorInfo
//   {
//   public:
//       BEGIN_COM_MAP(CThing)
//           COM_INTERFACE_ENTRY(IThing)
//           COM_INTERFACE_ENTRY2(IDispatch, IThing)
//           COM_INTERFACE_ENTRY(ISupportErrorInfo)
//       END_COM_MAP()
//   };
//
// The first entry also answers for IUnknown. Every live object raises the lock count of the module
// (shared library or program) whose code created it; the count is hidden per module.
#pragma once

#include "Platform/Com/Activation.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#define FERRULE_MODULE_LOCAL __attribute__((visibility("hidden")))

// ---- Interface identifiers by type

template <class I>
struct InterfaceTraits; // specialised for every interface by DECLARE_INTERFACE_IID

template <class I>
constexpr const IID& IidOf()
{
    return InterfaceTraits<I>::Iid;
}

#define DECLARE_INTERFACE_IID(I, iidValue)                                                                   \
    template <>                                                                                            \
    struct InterfaceTraits<I>                                                                              \
    {                                                                                                      \
        static constexpr const IID& Iid = iidValue;                                                        \
    };

DECLARE_INTERFACE_IID(IUnknown, IID_IUnknown)
DECLARE_INTERFACE_IID(IDispatch, IID_IDispatch)
DECLARE_INTERFACE_IID(IClassFactory, IID_IClassFactory)
DECLARE_INTERFACE_IID(IErrorInfo, IID_IErrorInfo)
DECLARE_INTERFACE_IID(ICreateErrorInfo, IID_ICreateErrorInfo)
DECLARE_INTERFACE_IID(ISupportErrorInfo, IID_ISupportErrorInfo)

// ---- The module's lock count

FERRULE_MODULE_LOCAL inline std::atomic<LONG> gModuleLockCount{0};

FERRULE_MODULE_LOCAL inline void ModuleLock()
{
    ++gModuleLockCount;
}
FERRULE_MODULE_LOCAL inline void ModuleUnlock()
{
    --gModuleLockCount;
}
FERRULE_MODULE_LOCAL inline LONG ModuleLockCount()
{
    return gModuleLockCount.load();
}

// ---- Thread models

// A re-entrant critical section.
class ComCriticalSection
{
public:
    void Lock() { mMutex.lock(); }
    void Unlock() { mMutex.unlock(); }

private:
    std::recursive_mutex mMutex;
};

class ComFakeCriticalSection
{
public:
    void Lock() {}
    void Unlock() {}
};

// Plain count, no lock: objects that live in one apartment.
struct SingleThreadModel
{
    using Count = ULONG;
    using CriticalSection = ComFakeCriticalSection;
};

// Atomic count and a critical section owned by the object.
struct MultiThreadModel
{
    using Count = std::atomic<ULONG>;
    using CriticalSection = ComCriticalSection;
};

// ---- The COM map

struct ComMapEntry
{
    const IID* iid;
    void* (*cast)(void* object); // object → interface pointer
};

#define BEGIN_COM_MAP(Class)                                                                                 \
public:                                                                                                    \
    using ComMapClass = Class;                                                                             \
    static const ComMapEntry* GetComMap()                                                                  \
    {                                                                                                      \
        static const ComMapEntry entries[] = {
#define COM_INTERFACE_ENTRY(I)                                                                               \
    {&IidOf<I>(), [](void* p) -> void* { return static_cast<I*>(static_cast<ComMapClass*>(p)); }},
// An interface reached through one of its derived interfaces (IDispatch through IThing).
#define COM_INTERFACE_ENTRY2(I, Via)                                                                         \
    {&IidOf<I>(),                                                                                          \
     [](void* p) -> void* { return static_cast<I*>(static_cast<Via*>(static_cast<ComMapClass*>(p))); }},
#define COM_INTERFACE_ENTRY_IID(iid, I)                                                                      \
    {&(iid), [](void* p) -> void* { return static_cast<I*>(static_cast<ComMapClass*>(p)); }},
#define END_COM_MAP()                                                                                        \
    {nullptr, nullptr}                                                                                     \
    }                                                                                                      \
    ;                                                                                                      \
    return entries;                                                                                        \
    }

// Classes that may not be aggregated say so with this line in their body.
#define DECLARE_NOT_AGGREGATABLE()                                                                           \
public:                                                                                                    \
    static constexpr bool kAggregatable = false;

// ---- The object root

template <class ThreadModel>
class ComObjectRootEx
{
public:
    static constexpr bool kAggregatable = true;

    ULONG InternalAddRef() { return ++mRefCount; }
    ULONG InternalRelease() { return --mRefCount; }
    void Lock() { mSection.Lock(); }
    void Unlock() { mSection.Unlock(); }

    // Called once after construction with a reference held; a failure destroys the object.
    HRESULT FinalConstruct() { return S_OK; }
    // Called once before destruction.
    void FinalRelease() {}

    // The controlling unknown when aggregated, else null.
    IUnknown* GetOuterUnknown() const { return mOuterUnknown; }

    // Looks iid up in map; object points to the class that declared the map.
    static HRESULT InternalQueryInterface(void* object, const ComMapEntry* map, REFIID iid, void** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown)
        {
            *out = map[0].cast(object);
            return S_OK;
        }
        for (const ComMapEntry* e = map; e->iid != nullptr; ++e)
            if (*e->iid == iid)
            {
                *out = e->cast(object);
                return S_OK;
            }
        return E_NOINTERFACE;
    }

protected:
    ComObjectRootEx() = default;
    ~ComObjectRootEx() = default;

    typename ThreadModel::Count mRefCount{0};
    typename ThreadModel::CriticalSection mSection;
    IUnknown* mOuterUnknown = nullptr;
};

using ComObjectRoot = ComObjectRootEx<SingleThreadModel>;

// A scoped lock over an object root's critical section.
template <class Root>
class ComObjectLock
{
public:
    explicit ComObjectLock(Root* root) : mRoot(root) { mRoot->Lock(); }
    ~ComObjectLock() { mRoot->Unlock(); }
    ComObjectLock(const ComObjectLock&) = delete;
    ComObjectLock& operator=(const ComObjectLock&) = delete;

private:
    Root* mRoot;
};

// ---- Stand-alone objects

template <class T>
class ComObject final : public T
{
public:
    template <class... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...)
    {
        ModuleLock();
    }
    ~ComObject()
    {
        this->FinalRelease();
        ModuleUnlock();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        HRESULT hr = T::InternalQueryInterface(static_cast<T*>(this), T::GetComMap(), iid, out);
        if (SUCCEEDED(hr))
            AddRef();
        return hr;
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG n = this->InternalRelease();
        if (n == 0)
            delete this;
        return n;
    }

    // A new object with one reference held by *object, after FinalConstruct succeeded.
    static HRESULT CreateInstance(ComObject<T>** object)
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        auto* p = new (std::nothrow) ComObject<T>();
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->AddRef();
        HRESULT hr = p->FinalConstruct();
        if (FAILED(hr))
        {
            p->Release();
            return hr;
        }
        *object = p;
        return S_OK;
    }
};

// ---- Aggregated objects

// The inner object: its IUnknown is the outer object's.
template <class T>
class ComContainedObject final : public T
{
public:
    explicit ComContainedObject(IUnknown* outer) { this->mOuterUnknown = outer; }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        return this->mOuterUnknown->QueryInterface(iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->mOuterUnknown->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->mOuterUnknown->Release(); }
};

// The non-delegating unknown handed to the outer object.
template <class T>
class ComAggObject final : public IUnknown
{
public:
    explicit ComAggObject(IUnknown* outer) : mContained(outer) { ModuleLock(); }
    ~ComAggObject()
    {
        mContained.FinalRelease();
        ModuleUnlock();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown)
        {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        HRESULT hr = T::InternalQueryInterface(static_cast<T*>(&mContained), T::GetComMap(), iid, out);
        if (SUCCEEDED(hr))
            mContained.AddRef(); // counts on the outer object, as COM requires
        return hr;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++mRefCount; }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG n = --mRefCount;
        if (n == 0)
            delete this;
        return n;
    }

    static HRESULT CreateInstance(IUnknown* outer, ComAggObject<T>** object)
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer == nullptr)
            return E_INVALIDARG;
        auto* p = new (std::nothrow) ComAggObject<T>(outer);
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->AddRef();
        HRESULT hr = p->mContained.FinalConstruct();
        if (FAILED(hr))
        {
            p->Release();
            return hr;
        }
        *object = p;
        return S_OK;
    }

    T* Contained() { return &mContained; }

private:
    ComContainedObject<T> mContained;
    std::atomic<ULONG> mRefCount{0};
};

// ---- Creation and class factories

typedef HRESULT (*ComCreatorFunction)(IUnknown* outer, REFIID iid, void** object);

// Creates T stand-alone or, given an outer object, aggregated. With an outer object only IUnknown
// may be asked for (CLASS_E_NOAGGREGATION otherwise, and always for classes that are not
// aggregatable). A new object whose interface request fails is destroyed.
template <class T>
struct ComCreator
{
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object)
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        HRESULT hr;
        if (outer != nullptr)
        {
            if (!T::kAggregatable || iid != IID_IUnknown)
                return CLASS_E_NOAGGREGATION;
            ComAggObject<T>* p = nullptr;
            hr = ComAggObject<T>::CreateInstance(outer, &p);
            if (FAILED(hr))
                return hr;
            hr = p->QueryInterface(iid, object);
            p->Release();
            return hr;
        }
        ComObject<T>* p = nullptr;
        hr = ComObject<T>::CreateInstance(&p);
        if (FAILED(hr))
            return hr;
        hr = p->QueryInterface(iid, object);
        p->Release(); // destroys the object when the request failed
        return hr;
    }
};

// A class factory over a creator function. It does not hold the module lock itself; LockServer does.
class FERRULE_MODULE_LOCAL ComClassFactory final : public IClassFactory
{
public:
    explicit ComClassFactory(ComCreatorFunction creator) : mCreator(creator) {}

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory)
        {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++mRefCount; }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG n = --mRefCount;
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** object) override
    {
        return mCreator(outer, iid, object);
    }
    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

private:
    ComCreatorFunction mCreator;
    std::atomic<ULONG> mRefCount{1};
};

// ---- The module's class table

struct ComClassEntry
{
    const CLSID* clsid;
    ComCreatorFunction create;
    IClassFactory* factory; // created on first request, kept until ReleaseFactories
};

// DllGetClassObject over a class table: the class's factory, created once under mutex.
// A class that is not in the table gives CLASS_E_CLASSNOTAVAILABLE.
FERRULE_MODULE_LOCAL inline HRESULT ComGetClassObject(ComClassEntry* table, size_t count, std::mutex& mutex,
                                                      REFCLSID clsid, REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    for (size_t i = 0; i < count; ++i)
    {
        ComClassEntry& e = table[i];
        if (*e.clsid != clsid)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (e.factory == nullptr)
            {
                e.factory = new (std::nothrow) ComClassFactory(e.create);
                if (e.factory == nullptr)
                    return E_OUTOFMEMORY;
            }
        }
        return e.factory->QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

FERRULE_MODULE_LOCAL inline void ComReleaseFactories(ComClassEntry* table, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (table[i].factory)
        {
            table[i].factory->Release();
            table[i].factory = nullptr;
        }
}

// DllCanUnloadNow: S_OK when no object and no LockServer lock of this module is alive.
FERRULE_MODULE_LOCAL inline HRESULT ComCanUnloadNow()
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

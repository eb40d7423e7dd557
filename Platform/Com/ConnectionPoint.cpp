#include "Platform/Com/ConnectionPoint.h"

#include <atomic>
#include <new>

namespace
{
// A snapshot enumerator: items copied (with references) when it is made.
template <class Interface, class Item, const IID& Iid>
class Enumerator final : public Interface
{
public:
    using Copy = void (*)(Item&);
    using Drop = void (*)(Item&);
    Enumerator(std::vector<Item> items, Copy copy, Drop drop) : mItems(std::move(items)), mCopy(copy), mDrop(drop) {}

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == Iid)
        {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++mRefs; }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG n = --mRefs;
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHOD(Next)(ULONG count, Item* items, ULONG* fetched) override
    {
        if (items == nullptr || (count > 1 && fetched == nullptr))
            return E_POINTER;
        ULONG n = 0;
        for (; n < count && mPosition < mItems.size(); ++n, ++mPosition)
        {
            items[n] = mItems[mPosition];
            mCopy(items[n]);
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHOD(Skip)(ULONG count) override
    {
        const size_t left = mItems.size() - mPosition;
        mPosition += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHOD(Reset)() override
    {
        mPosition = 0;
        return S_OK;
    }
    STDMETHOD(Clone)(Interface** copy) override
    {
        if (copy == nullptr)
            return E_POINTER;
        std::vector<Item> items = mItems;
        for (Item& i : items)
            mCopy(i);
        auto* e = new (std::nothrow) Enumerator(std::move(items), mCopy, mDrop);
        if (e == nullptr)
            return E_OUTOFMEMORY;
        e->mPosition = mPosition;
        e->AddRef();
        *copy = e;
        return S_OK;
    }

private:
    ~Enumerator()
    {
        for (Item& i : mItems)
            mDrop(i);
    }
    std::vector<Item> mItems;
    Copy mCopy;
    Drop mDrop;
    size_t mPosition = 0;
    std::atomic<ULONG> mRefs{0};
};

void AddRefConnection(CONNECTDATA& c)
{
    c.pUnk->AddRef();
}
void ReleaseConnection(CONNECTDATA& c)
{
    c.pUnk->Release();
}
void AddRefPoint(IConnectionPoint*& p)
{
    p->AddRef();
}
void ReleasePoint(IConnectionPoint*& p)
{
    p->Release();
}
} // namespace

ConnectionPoint::~ConnectionPoint()
{
    for (IUnknown* sink : mSlots)
        if (sink)
            sink->Release();
}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint)
    {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (iid == nullptr)
        return E_POINTER;
    *iid = mIid;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container)
{
    if (container == nullptr)
        return E_POINTER;
    *container = mContainer;
    mContainer->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (cookie)
        *cookie = 0;
    if (sink == nullptr || cookie == nullptr)
        return E_POINTER;
    IUnknown* events = nullptr;
    HRESULT hr = sink->QueryInterface(mIid, reinterpret_cast<void**>(&events));
    if (hr == E_NOINTERFACE)
        return CONNECT_E_CANNOTCONNECT;
    if (FAILED(hr))
        return hr;
    try
    {
        if (mSlots.empty())
            mSlots.resize(4, nullptr);
        size_t slot = 0;
        while (slot < mSlots.size() && mSlots[slot] != nullptr)
            ++slot;
        if (slot == mSlots.size())
            mSlots.resize(mSlots.size() * 2, nullptr);
        mSlots[slot] = events;
        *cookie = static_cast<DWORD>(slot + 1);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        events->Release();
        return CONNECT_E_ADVISELIMIT;
    }
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie)
{
    if (cookie == 0 || cookie > mSlots.size() || mSlots[cookie - 1] == nullptr)
        return CONNECT_E_NOCONNECTION;
    IUnknown* sink = mSlots[cookie - 1];
    mSlots[cookie - 1] = nullptr;
    sink->Release();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections)
{
    if (connections == nullptr)
        return E_POINTER;
    *connections = nullptr;
    std::vector<CONNECTDATA> items;
    for (size_t i = 0; i < mSlots.size(); ++i)
        if (mSlots[i])
        {
            items.push_back(CONNECTDATA{mSlots[i], static_cast<DWORD>(i + 1)});
            mSlots[i]->AddRef();
        }
    using E = Enumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
    auto* e = new (std::nothrow) E(std::move(items), &AddRefConnection, &ReleaseConnection);
    if (e == nullptr)
        return E_OUTOFMEMORY;
    e->AddRef();
    *connections = e;
    return S_OK;
}

HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points, IEnumConnectionPoints** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    std::vector<IConnectionPoint*> items = points;
    for (IConnectionPoint* p : items)
        p->AddRef();
    using E = Enumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
    auto* e = new (std::nothrow) E(std::move(items), &AddRefPoint, &ReleasePoint);
    if (e == nullptr)
        return E_OUTOFMEMORY;
    e->AddRef();
    *out = e;
    return S_OK;
}

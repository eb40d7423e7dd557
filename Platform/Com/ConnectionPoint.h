// Connection points: an object offers outgoing interfaces (IConnectionPointContainer), each through a
// connection point (IConnectionPoint) to which clients connect their sinks (Advise / Unadvise).
// ConnectionPoint is the reusable part: a member of the container object that shares its lifetime
// (its AddRef and Release go to the container), keeps the sinks in slots and enumerates them.
#pragma once

#include "Platform/Com/ObjectTemplates.h"

#include <vector>

inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnectionPoints = {
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnections = {
    0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

struct IConnectionPoint;
struct IConnectionPointContainer;

typedef struct tagCONNECTDATA
{
    IUnknown* pUnk;
    DWORD dwCookie;
} CONNECTDATA;

struct IEnumConnections : public IUnknown
{
    STDMETHOD(Next)(ULONG count, CONNECTDATA* items, ULONG* fetched) = 0;
    STDMETHOD(Skip)(ULONG count) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumConnections** copy) = 0;
};

struct IEnumConnectionPoints : public IUnknown
{
    STDMETHOD(Next)(ULONG count, IConnectionPoint** items, ULONG* fetched) = 0;
    STDMETHOD(Skip)(ULONG count) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumConnectionPoints** copy) = 0;
};

struct IConnectionPoint : public IUnknown
{
    STDMETHOD(GetConnectionInterface)(IID* iid) = 0;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** container) = 0;
    STDMETHOD(Advise)(IUnknown* sink, DWORD* cookie) = 0;
    STDMETHOD(Unadvise)(DWORD cookie) = 0;
    STDMETHOD(EnumConnections)(IEnumConnections** connections) = 0;
};

struct IConnectionPointContainer : public IUnknown
{
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** points) = 0;
    STDMETHOD(FindConnectionPoint)(REFIID iid, IConnectionPoint** point) = 0;
};

DECLARE_INTERFACE_IID(IConnectionPointContainer, IID_IConnectionPointContainer)
DECLARE_INTERFACE_IID(IConnectionPoint, IID_IConnectionPoint)
DECLARE_INTERFACE_IID(IEnumConnections, IID_IEnumConnections)
DECLARE_INTERFACE_IID(IEnumConnectionPoints, IID_IEnumConnectionPoints)

// The connection point for one outgoing interface. Sinks live in slots: 4 at the first Advise, twice as
// many whenever all are taken; a new sink takes the first empty slot and its cookie is the slot's
// 1-based position, so cookies of disconnected sinks are used again.
class ConnectionPoint final : public IConnectionPoint
{
public:
    ConnectionPoint(IConnectionPointContainer* container, const IID& iid) : mContainer(container), mIid(iid) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override { return mContainer->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return mContainer->Release(); }

    STDMETHOD(GetConnectionInterface)(IID* iid) override;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** container) override;
    // The sink is asked for the outgoing interface: E_NOINTERFACE is CONNECT_E_CANNOTCONNECT; no room
    // for a slot is CONNECT_E_ADVISELIMIT (cookie 0).
    STDMETHOD(Advise)(IUnknown* sink, DWORD* cookie) override;
    // CONNECT_E_NOCONNECTION for 0 and for a cookie that names no connected sink.
    STDMETHOD(Unadvise)(DWORD cookie) override;
    STDMETHOD(EnumConnections)(IEnumConnections** connections) override;

    const IID& Iid() const { return mIid; }
    // The slots, for firing: the sink of slot i (its outgoing-interface reference) or null.
    size_t SlotCount() const { return mSlots.size(); }
    IUnknown* Slot(size_t i) const { return i < mSlots.size() ? mSlots[i] : nullptr; }

private:
    IConnectionPointContainer* mContainer;
    const IID& mIid;
    std::vector<IUnknown*> mSlots;
};

// An enumerator over the connection points of a container (each holds a reference to it).
HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points, IEnumConnectionPoints** out);

// A connection point embedded in its container (the interface manager or the
// device-services manager): it shares the container's reference count, so
// holding it keeps the container, and the container's end drops whatever is
// still advised on it. The sinks themselves are kept by CSimModem.
#pragma once

#include "Mbn.h"

#include <ocidl.h>
#include <olectl.h>
#include <cstdint>

class CSimConnectionPoint : public IConnectionPoint {
public:
    CSimConnectionPoint(IConnectionPointContainer* container, uint32_t sink, const IID& iid)
        : m_container(container), m_sink(sink), m_iid(iid) {}
    CSimConnectionPoint(const CSimConnectionPoint&) = delete;
    CSimConnectionPoint& operator=(const CSimConnectionPoint&) = delete;

    const IID& Iid() const { return m_iid; }
    uint32_t Sink() const { return m_sink; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return m_container->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_container->Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

private:
    IConnectionPointContainer* m_container;  // not counted: it owns this object
    uint32_t m_sink;
    IID m_iid;
};

// The container side: finds one of the given connection points by IID.
HRESULT SimFindConnectionPoint(CSimConnectionPoint* const* points, size_t count, REFIID iid,
                               IConnectionPoint** point);

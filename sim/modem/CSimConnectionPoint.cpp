#include "CSimConnectionPoint.h"

#include "CSimModem.h"

HRESULT CSimConnectionPoint::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT CSimConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = m_iid;
    return S_OK;
}

HRESULT CSimConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) return E_POINTER;
    *container = m_container;
    m_container->AddRef();
    return S_OK;
}

HRESULT CSimConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    return CSimModem::Instance().Advise(m_sink, this, sink, cookie);
}

HRESULT CSimConnectionPoint::Unadvise(DWORD cookie) { return CSimModem::Instance().Unadvise(m_sink, this, cookie); }

HRESULT CSimConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (connections) *connections = nullptr;
    return E_NOTIMPL;
}

HRESULT SimFindConnectionPoint(CSimConnectionPoint* const* points, size_t count, REFIID iid,
                               IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (points[i]->Iid() != iid) continue;
        HRESULT hr = S_OK;
        if (CSimModem::Instance().TakeMethodFault(SIMMODEM_METHOD_FIND_CONNECTION_POINT, SIMMODEM_ANY, L"",
                                                  SIMMODEM_ANY, points[i]->Sink(), hr))
            return hr;
        *point = points[i];
        points[i]->AddRef();
        return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
}

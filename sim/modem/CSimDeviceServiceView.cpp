#include "CSimDeviceServiceView.h"

#include "CSimDeviceService.h"

using Microsoft::WRL::ComPtr;

ComPtr<IMbnDeviceService> CSimDeviceServiceView::ForDelivery(CSimDeviceService* service) {
    ComPtr<IMbnDeviceService> face;
    const uint32_t mode = CSimModem::Instance().Delivery();
    if (mode == SIMMODEM_DELIVERY_SAME) face = service;
    else
        face = simcom::Adopt<IMbnDeviceService>(new CSimDeviceServiceView(service, mode == SIMMODEM_DELIVERY_TEAROFF));
    return face;
}

CSimDeviceServiceView::CSimDeviceServiceView(IMbnDeviceService* target, bool sharesIdentity)
    : m_target(target), m_sharesIdentity(sharesIdentity) {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_EVENT_OBJECT, 1);
}

CSimDeviceServiceView::~CSimDeviceServiceView() { CSimModem::Instance().CountObject(SIMMODEM_OBJECT_EVENT_OBJECT, -1); }

HRESULT CSimDeviceServiceView::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown && m_sharesIdentity) return m_target->QueryInterface(iid, object);
    if (iid != IID_IUnknown && iid != IID_IMbnDeviceService) return E_NOINTERFACE;
    *object = static_cast<IMbnDeviceService*>(this);
    AddRef();
    return S_OK;
}

HRESULT CSimDeviceServiceView::QuerySupportedCommands(ULONG* requestId) {
    return m_target->QuerySupportedCommands(requestId);
}

HRESULT CSimDeviceServiceView::OpenCommandSession(ULONG* requestId) { return m_target->OpenCommandSession(requestId); }

HRESULT CSimDeviceServiceView::CloseCommandSession(ULONG* requestId) {
    return m_target->CloseCommandSession(requestId);
}

HRESULT CSimDeviceServiceView::SetCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
    return m_target->SetCommand(commandId, data, requestId);
}

HRESULT CSimDeviceServiceView::QueryCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
    return m_target->QueryCommand(commandId, data, requestId);
}

HRESULT CSimDeviceServiceView::OpenDataSession(ULONG* requestId) { return m_target->OpenDataSession(requestId); }

HRESULT CSimDeviceServiceView::CloseDataSession(ULONG* requestId) { return m_target->CloseDataSession(requestId); }

HRESULT CSimDeviceServiceView::WriteData(SAFEARRAY* data, ULONG* requestId) {
    return m_target->WriteData(data, requestId);
}

HRESULT CSimDeviceServiceView::get_InterfaceID(BSTR* interfaceId) { return m_target->get_InterfaceID(interfaceId); }

HRESULT CSimDeviceServiceView::get_DeviceServiceID(BSTR* serviceId) {
    return m_target->get_DeviceServiceID(serviceId);
}

HRESULT CSimDeviceServiceView::get_IsCommandSessionOpen(BOOL* open) { return m_target->get_IsCommandSessionOpen(open); }

HRESULT CSimDeviceServiceView::get_IsDataSessionOpen(BOOL* open) { return m_target->get_IsDataSessionOpen(open); }

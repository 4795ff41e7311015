#include "CSimDeviceServicesManager.h"

#include "CSimDeviceServicesContext.h"

CSimDeviceServicesManager::CSimDeviceServicesManager()
    : m_deviceServicesEvents(this, SIMMODEM_SINK_DEVICE_SERVICES, IID_IMbnDeviceServicesEvents) {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_DEVICE_SERVICES_MANAGER, 1);
}

CSimDeviceServicesManager::~CSimDeviceServicesManager() {
    CSimModem& modem = CSimModem::Instance();
    modem.DropSinks(&m_deviceServicesEvents);
    modem.CountObject(SIMMODEM_OBJECT_DEVICE_SERVICES_MANAGER, -1);
}

HRESULT CSimDeviceServicesManager::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMbnDeviceServicesManager)
        *object = static_cast<IMbnDeviceServicesManager*>(this);
    else if (iid == IID_IConnectionPointContainer) *object = static_cast<IConnectionPointContainer*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CSimDeviceServicesManager::GetDeviceServicesContext(BSTR interfaceId, IMbnDeviceServicesContext** context) {
    if (!context) return E_POINTER;
    *context = nullptr;
    if (!interfaceId) return E_INVALIDARG;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT, SIMMODEM_ANY, L"", SIMMODEM_ANY,
                              SIMMODEM_ANY, hr))
        return hr;
    SimRecordPtr record = modem.FindPresentLocked(interfaceId);
    if (!record) return kSimNotFound;
    *context = new CSimDeviceServicesContext(record);
    return S_OK;
}

HRESULT CSimDeviceServicesManager::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points) *points = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimDeviceServicesManager::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    CSimConnectionPoint* points[] = {&m_deviceServicesEvents};
    return SimFindConnectionPoint(points, 1, iid, point);
}

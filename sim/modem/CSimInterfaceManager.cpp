#include "CSimInterfaceManager.h"

#include "CSimInterface.h"

CSimInterfaceManager::CSimInterfaceManager()
    : m_managerEvents(this, SIMMODEM_SINK_INTERFACE_MANAGER, IID_IMbnInterfaceManagerEvents),
      m_radioEvents(this, SIMMODEM_SINK_RADIO, IID_IMbnRadioEvents),
      m_registrationEvents(this, SIMMODEM_SINK_REGISTRATION, IID_IMbnRegistrationEvents) {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_INTERFACE_MANAGER, 1);
}

CSimInterfaceManager::~CSimInterfaceManager() {
    CSimModem& modem = CSimModem::Instance();
    modem.DropSinks(&m_managerEvents);
    modem.DropSinks(&m_radioEvents);
    modem.DropSinks(&m_registrationEvents);
    modem.CountObject(SIMMODEM_OBJECT_INTERFACE_MANAGER, -1);
}

HRESULT CSimInterfaceManager::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMbnInterfaceManager) *object = static_cast<IMbnInterfaceManager*>(this);
    else if (iid == IID_IConnectionPointContainer) *object = static_cast<IConnectionPointContainer*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CSimInterfaceManager::GetInterface(LPCWSTR interfaceId, IMbnInterface** mbnInterface) {
    if (!mbnInterface) return E_POINTER;
    *mbnInterface = nullptr;
    if (!interfaceId) return E_INVALIDARG;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_GET_INTERFACE, SIMMODEM_ANY, L"", SIMMODEM_ANY, SIMMODEM_ANY, hr))
        return hr;
    SimRecordPtr record = modem.FindPresentLocked(interfaceId);
    if (!record) return kSimNotFound;
    *mbnInterface = record->com.Get();
    (*mbnInterface)->AddRef();
    return S_OK;
}

HRESULT CSimInterfaceManager::GetInterfaces(SAFEARRAY** interfaces) {
    if (!interfaces) return E_POINTER;
    *interfaces = nullptr;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_GET_INTERFACES, SIMMODEM_ANY, L"", SIMMODEM_ANY, SIMMODEM_ANY, hr))
        return hr;
    std::vector<SimRecordPtr> present = modem.PresentRecordsLocked();
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UNKNOWN, 0, static_cast<ULONG>(present.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(present.size()); ++i) {
        IUnknown* item = static_cast<IMbnInterface*>(present[i]->com.Get());
        if (FAILED(::SafeArrayPutElement(array, &i, item))) {  // takes its own reference
            ::SafeArrayDestroy(array);
            return E_OUTOFMEMORY;
        }
    }
    *interfaces = array;
    return S_OK;
}

HRESULT CSimInterfaceManager::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points) *points = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimInterfaceManager::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    CSimConnectionPoint* points[] = {&m_managerEvents, &m_radioEvents, &m_registrationEvents};
    return SimFindConnectionPoint(points, 3, iid, point);
}

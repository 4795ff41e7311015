#include "CSimDeviceServicesContext.h"

#include "CSimDeviceService.h"
#include "SimText.h"

CSimDeviceServicesContext::CSimDeviceServicesContext(SimRecordPtr record) : m_record(std::move(record)) {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_DEVICE_SERVICES_CONTEXT, 1);
}

CSimDeviceServicesContext::~CSimDeviceServicesContext() {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_DEVICE_SERVICES_CONTEXT, -1);
}

HRESULT CSimDeviceServicesContext::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IMbnDeviceServicesContext) return E_NOINTERFACE;
    *object = static_cast<IMbnDeviceServicesContext*>(this);
    AddRef();
    return S_OK;
}

// An array of MBN_DEVICE_SERVICE records without a VARTYPE of its own, as the
// platform hands it out: the caller frees each BSTR, then destroys the array.
HRESULT CSimDeviceServicesContext::EnumerateDeviceServices(SAFEARRAY** deviceServices) {
    if (!deviceServices) return E_POINTER;
    *deviceServices = nullptr;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_ENUMERATE_DEVICE_SERVICES, m_record->index, L"", SIMMODEM_ANY,
                              SIMMODEM_ANY, hr))
        return hr;
    if (!m_record->present) return kSimNotConnected;
    const std::vector<std::wstring>& ids = m_record->services;
    SAFEARRAY* array = nullptr;
    if (FAILED(::SafeArrayAllocDescriptor(1, &array))) return E_OUTOFMEMORY;
    array->cbElements = sizeof(MBN_DEVICE_SERVICE);
    array->rgsabound[0].lLbound = 0;
    array->rgsabound[0].cElements = static_cast<ULONG>(ids.size());
    if (FAILED(::SafeArrayAllocData(array))) {
        ::SafeArrayDestroyDescriptor(array);
        return E_OUTOFMEMORY;
    }
    MBN_DEVICE_SERVICE* items = static_cast<MBN_DEVICE_SERVICE*>(array->pvData);
    for (size_t i = 0; i < ids.size(); ++i) {
        items[i] = MBN_DEVICE_SERVICE();
        items[i].dataWriteSupported = VARIANT_FALSE;
        items[i].dataReadSupported = VARIANT_FALSE;
        if (FAILED(simcom::CopyBstr(ids[i], &items[i].deviceServiceID))) {
            for (size_t j = 0; j < i; ++j) ::SysFreeString(items[j].deviceServiceID);
            ::SafeArrayDestroy(array);
            return E_OUTOFMEMORY;
        }
    }
    *deviceServices = array;
    return S_OK;
}

HRESULT CSimDeviceServicesContext::GetDeviceService(BSTR deviceServiceId, IMbnDeviceService** deviceService) {
    if (!deviceService) return E_POINTER;
    *deviceService = nullptr;
    if (!deviceServiceId) return E_INVALIDARG;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_GET_DEVICE_SERVICE, m_record->index, deviceServiceId, SIMMODEM_ANY,
                              SIMMODEM_ANY, hr))
        return hr;
    if (!m_record->present) return kSimNotConnected;
    for (const std::wstring& id : m_record->services) {
        if (!simtext::EqualsNoCase(id, deviceServiceId)) continue;
        *deviceService = new CSimDeviceService(m_record, id);
        return S_OK;
    }
    return kSimNotFound;
}

HRESULT CSimDeviceServicesContext::get_MaxCommandSize(ULONG* size) {
    if (!size) return E_POINTER;
    SimLock lock = CSimModem::Instance().Lock();
    *size = m_record->maxCommandSize;
    return S_OK;
}

HRESULT CSimDeviceServicesContext::get_MaxDataSize(ULONG* size) {
    if (!size) return E_POINTER;
    SimLock lock = CSimModem::Instance().Lock();
    *size = m_record->maxDataSize;
    return S_OK;
}

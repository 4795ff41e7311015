#include "CDeviceServicesSink.h"

#include "KessaTrace.h"
#include "MbnEvent.h"

#include <exception>
#include <string>

namespace {
// The interface id as narrow text in the ANSI code page.
std::string NarrowId(BSTR id) {
    if (id == nullptr) return std::string();
    int chars = static_cast<int>(::SysStringLen(id));
    int size = ::WideCharToMultiByte(CP_ACP, 0, id, chars, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, id, chars, &narrow[0], size, nullptr, nullptr);
    return narrow;
}
}  // namespace

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceServicesEvents)) {
        *ppv = static_cast<IMbnDeviceServicesEvents*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CDeviceServicesSink::AddRef() { return static_cast<ULONG>(++m_lRefCount); }

ULONG STDMETHODCALLTYPE CDeviceServicesSink::Release() {
    LONG count = --m_lRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CDeviceServicesSink::PostEvent(const MbnEvent& event) {
    // Nothing may escape into the API's callback thread.
    try {
        Notify(event);
    } catch (const std::exception& e) {
        KessaPrint("CDeviceServicesSink::PostEvent exception: %s\n", e.what());
    }
    return S_OK;
}

HRESULT CDeviceServicesSink::Post(uint32_t type, IMbnDeviceService* service, HRESULT status, ULONG requestID,
                                  SAFEARRAY* data, ULONG cid) {
    MbnEvent event;
    event.dwSource = MbnEvent::kDeviceServices;
    event.dwType = type;
    event.pObject = service;
    event.hrStatus = status;
    event.dwRequestId = requestID;
    event.pData = data;
    event.dwCid = cid;
    return PostEvent(event);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService,
                                                                               SAFEARRAY* commandIDList,
                                                                               HRESULT status, ULONG requestID) {
    return Post(MbnEvent::kQueryComplete, deviceService, status, requestID, commandIDList);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnOpenCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                           HRESULT status, ULONG requestID) {
    return Post(MbnEvent::kSessionOpened, deviceService, status, requestID);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnCloseCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                            HRESULT status, ULONG requestID) {
    return Post(MbnEvent::kSessionClosed, deviceService, status, requestID);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnSetCommandComplete(IMbnDeviceService* deviceService,
                                                                   ULONG responseID, SAFEARRAY* deviceServiceData,
                                                                   HRESULT status, ULONG requestID) {
    Post(MbnEvent::kSetComplete, deviceService, status, requestID, deviceServiceData, responseID);
    KessaPrint("OnSetCommandComplete cid = %d status = 0x%x\n", static_cast<int>(responseID),
               static_cast<unsigned>(status));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnQueryCommandComplete(IMbnDeviceService* deviceService,
                                                                     ULONG responseID, SAFEARRAY* deviceServiceData,
                                                                     HRESULT status, ULONG requestID) {
    Post(MbnEvent::kQueryComplete, deviceService, status, requestID, deviceServiceData, responseID);
    KessaPrint("OnQueryCommandComplete cid = %d status = 0x%x\n", static_cast<int>(responseID),
               static_cast<unsigned>(status));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID,
                                                                  SAFEARRAY* deviceServiceData) {
    MbnEvent event;
    event.dwSource = MbnEvent::kDeviceServices;
    event.dwType = MbnEvent::kNotification;
    event.pObject = deviceService;
    event.dwNotificationId = eventID;
    event.pData = deviceServiceData;
    return PostEvent(event);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnOpenDataSessionComplete(IMbnDeviceService* deviceService,
                                                                        HRESULT status, ULONG requestID) {
    return Post(MbnEvent::kDataSessionOpened, deviceService, status, requestID);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnCloseDataSessionComplete(IMbnDeviceService* deviceService,
                                                                         HRESULT status, ULONG requestID) {
    return Post(MbnEvent::kDataSessionClosed, deviceService, status, requestID);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                                  ULONG requestID) {
    return Post(MbnEvent::kWriteDataComplete, deviceService, status, requestID);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnReadData(IMbnDeviceService* deviceService,
                                                         SAFEARRAY* deviceServiceData) {
    return Post(MbnEvent::kReadData, deviceService, S_OK, 0, deviceServiceData);
}

HRESULT STDMETHODCALLTYPE CDeviceServicesSink::OnInterfaceStateChange(BSTR interfaceID,
                                                                     MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) {
    MbnEvent event;
    event.dwSource = MbnEvent::kDeviceServices;
    event.dwType = MbnEvent::kInterfaceStateChange;
    try {
        event.strInterfaceId = NarrowId(interfaceID);
    } catch (const std::exception&) {
    }
    event.dwInterfaceState = static_cast<uint32_t>(stateChange);
    PostEvent(event);

    KessaPrintW(L"OnInterfaceStateChange id = ");
    try {
        KessaPrint("%s", NarrowId(interfaceID).c_str());
    } catch (const std::exception&) {
    }
    KessaPrintW(L"\n");
    KessaPrintW(stateChange == MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL
                    ? L"MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL\n"
                    : L"MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_Remove\n");
    return S_OK;
}

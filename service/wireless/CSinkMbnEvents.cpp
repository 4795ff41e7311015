#include "CSinkMbnEvents.h"

#include "SinkCall.h"
#include "SinkQueryInterface.h"

CSinkMbnEvents::CSinkMbnEvents() : m_lRefCount(0) { SetRunning(false); }

CSinkMbnEvents::~CSinkMbnEvents() = default;

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::QueryInterface(REFIID riid, void** object) {
    return SinkQueryInterface<IMbnDeviceServicesEvents>(this, IID_IMbnDeviceServicesEvents, riid, object);
}

ULONG STDMETHODCALLTYPE CSinkMbnEvents::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_lRefCount)); }

ULONG STDMETHODCALLTYPE CSinkMbnEvents::Release() {
    LONG count = ::InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    CWatchService<IObsvrMbnSink>::Stop();
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY*, HRESULT,
                                                                           ULONG) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnOpenCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                       HRESULT status, ULONG requestID) {
    return SinkCall("CSinkMbnEvents::OnOpenCommandSessionComplete", [&] {
        ForEachObserver(
            [&](IObsvrMbnSink* observer) { observer->OnOpenCommandSessionComplete(deviceService, status, requestID); });
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnCloseCommandSessionComplete(IMbnDeviceService* deviceService,
                                                                        HRESULT status, ULONG requestID) {
    return SinkCall("CSinkMbnEvents::OnCloseCommandSessionComplete", [&] {
        ForEachObserver(
            [&](IObsvrMbnSink* observer) { observer->OnCloseCommandSessionComplete(deviceService, status, requestID); });
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnSetCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                               SAFEARRAY* deviceServiceData, HRESULT status,
                                                               ULONG requestID) {
    return SinkCall("CSinkMbnEvents::OnSetCommandComplete", [&] {
        ForEachObserver([&](IObsvrMbnSink* observer) {
            observer->OnSetCommandComplete(deviceService, responseID, deviceServiceData, status, requestID);
        });
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                                 SAFEARRAY* deviceServiceData, HRESULT status,
                                                                 ULONG requestID) {
    return SinkCall("CSinkMbnEvents::OnQueryCommandComplete", [&] {
        ForEachObserver([&](IObsvrMbnSink* observer) {
            observer->OnQueryCommandComplete(deviceService, responseID, deviceServiceData, status, requestID);
        });
        return status;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) {
    return S_OK;
}
HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) {
    return S_OK;
}
HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnReadData(IMbnDeviceService*, SAFEARRAY*) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnEvents::OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) {
    return S_OK;
}

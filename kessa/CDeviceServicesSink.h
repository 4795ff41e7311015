// Receives the device-services events of the Mobile Broadband API and hands
// each on to its observers as one MbnEvent of source 13.
#pragma once

#include "MbnSubject.h"
#include "Mbn.h"

#include <atomic>

class CDeviceServicesSink : public IMbnDeviceServicesEvents, public MbnSubject {
public:
    CDeviceServicesSink() = default;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMbnDeviceServicesEvents
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService,
                                                               SAFEARRAY* commandIDList, HRESULT status,
                                                               ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                           ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                            ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                   SAFEARRAY* deviceServiceData, HRESULT status,
                                                   ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                     SAFEARRAY* deviceServiceData, HRESULT status,
                                                     ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID,
                                                  SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                        ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                         ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                  ULONG requestID) override;
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* deviceService, SAFEARRAY* deviceServiceData) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID,
                                                     MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) override;

private:
    ~CDeviceServicesSink() override = default;
    // Builds the record of a completion-like call and notifies.
    HRESULT Post(uint32_t type, IMbnDeviceService* service, HRESULT status, ULONG requestID,
                 SAFEARRAY* data = nullptr, ULONG cid = 0);
    HRESULT PostEvent(const MbnEvent& event);

    std::atomic<LONG> m_lRefCount{0};
};

#pragma once

#include "CWatchService.h"
#include "IObsvrMbnSink.h"
#include "Mbn.h"

// Device-service events; complete, though nothing in the service makes one.
class CSinkMbnEvents : public IMbnDeviceServicesEvents, public CWatchService<IObsvrMbnSink> {
public:
    CSinkMbnEvents();
    virtual ~CSinkMbnEvents();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
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
    volatile LONG m_lRefCount;
};

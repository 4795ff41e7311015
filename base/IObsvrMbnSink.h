#pragma once

#include "Mbn.h"

// Device-service completions; no class of the service implements it.
class IObsvrMbnSink {
public:
    virtual void OnOpenCommandSessionComplete(IMbnDeviceService* service, HRESULT status, ULONG requestId) = 0;
    virtual void OnSetCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data, HRESULT status,
                                      ULONG requestId) = 0;
    virtual void OnQueryCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data, HRESULT status,
                                        ULONG requestId) = 0;
    virtual void OnCloseCommandSessionComplete(IMbnDeviceService* service, HRESULT status, ULONG requestId) = 0;

protected:
    ~IObsvrMbnSink() = default;
};

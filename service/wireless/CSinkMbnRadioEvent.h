#pragma once

#include "CWatchService.h"
#include "IObsvrMbnRadioEvents.h"
#include "Mbn.h"

class CSinkMbnRadioEvent : public IMbnRadioEvents, public CWatchService<IObsvrMbnRadioEvents> {
public:
    CSinkMbnRadioEvent();
    virtual ~CSinkMbnRadioEvent();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface, ULONG requestID,
                                                              HRESULT status) override;

private:
    volatile LONG m_lRefCount;
};

#pragma once

#include "Mbn.h"

// Registration events reach nobody; the sink is registered all the same.
class CSinkMbnRegistrationEvents : public IMbnRegistrationEvents {
public:
    CSinkMbnRegistrationEvents();
    virtual ~CSinkMbnRegistrationEvents();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnRegisterModeAvailable(IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnRegisterStateChange(IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnPacketServiceStateChange(IMbnRegistration* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnSetRegisterModeComplete(IMbnRegistration* newInterface, ULONG requestID,
                                                        HRESULT status) override;

private:
    volatile LONG m_lRefCount;
};

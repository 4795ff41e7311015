#include "CSinkMbnRegistrationEvents.h"

#include "SinkQueryInterface.h"

CSinkMbnRegistrationEvents::CSinkMbnRegistrationEvents() : m_lRefCount(0) {}

CSinkMbnRegistrationEvents::~CSinkMbnRegistrationEvents() = default;

HRESULT STDMETHODCALLTYPE CSinkMbnRegistrationEvents::QueryInterface(REFIID riid, void** object) {
    return SinkQueryInterface<IMbnRegistrationEvents>(this, IID_IMbnRegistrationEvents, riid, object);
}

ULONG STDMETHODCALLTYPE CSinkMbnRegistrationEvents::AddRef() {
    return static_cast<ULONG>(::InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE CSinkMbnRegistrationEvents::Release() {
    LONG count = ::InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CSinkMbnRegistrationEvents::OnRegisterModeAvailable(IMbnRegistration*) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnRegistrationEvents::OnRegisterStateChange(IMbnRegistration*) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnRegistrationEvents::OnPacketServiceStateChange(IMbnRegistration*) { return S_OK; }
HRESULT STDMETHODCALLTYPE CSinkMbnRegistrationEvents::OnSetRegisterModeComplete(IMbnRegistration*, ULONG, HRESULT) {
    return S_OK;
}

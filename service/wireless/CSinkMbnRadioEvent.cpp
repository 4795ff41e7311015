#include "CSinkMbnRadioEvent.h"

#include "SinkCall.h"
#include "SinkQueryInterface.h"

CSinkMbnRadioEvent::CSinkMbnRadioEvent() : m_lRefCount(0) {}

CSinkMbnRadioEvent::~CSinkMbnRadioEvent() = default;

HRESULT STDMETHODCALLTYPE CSinkMbnRadioEvent::QueryInterface(REFIID riid, void** object) {
    return SinkQueryInterface<IMbnRadioEvents>(this, IID_IMbnRadioEvents, riid, object);
}

ULONG STDMETHODCALLTYPE CSinkMbnRadioEvent::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_lRefCount)); }

ULONG STDMETHODCALLTYPE CSinkMbnRadioEvent::Release() {
    LONG count = ::InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    CWatchService<IObsvrMbnRadioEvents>::Stop();
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CSinkMbnRadioEvent::OnRadioStateChange(IMbnRadio* newInterface) {
    // The radio switched by its hardware switch or by another program's software request.
    return SinkCall("CSinkMbnRadioEvent::OnRadioStateChange", [&] {
        ForEachObserver([&](IObsvrMbnRadioEvents* observer) { observer->OnRadioStateChange(newInterface); });
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnRadioEvent::OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface,
                                                                               ULONG requestID, HRESULT status) {
    return SinkCall("CSinkMbnRadioEvent::OnSetSoftwareRadioStateComplete", [&] {
        ForEachObserver([&](IObsvrMbnRadioEvents* observer) {
            observer->OnSetSoftwareRadioStateComplete(newInterface, requestID, status);
        });
        return S_OK;
    });
}

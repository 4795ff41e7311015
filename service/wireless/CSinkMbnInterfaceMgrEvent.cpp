#include "CSinkMbnInterfaceMgrEvent.h"

#include "SinkCall.h"
#include "SinkQueryInterface.h"

CSinkMbnInterfaceMgrEvent::CSinkMbnInterfaceMgrEvent() : m_lRefCount(0) {}

CSinkMbnInterfaceMgrEvent::~CSinkMbnInterfaceMgrEvent() = default;

HRESULT STDMETHODCALLTYPE CSinkMbnInterfaceMgrEvent::QueryInterface(REFIID riid, void** object) {
    return SinkQueryInterface<IMbnInterfaceManagerEvents>(this, IID_IMbnInterfaceManagerEvents, riid, object);
}

ULONG STDMETHODCALLTYPE CSinkMbnInterfaceMgrEvent::AddRef() {
    return static_cast<ULONG>(::InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE CSinkMbnInterfaceMgrEvent::Release() {
    LONG count = ::InterlockedDecrement(&m_lRefCount);
    if (count != 0) return static_cast<ULONG>(count);
    CWatchService<IObsvrMbnInterfaceMgrEvents>::Stop();
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CSinkMbnInterfaceMgrEvent::OnInterfaceArrival(IMbnInterface* newInterface) {
    return SinkCall("CSinkMbnInterfaceMgrEvent::OnInterfaceArrival", [&] {
        ForEachObserver([&](IObsvrMbnInterfaceMgrEvents* observer) { observer->OnInterfaceArrival(newInterface); });
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSinkMbnInterfaceMgrEvent::OnInterfaceRemoval(IMbnInterface* oldInterface) {
    return SinkCall("CSinkMbnInterfaceMgrEvent::OnInterfaceRemoval", [&] {
        ForEachObserver([&](IObsvrMbnInterfaceMgrEvents* observer) { observer->OnInterfaceRemoval(oldInterface); });
        return S_OK;
    });
}

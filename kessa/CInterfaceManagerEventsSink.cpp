#include "CInterfaceManagerEventsSink.h"

#include "KessaTrace.h"
#include "MbnEvent.h"

#include <exception>

HRESULT STDMETHODCALLTYPE CInterfaceManagerEventsSink::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnInterfaceManagerEvents)) {
        *ppv = static_cast<IMbnInterfaceManagerEvents*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CInterfaceManagerEventsSink::AddRef() { return static_cast<ULONG>(++m_lRefCount); }

ULONG STDMETHODCALLTYPE CInterfaceManagerEventsSink::Release() {
    LONG count = --m_lRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CInterfaceManagerEventsSink::Post(IMbnInterface* mbnInterface, uint32_t removal) {
    MbnEvent event;
    event.dwSource = MbnEvent::kInterfaceManager;
    event.dwType = 0;
    event.pObject = mbnInterface;
    event.dwRemoval = removal;
    try {
        Notify(event);
    } catch (const std::exception& e) {
        KessaPrint("CInterfaceManagerEventsSink::Post exception: %s\n", e.what());
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CInterfaceManagerEventsSink::OnInterfaceArrival(IMbnInterface* newInterface) {
    return Post(newInterface, 0);
}

HRESULT STDMETHODCALLTYPE CInterfaceManagerEventsSink::OnInterfaceRemoval(IMbnInterface* oldInterface) {
    return Post(oldInterface, 1);
}

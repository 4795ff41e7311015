// Receives the arrival and removal of Mobile Broadband interfaces and hands
// each on to its observers as one MbnEvent of source 5.
#pragma once

#include "MbnSubject.h"
#include "Mbn.h"

#include <atomic>

class CInterfaceManagerEventsSink : public IMbnInterfaceManagerEvents, public MbnSubject {
public:
    CInterfaceManagerEventsSink() = default;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMbnInterfaceManagerEvents
    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) override;

private:
    ~CInterfaceManagerEventsSink() override = default;
    HRESULT Post(IMbnInterface* mbnInterface, uint32_t removal);

    std::atomic<LONG> m_lRefCount{0};
};

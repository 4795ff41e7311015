#pragma once

#include "CWatchService.h"
#include "IObsvrMbnInterfaceMgrEvents.h"
#include "Mbn.h"

class CSinkMbnInterfaceMgrEvent : public IMbnInterfaceManagerEvents,
                                  public CWatchService<IObsvrMbnInterfaceMgrEvents> {
public:
    CSinkMbnInterfaceMgrEvent();
    virtual ~CSinkMbnInterfaceMgrEvent();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) override;

private:
    volatile LONG m_lRefCount;
};

// The device services of one interface.
#pragma once

#include "CSimModem.h"
#include "SimCom.h"

class CSimDeviceServicesContext : public CSimComBase<IMbnDeviceServicesContext> {
public:
    explicit CSimDeviceServicesContext(SimRecordPtr record);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** deviceServices) override;
    HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR deviceServiceId, IMbnDeviceService** deviceService) override;
    HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* size) override;
    HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* size) override;

private:
    ~CSimDeviceServicesContext() override;

    SimRecordPtr m_record;
};

// CLSID_MbnDeviceServicesManager: device-services contexts per interface id
// and the connection point for device-services events.
#pragma once

#include "CSimConnectionPoint.h"
#include "SimCom.h"

class CSimDeviceServicesManager : public CSimComBase<IMbnDeviceServicesManager, IConnectionPointContainer> {
public:
    CSimDeviceServicesManager();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR interfaceId, IMbnDeviceServicesContext** context) override;

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

private:
    ~CSimDeviceServicesManager() override;

    CSimConnectionPoint m_deviceServicesEvents;
};

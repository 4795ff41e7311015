// CLSID_MbnInterfaceManager: the present interfaces, and connection points
// for interface-manager, radio and registration events.
#pragma once

#include "CSimConnectionPoint.h"
#include "SimCom.h"

class CSimInterfaceManager : public CSimComBase<IMbnInterfaceManager, IConnectionPointContainer> {
public:
    CSimInterfaceManager();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceId, IMbnInterface** mbnInterface) override;
    HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** interfaces) override;

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

private:
    ~CSimInterfaceManager() override;

    CSimConnectionPoint m_managerEvents;
    CSimConnectionPoint m_radioEvents;
    CSimConnectionPoint m_registrationEvents;
};

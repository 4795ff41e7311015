// The process-wide source of Mobile Broadband notifications for the policy
// engine: an interface arrival, a software radio switch that leaves the
// hardware radio on, or a radio change by any route that leaves both radios
// on, becomes NotifyChange on every observer.
#pragma once

#include "CWatchService.h"
#include "Handles.h"
#include "IObsvrMbnInterfaceMgrEvents.h"
#include "IObsvrMbnRadioEvents.h"
#include "IObsvrWlanAndMbnNotification.h"
#include "Mbn.h"

#include <wrl/client.h>
#include <functional>

class CSinkMbnRadioEvent;
class CSinkMbnInterfaceMgrEvent;
class CSinkMbnRegistrationEvents;

class CWirelessDeviceMgr : public CWatchService<IObsvrWlanAndMbnNotification>,
                           public IObsvrMbnRadioEvents,
                           public IObsvrMbnInterfaceMgrEvents {
public:
    static CWirelessDeviceMgr* GetInstance();
    ~CWirelessDeviceMgr() override;

    void Start() override;
    void Stop() override;

    HRESULT OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestId, HRESULT status) override;
    HRESULT OnRadioStateChange(IMbnRadio* radio) override;
    HRESULT OnInterfaceArrival(IMbnInterface* newInterface) override;
    HRESULT OnInterfaceRemoval(IMbnInterface* oldInterface) override;

    bool IsComInitialized() const { return m_bComInitialized; }
    // The sinks of the last registration (null before the first); not owned.
    CSinkMbnRadioEvent* RadioSink() const { return m_pRadioSink; }
    CSinkMbnInterfaceMgrEvent* InterfaceMgrSink() const { return m_pInterfaceMgrSink; }
    CSinkMbnRegistrationEvents* RegistrationSink() const { return m_pRegistrationSink; }

private:
    CWirelessDeviceMgr();

    int AdviseRadioEvents();
    int AdviseInterfaceManagerEvents();
    int AdviseRegistrationEvents();
    void UnadviseRadioEvents();
    void UnadviseInterfaceManagerEvents();
    void UnadviseRegistrationEvents();
    // Every kind off its sink's list and unadvised, whatever was registered.
    void UnregisterSinks();
    void NotifyObservers();

    // The steps every kind shares; makeSink creates the kind's sink and returns its IUnknown holder.
    int AdviseKind(const IID& eventInterface, Microsoft::WRL::ComPtr<IConnectionPoint>& connectionPoint,
                   Microsoft::WRL::ComPtr<IUnknown>& sink, DWORD& cookie,
                   const std::function<IUnknown*()>& makeSink);
    void UnadviseKind(Microsoft::WRL::ComPtr<IConnectionPoint>& connectionPoint,
                      Microsoft::WRL::ComPtr<IUnknown>& sink, DWORD cookie);

    CSinkMbnRadioEvent* m_pRadioSink;
    Microsoft::WRL::ComPtr<IUnknown> m_spRadioSink;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_spRadioCP;
    DWORD m_dwRadioCookie;
    CSinkMbnInterfaceMgrEvent* m_pInterfaceMgrSink;
    Microsoft::WRL::ComPtr<IUnknown> m_spInterfaceMgrSink;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_spInterfaceMgrCP;
    DWORD m_dwInterfaceMgrCookie;
    CSinkMbnRegistrationEvents* m_pRegistrationSink;
    Microsoft::WRL::ComPtr<IUnknown> m_spRegistrationSink;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_spRegistrationCP;
    DWORD m_dwRegistrationCookie;
    // COM was usable for a registration; cleared once the sinks are unregistered.
    bool m_bComInitialized;
    // Each registration step and each unregistration pairs its own COM
    // initialisation on its own thread; the sinks and connection points kept
    // in between belong to the process's multithreaded apartment, held here
    // from the first registration until the sinks are unregistered.
    CMtaUsage m_mtaUsage;

    static bool s_bInstanceCreated;
    static CWirelessDeviceMgr* s_pInstance;
};

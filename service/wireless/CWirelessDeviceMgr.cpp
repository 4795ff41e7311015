#include "CWirelessDeviceMgr.h"

#include "CSinkMbnInterfaceMgrEvent.h"
#include "CSinkMbnRadioEvent.h"
#include "CSinkMbnRegistrationEvents.h"

using Microsoft::WRL::ComPtr;

bool CWirelessDeviceMgr::s_bInstanceCreated = false;
CWirelessDeviceMgr* CWirelessDeviceMgr::s_pInstance = nullptr;

CWirelessDeviceMgr* CWirelessDeviceMgr::GetInstance() {
    if (!s_bInstanceCreated) {
        s_pInstance = new CWirelessDeviceMgr();
        s_bInstanceCreated = true;
    }
    return s_pInstance;
}

CWirelessDeviceMgr::CWirelessDeviceMgr()
    : m_pRadioSink(nullptr),
      m_dwRadioCookie(0),
      m_pInterfaceMgrSink(nullptr),
      m_dwInterfaceMgrCookie(0),
      m_pRegistrationSink(nullptr),
      m_dwRegistrationCookie(0),
      m_bComInitialized(false) {
    SetRunning(false);
}

CWirelessDeviceMgr::~CWirelessDeviceMgr() {
    s_bInstanceCreated = false;
    m_spRegistrationCP.Reset();
    m_spRegistrationSink.Reset();
    m_spInterfaceMgrCP.Reset();
    m_spInterfaceMgrSink.Reset();
    m_spRadioCP.Reset();
    m_spRadioSink.Reset();
    m_mtaUsage.Reset();
}

void CWirelessDeviceMgr::Start() {
    if (IsRunning()) return;
    try {
        AdviseRadioEvents();
        AdviseInterfaceManagerEvents();
        AdviseRegistrationEvents();
    } catch (...) {
        // A start that did not finish (an allocation failure while advising)
        // leaves nothing registered: its owner may delete this object next.
        UnregisterSinks();
        throw;
    }
    SetRunning(true);
}

void CWirelessDeviceMgr::Stop() {
    if (!IsRunning()) return;
    UnregisterSinks();
    ClearObservers();
    SetRunning(false);
}

void CWirelessDeviceMgr::UnregisterSinks() {
    // Off the sinks' lists first: a notification already under way finishes
    // before the sinks go, and none starts afterwards.
    if (m_spRadioSink && m_pRadioSink) m_pRadioSink->Detach(this);
    if (m_spInterfaceMgrSink && m_pInterfaceMgrSink) m_pInterfaceMgrSink->Detach(this);
    UnadviseRadioEvents();
    UnadviseInterfaceManagerEvents();
    UnadviseRegistrationEvents();
    m_bComInitialized = false;
    m_mtaUsage.Reset();
}

int CWirelessDeviceMgr::AdviseKind(const IID& eventInterface, ComPtr<IConnectionPoint>& connectionPoint,
                                   ComPtr<IUnknown>& sink, DWORD& cookie,
                                   const std::function<IUnknown*()>& makeSink) {
    // Ends after the step's own COM objects (declared after it) are released.
    CComScope com;
    if (!com.Usable()) return 0;
    m_bComInitialized = true;
    m_mtaUsage.Hold();

    ComPtr<IMbnInterfaceManager> manager;
    if (FAILED(::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(manager.GetAddressOf()))))
        return 0;
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(manager->QueryInterface(IID_IConnectionPointContainer,
                                       reinterpret_cast<void**>(container.GetAddressOf()))))
        return 0;
    if (FAILED(container->FindConnectionPoint(eventInterface, connectionPoint.ReleaseAndGetAddressOf()))) return 0;
    container.Reset();

    IUnknown* created = makeSink();
    if (FAILED(created->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sink.ReleaseAndGetAddressOf()))))
        return 0;
    if (FAILED(connectionPoint->Advise(sink.Get(), &cookie))) return 0;
    return 1;
}

int CWirelessDeviceMgr::AdviseRadioEvents() {
    int result = AdviseKind(IID_IMbnRadioEvents, m_spRadioCP, m_spRadioSink, m_dwRadioCookie, [this] {
        m_pRadioSink = new CSinkMbnRadioEvent();
        return static_cast<IUnknown*>(static_cast<IMbnRadioEvents*>(m_pRadioSink));
    });
    if (result) m_pRadioSink->Attach(this);
    return result;
}

int CWirelessDeviceMgr::AdviseInterfaceManagerEvents() {
    int result =
        AdviseKind(IID_IMbnInterfaceManagerEvents, m_spInterfaceMgrCP, m_spInterfaceMgrSink, m_dwInterfaceMgrCookie,
                   [this] {
                       m_pInterfaceMgrSink = new CSinkMbnInterfaceMgrEvent();
                       return static_cast<IUnknown*>(static_cast<IMbnInterfaceManagerEvents*>(m_pInterfaceMgrSink));
                   });
    if (result) m_pInterfaceMgrSink->Attach(this);
    return result;
}

int CWirelessDeviceMgr::AdviseRegistrationEvents() {
    return AdviseKind(IID_IMbnRegistrationEvents, m_spRegistrationCP, m_spRegistrationSink, m_dwRegistrationCookie,
                      [this] {
                          m_pRegistrationSink = new CSinkMbnRegistrationEvents();
                          return static_cast<IUnknown*>(m_pRegistrationSink);
                      });
}

void CWirelessDeviceMgr::UnadviseKind(ComPtr<IConnectionPoint>& connectionPoint, ComPtr<IUnknown>& sink,
                                      DWORD cookie) {
    // On the stopping thread, for these calls alone.
    CComScope com;
    if (connectionPoint) connectionPoint->Unadvise(cookie);
    sink.Reset();
    connectionPoint.Reset();
}

void CWirelessDeviceMgr::UnadviseRadioEvents() { UnadviseKind(m_spRadioCP, m_spRadioSink, m_dwRadioCookie); }

void CWirelessDeviceMgr::UnadviseInterfaceManagerEvents() {
    UnadviseKind(m_spInterfaceMgrCP, m_spInterfaceMgrSink, m_dwInterfaceMgrCookie);
}

void CWirelessDeviceMgr::UnadviseRegistrationEvents() {
    UnadviseKind(m_spRegistrationCP, m_spRegistrationSink, m_dwRegistrationCookie);
}

void CWirelessDeviceMgr::NotifyObservers() {
    ForEachObserver([](IObsvrWlanAndMbnNotification* observer) { observer->NotifyChange(); });
}

HRESULT CWirelessDeviceMgr::OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestId, HRESULT status) {
    if (!radio) return E_POINTER;
    MBN_RADIO state = MBN_RADIO_OFF;
    HRESULT hr = radio->get_HardwareRadioState(&state);
    if (SUCCEEDED(hr) && state == MBN_RADIO_ON) NotifyObservers();
    return hr;
}

HRESULT CWirelessDeviceMgr::OnRadioStateChange(IMbnRadio* radio) {
    // The radio came on again by its switch or by another program (airplane
    // mode off): what changed while it was off was not sent, so the state is
    // decided again as at an arrival.
    if (!radio) return E_POINTER;
    MBN_RADIO hardware = MBN_RADIO_OFF;
    MBN_RADIO software = MBN_RADIO_OFF;
    HRESULT hr = radio->get_HardwareRadioState(&hardware);
    if (SUCCEEDED(hr)) hr = radio->get_SoftwareRadioState(&software);
    if (SUCCEEDED(hr) && hardware == MBN_RADIO_ON && software == MBN_RADIO_ON) NotifyObservers();
    return hr;
}

HRESULT CWirelessDeviceMgr::OnInterfaceArrival(IMbnInterface* newInterface) {
    NotifyObservers();
    return S_OK;
}

HRESULT CWirelessDeviceMgr::OnInterfaceRemoval(IMbnInterface* oldInterface) { return S_OK; }

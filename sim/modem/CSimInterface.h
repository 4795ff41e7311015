// One modem interface: IMbnInterface with its radio and registration faces
// (QueryInterface moves between the three). There is one object per
// interface for the life of the interface, so GetInterfaces and GetInterface
// hand out the same pointer every time, and so do events in the "same"
// delivery mode. In the tearoff and other modes an event passes a second
// object of this class made for it, which reads the same record: as a
// tear-off it answers IID_IUnknown with the interface object's IUnknown, as
// another object with its own.
#pragma once

#include "CSimModem.h"
#include "SimCom.h"

class CSimInterface : public CSimComBase<IMbnInterface, IMbnRadio, IMbnRegistration> {
public:
    explicit CSimInterface(SimRecordPtr record) : m_record(std::move(record)) {}
    const SimRecordPtr& Record() const { return m_record; }
    // What an event about itf passes under the current delivery mode: itf itself in "same".
    static Microsoft::WRL::ComPtr<CSimInterface> ForDelivery(const Microsoft::WRL::ComPtr<CSimInterface>& itf);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    // IMbnInterface
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* interfaceId) override;
    HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* caps) override;
    HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation** info) override;
    HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* state) override;
    HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL* emergency) override;
    HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER* provider) override;
    HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY** providers) override;
    HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY* providers, ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG* age, SAFEARRAY** providers) override;
    HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** connection) override;

    // IMbnRadio
    HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* state) override;
    HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* state) override;
    HRESULT STDMETHODCALLTYPE SetSoftwareRadioState(MBN_RADIO state, ULONG* requestId) override;

    // IMbnRegistration
    HRESULT STDMETHODCALLTYPE GetRegisterState(MBN_REGISTER_STATE* state) override;
    HRESULT STDMETHODCALLTYPE GetRegisterMode(MBN_REGISTER_MODE* mode) override;
    HRESULT STDMETHODCALLTYPE GetProviderID(BSTR* providerId) override;
    HRESULT STDMETHODCALLTYPE GetProviderName(BSTR* providerName) override;
    HRESULT STDMETHODCALLTYPE GetRoamingText(BSTR* roamingText) override;
    HRESULT STDMETHODCALLTYPE GetAvailableDataClasses(ULONG* dataClasses) override;
    HRESULT STDMETHODCALLTYPE GetCurrentDataClass(ULONG* dataClass) override;
    HRESULT STDMETHODCALLTYPE GetRegistrationNetworkError(ULONG* error) override;
    HRESULT STDMETHODCALLTYPE GetPacketAttachNetworkError(ULONG* error) override;
    HRESULT STDMETHODCALLTYPE SetRegisterMode(MBN_REGISTER_MODE mode, LPCWSTR providerId, ULONG dataClass,
                                              ULONG* requestId) override;

private:
    // An event's own object; identity null: one of its own.
    CSimInterface(SimRecordPtr record, Microsoft::WRL::ComPtr<CSimInterface> identity);
    ~CSimInterface() override;

    // The fault for this method, else the interface's absence, else S_OK (lock held).
    HRESULT Check(uint32_t method, bool needPresent);
    HRESULT GetText(uint32_t method, BSTR* out, const std::wstring& text);

    SimRecordPtr m_record;
    bool m_eventObject = false;
    Microsoft::WRL::ComPtr<CSimInterface> m_identity;  // a tear-off's interface object
};

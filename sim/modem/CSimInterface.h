// One modem interface: IMbnInterface with its radio and registration faces
// (QueryInterface moves between the three). There is one object per
// interface for the life of the interface, so events and GetInterfaces hand
// out the same pointer every time.
#pragma once

#include "CSimModem.h"
#include "SimCom.h"

class CSimInterface : public CSimComBase<IMbnInterface, IMbnRadio, IMbnRegistration> {
public:
    explicit CSimInterface(SimRecordPtr record) : m_record(std::move(record)) {}
    const SimRecordPtr& Record() const { return m_record; }

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
    // The fault for this method, else the interface's absence, else S_OK (lock held).
    HRESULT Check(uint32_t method, bool needPresent);
    HRESULT GetText(uint32_t method, BSTR* out, const std::wstring& text);

    SimRecordPtr m_record;
};

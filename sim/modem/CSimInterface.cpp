#include "CSimInterface.h"

namespace {
constexpr ULONG kDataClassLte = 0x20;
constexpr ULONG kDataClass5g = 0x40;  // MBN_DATA_CLASS_5G_NSA as the modems here report it
}  // namespace

Microsoft::WRL::ComPtr<CSimInterface> CSimInterface::ForDelivery(const Microsoft::WRL::ComPtr<CSimInterface>& itf) {
    Microsoft::WRL::ComPtr<CSimInterface> face;
    const uint32_t mode = CSimModem::Instance().Delivery();
    if (mode == SIMMODEM_DELIVERY_SAME) face = itf;
    else
        face = simcom::Adopt<CSimInterface>(
            new CSimInterface(itf->m_record, mode == SIMMODEM_DELIVERY_TEAROFF ? itf : nullptr));
    return face;
}

CSimInterface::CSimInterface(SimRecordPtr record, Microsoft::WRL::ComPtr<CSimInterface> identity)
    : m_record(std::move(record)), m_eventObject(true), m_identity(std::move(identity)) {
    CSimModem::Instance().CountObject(SIMMODEM_OBJECT_EVENT_OBJECT, 1);
}

CSimInterface::~CSimInterface() {
    if (m_eventObject) CSimModem::Instance().CountObject(SIMMODEM_OBJECT_EVENT_OBJECT, -1);
}

HRESULT CSimInterface::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown && m_identity) return m_identity->QueryInterface(iid, object);
    if (iid == IID_IUnknown || iid == IID_IMbnInterface) *object = static_cast<IMbnInterface*>(this);
    else if (iid == IID_IMbnRadio) *object = static_cast<IMbnRadio*>(this);
    else if (iid == IID_IMbnRegistration) *object = static_cast<IMbnRegistration*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CSimInterface::Check(uint32_t method, bool needPresent) {
    HRESULT hr = S_OK;
    if (method && CSimModem::Instance().TakeMethodFault(method, m_record->index, L"", SIMMODEM_ANY, SIMMODEM_ANY, hr))
        return hr == S_OK ? S_FALSE : hr;  // S_FALSE: succeed with an empty answer
    if (needPresent && !m_record->present) return kSimNotConnected;
    return S_OK;
}

HRESULT CSimInterface::GetText(uint32_t method, BSTR* out, const std::wstring& text) {
    HRESULT hr = Check(method, false);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    return simcom::CopyBstr(text, out);
}

HRESULT CSimInterface::get_InterfaceID(BSTR* interfaceId) {
    if (!interfaceId) return E_POINTER;
    *interfaceId = nullptr;
    SimLock lock = CSimModem::Instance().Lock();
    return GetText(SIMMODEM_METHOD_GET_INTERFACE_ID, interfaceId, m_record->id);
}

HRESULT CSimInterface::GetInterfaceCapability(MBN_INTERFACE_CAPS* caps) {
    if (!caps) return E_POINTER;
    *caps = MBN_INTERFACE_CAPS();
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_INTERFACE_CAPABILITY, false);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    caps->cellularClass = MBN_CELLULAR_CLASS_GSM;
    caps->voiceClass = MBN_VOICE_CLASS_NO_VOICE;
    caps->dataClass = kDataClassLte | kDataClass5g;
    caps->gsmBandClass = 0;
    caps->cdmaBandClass = 0;
    caps->smsCaps = 0;
    caps->controlCaps = 0;
    const SimInterfaceRecord& r = *m_record;
    const std::wstring* texts[] = {&r.deviceId, &r.manufacturer, &r.model, &r.firmware};
    BSTR* targets[] = {&caps->deviceID, &caps->manufacturer, &caps->model, &caps->firmwareInfo};
    for (int i = 0; i < 4; ++i) {
        if (FAILED(simcom::CopyBstr(*texts[i], targets[i]))) {
            for (BSTR* t : targets) {
                ::SysFreeString(*t);
                *t = nullptr;
            }
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

HRESULT CSimInterface::GetSubscriberInformation(IMbnSubscriberInformation** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimInterface::GetReadyState(MBN_READY_STATE* state) {
    if (!state) return E_POINTER;
    *state = MBN_READY_STATE_OFF;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_READY_STATE, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    bool on = m_record->hardwareRadio == MBN_RADIO_ON && m_record->softwareRadio == MBN_RADIO_ON;
    *state = on ? MBN_READY_STATE_INITIALIZED : MBN_READY_STATE_OFF;
    return S_OK;
}

HRESULT CSimInterface::InEmergencyMode(VARIANT_BOOL* emergency) {
    if (!emergency) return E_POINTER;
    *emergency = VARIANT_FALSE;
    return S_OK;
}

HRESULT CSimInterface::GetHomeProvider(MBN_PROVIDER* provider) {
    if (!provider) return E_POINTER;
    *provider = MBN_PROVIDER();
    SimLock lock = CSimModem::Instance().Lock();
    if (!m_record->present) return kSimNotConnected;
    provider->providerState = MBN_PROVIDER_STATE_HOME;
    provider->dataClass = kDataClassLte | kDataClass5g;
    if (FAILED(simcom::CopyBstr(m_record->providerId, &provider->providerID)) ||
        FAILED(simcom::CopyBstr(m_record->providerName, &provider->providerName))) {
        ::SysFreeString(provider->providerID);
        ::SysFreeString(provider->providerName);
        *provider = MBN_PROVIDER();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSimInterface::GetPreferredProviders(SAFEARRAY** providers) {
    if (!providers) return E_POINTER;
    *providers = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimInterface::SetPreferredProviders(SAFEARRAY*, ULONG* requestId) {
    if (requestId) *requestId = 0;
    return E_NOTIMPL;
}

HRESULT CSimInterface::GetVisibleProviders(ULONG* age, SAFEARRAY** providers) {
    if (age) *age = 0;
    if (providers) *providers = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimInterface::ScanNetwork(ULONG* requestId) {
    if (requestId) *requestId = 0;
    return E_NOTIMPL;
}

HRESULT CSimInterface::GetConnection(IMbnConnection** connection) {
    if (connection) *connection = nullptr;
    return E_NOTIMPL;
}

HRESULT CSimInterface::get_SoftwareRadioState(MBN_RADIO* state) {
    if (!state) return E_POINTER;
    *state = MBN_RADIO_OFF;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_SOFTWARE_RADIO, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    *state = m_record->softwareRadio;
    return S_OK;
}

HRESULT CSimInterface::get_HardwareRadioState(MBN_RADIO* state) {
    if (!state) return E_POINTER;
    *state = MBN_RADIO_OFF;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_HARDWARE_RADIO, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    *state = m_record->hardwareRadio;
    return S_OK;
}

HRESULT CSimInterface::SetSoftwareRadioState(MBN_RADIO state, ULONG* requestId) {
    if (!requestId) return E_POINTER;
    *requestId = 0;
    if (state != MBN_RADIO_OFF && state != MBN_RADIO_ON) return E_INVALIDARG;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_SET_SOFTWARE_RADIO, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    ULONG id = modem.NextRequestId();
    *requestId = id;
    modem.AppendLogLocked(*m_record, SIMMODEM_OP_RADIO, L"", 0, id, {static_cast<uint8_t>(state)});
    HRESULT status = S_OK;
    if (auto fault = modem.TakeCompletionFault(m_record->index, L"", SIMMODEM_OP_RADIO, 0)) {
        if (fault->kind == SIMMODEM_FAULT_NO_COMPLETION) return S_OK;
        status = fault->hr;
    }
    Microsoft::WRL::ComPtr<CSimInterface> self(this);
    uint32_t epoch = m_record->epoch;
    // The switch takes effect with its completion, also a delayed or held one.
    SimResponse response(1);
    response[0].task = [self, state, status, id, epoch] {
        CSimModem& m = CSimModem::Instance();
        bool changed = false;
        {
            SimLock l = m.Lock();
            SimInterfaceRecord& r = *self->m_record;
            if (r.epoch != epoch) return;  // the interface went away meanwhile
            if (status == S_OK) {
                changed = r.softwareRadio != state;
                r.softwareRadio = state;
            }
            m.Changed();
        }
        Microsoft::WRL::ComPtr<CSimInterface> face = ForDelivery(self);
        IMbnRadio* radio = face.Get();
        if (changed)
            m.Deliver<IMbnRadioEvents>(SIMMODEM_SINK_RADIO, [&](IMbnRadioEvents* s) { s->OnRadioStateChange(radio); });
        m.Deliver<IMbnRadioEvents>(SIMMODEM_SINK_RADIO, [&](IMbnRadioEvents* s) {
            s->OnSetSoftwareRadioStateComplete(radio, id, status);
        });
    };
    modem.RespondLocked(m_record, L"", SIMMODEM_OP_RADIO, 0, std::move(response));
    return S_OK;
}

HRESULT CSimInterface::GetRegisterState(MBN_REGISTER_STATE* state) {
    if (!state) return E_POINTER;
    *state = MBN_REGISTER_STATE_NONE;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_REGISTER_STATE, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    *state = m_record->registerState;
    return S_OK;
}

HRESULT CSimInterface::GetRegisterMode(MBN_REGISTER_MODE* mode) {
    if (!mode) return E_POINTER;
    *mode = MBN_REGISTER_MODE_AUTOMATIC;
    return S_OK;
}

HRESULT CSimInterface::GetProviderID(BSTR* providerId) {
    if (!providerId) return E_POINTER;
    *providerId = nullptr;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(SIMMODEM_METHOD_GET_PROVIDER_ID, true);
    if (hr != S_OK) return hr == S_FALSE ? S_OK : hr;
    return simcom::CopyBstr(m_record->providerId, providerId);
}

HRESULT CSimInterface::GetProviderName(BSTR* providerName) {
    if (!providerName) return E_POINTER;
    *providerName = nullptr;
    SimLock lock = CSimModem::Instance().Lock();
    HRESULT hr = Check(0, true);
    if (hr != S_OK) return hr;
    return simcom::CopyBstr(m_record->providerName, providerName);
}

HRESULT CSimInterface::GetRoamingText(BSTR* roamingText) {
    if (!roamingText) return E_POINTER;
    return simcom::CopyBstr(L"", roamingText);
}

HRESULT CSimInterface::GetAvailableDataClasses(ULONG* dataClasses) {
    if (!dataClasses) return E_POINTER;
    *dataClasses = kDataClassLte | kDataClass5g;
    return S_OK;
}

HRESULT CSimInterface::GetCurrentDataClass(ULONG* dataClass) {
    if (!dataClass) return E_POINTER;
    *dataClass = kDataClass5g;
    return S_OK;
}

HRESULT CSimInterface::GetRegistrationNetworkError(ULONG* error) {
    if (!error) return E_POINTER;
    *error = 0;
    return S_OK;
}

HRESULT CSimInterface::GetPacketAttachNetworkError(ULONG* error) {
    if (!error) return E_POINTER;
    *error = 0;
    return S_OK;
}

HRESULT CSimInterface::SetRegisterMode(MBN_REGISTER_MODE mode, LPCWSTR, ULONG, ULONG* requestId) {
    if (!requestId) return E_POINTER;
    *requestId = 0;
    if (mode != MBN_REGISTER_MODE_AUTOMATIC && mode != MBN_REGISTER_MODE_MANUAL) return E_INVALIDARG;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    if (!m_record->present) return kSimNotConnected;
    ULONG id = modem.NextRequestId();
    *requestId = id;
    Microsoft::WRL::ComPtr<CSimInterface> self(this);
    modem.PostForEpoch(m_record, 0, [self, id] {
        Microsoft::WRL::ComPtr<CSimInterface> face = ForDelivery(self);
        IMbnRegistration* registration = face.Get();
        CSimModem::Instance().Deliver<IMbnRegistrationEvents>(
            SIMMODEM_SINK_REGISTRATION,
            [&](IMbnRegistrationEvents* s) { s->OnSetRegisterModeComplete(registration, id, S_OK); });
    });
    return S_OK;
}

#include "CSimModem.h"

#include "CSimDeviceService.h"
#include "CSimDeviceServiceView.h"
#include "CSimDeviceServicesManager.h"
#include "CSimInterface.h"
#include "CSimInterfaceManager.h"
#include "CSimRegistry.h"
#include "Handles.h"
#include "SimRegistryLayout.h"
#include "SimText.h"

#include <olectl.h>
#include <cwchar>

using Microsoft::WRL::ComPtr;

namespace {
constexpr size_t kDeliveryThreads = 4;

const IID& SinkIid(uint32_t sink) {
    switch (sink) {
        case SIMMODEM_SINK_INTERFACE_MANAGER: return IID_IMbnInterfaceManagerEvents;
        case SIMMODEM_SINK_RADIO: return IID_IMbnRadioEvents;
        case SIMMODEM_SINK_REGISTRATION: return IID_IMbnRegistrationEvents;
        default: return IID_IMbnDeviceServicesEvents;
    }
}

bool IsCommand(uint32_t op) { return op == SIMMODEM_OP_SET || op == SIMMODEM_OP_QUERY; }

uint32_t AddMs(uint32_t a, uint32_t b) { return b > 0xFFFFFFFFu - a ? 0xFFFFFFFFu : a + b; }

std::wstring MadeUpInterfaceId(size_t index) {
    wchar_t text[48];
    swprintf(text, 48, L"{5A1D0000-0000-4000-8000-%012X}", static_cast<unsigned>(index + 1));
    return text;
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L',', start);
        if (end == std::wstring::npos) end = text.size();
        if (end > start) items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

void AppendToFile(const std::wstring& path, const std::wstring& line) {
    CUniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    std::string bytes(line.begin(), line.end());  // the line is ASCII
    bytes += "\r\n";
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
}  // namespace

CSimModem& CSimModem::Instance() {
    // Never destroyed: its threads outlive every static destructor.
    static CSimModem* instance = [] {
        CSimModem* modem = new CSimModem();
        modem->Start();
        return modem;
    }();
    return *instance;
}

CSimModem::CSimModem() {
    m_registry.reset(new CSimRegistry([this](const std::wstring& text) { return ApplyChange(text); },
                                      [this] {
                                          simreg::Status status;
                                          SimLock lock = Lock();
                                          for (uint32_t k = 0; k < 4; ++k) status.advised[k] = AdvisedCount(k);
                                          status.logCount = static_cast<uint32_t>(m_log.size());
                                          status.held = static_cast<uint32_t>(m_held.size());
                                          for (const SimRecordPtr& r : m_records) {
                                              simreg::InterfaceStatus s;
                                              s.present = r->present;
                                              s.hardwareRadio = r->hardwareRadio;
                                              s.softwareRadio = r->softwareRadio;
                                              s.registerState = r->registerState;
                                              s.tableIndex = r->store.tableIndex;
                                              s.tableCrc = r->store.tableCrc;
                                              s.sarEnable = r->store.sarEnable;
                                              s.txEnable = r->store.txEnable;
                                              s.transmitting = r->store.transmitting;
                                              s.openSessions = OpenSessionCount(r->index, nullptr);
                                              s.sarImage = r->store.image;
                                              s.sarConfigReply = simcodec::BuildSarConfigReply(r->store.sarConfig);
                                              status.interfaces.push_back(s);
                                          }
                                          return status;
                                      }));
}

void CSimModem::Start() {
    m_scheduler.Start(kDeliveryThreads);
    simmodem::StartState state;
    bool remote = simreg::ReadStartState(state);
    if (!remote) state = simmodem::StartState();
    Load(state);
    if (remote) m_registry->StartRemote();
}

void CSimModem::Reset(const simmodem::Settings& settings) {
    m_registry->StopRemote();
    SimLock lock = Lock();
    ResetLocked(settings);
}

void CSimModem::ResetLocked(const simmodem::Settings& settings) {
    ++m_generation;  // what is still queued is dropped
    for (const SimRecordPtr& r : m_records) {
        r->present = false;
        ++r->epoch;
        r->txService.Reset();
        r->com.Reset();  // breaks the record <-> object cycle; clients' references keep it alive
    }
    m_records.clear();
    m_faults.clear();
    m_log.clear();
    DropHeldLocked(nullptr);
    m_settings = settings;
    if (m_settings.delivery > SIMMODEM_DELIVERY_OTHER) m_settings.delivery = SIMMODEM_DELIVERY_SAME;
    m_delivery = m_settings.delivery;
    if (m_settings.frameSize == 0 || m_settings.frameSize > 0xFFFF) m_settings.frameSize = 500;
    m_scheduler.SetHandOver(m_settings.handOverMs);
    m_logChanged.notify_all();
    Changed();
}

void CSimModem::Load(const simmodem::StartState& state) {
    SimLock lock = Lock();
    ResetLocked(state.settings);
    for (const auto& spec : state.interfaces) AddInterface(spec, false);
    for (const auto& fault : state.faults) AddFault(fault);
}

int CSimModem::AddInterface(const simmodem::InterfaceSpec& spec, bool raiseArrival) {
    SimLock lock = Lock();
    auto r = std::make_shared<SimInterfaceRecord>();
    r->index = static_cast<uint32_t>(m_records.size());
    r->id = spec.interfaceId.empty() ? MadeUpInterfaceId(r->index) : spec.interfaceId;
    r->model = spec.model;
    r->manufacturer = spec.manufacturer;
    r->firmware = spec.firmware;
    r->deviceId = spec.deviceId;
    r->hardwareRadio = spec.hardwareRadio ? MBN_RADIO_ON : MBN_RADIO_OFF;
    r->softwareRadio = spec.softwareRadio ? MBN_RADIO_ON : MBN_RADIO_OFF;
    r->registerState = static_cast<MBN_REGISTER_STATE>(spec.registerState <= 6 ? spec.registerState : 0);
    r->providerId = spec.providerId;
    r->providerName = spec.providerName;
    r->services = spec.services;
    r->maxCommandSize = spec.maxCommandSize ? spec.maxCommandSize : 4096;
    r->maxDataSize = spec.maxDataSize ? spec.maxDataSize : 4096;
    r->present = spec.present;
    r->store.image = spec.sarImage;
    r->store.tableIndex = static_cast<uint16_t>(spec.tableIndex);
    r->store.tableCrc = static_cast<uint16_t>(spec.tableCrc);
    r->store.sarEnable = spec.sarEnable ? 1 : 0;
    simcodec::SarConfig config;
    if (!spec.sarConfig.empty() && simcodec::ParseSarConfigPayload(spec.sarConfig, config)) r->store.sarConfig = config;
    r->com = simcom::Adopt<CSimInterface>(new CSimInterface(r));
    m_records.push_back(r);
    if (raiseArrival && r->present) RaiseInterfaceEvent(r, true);
    Changed();
    return static_cast<int>(r->index);
}

uint32_t CSimModem::InterfaceCount() {
    SimLock lock = Lock();
    return static_cast<uint32_t>(m_records.size());
}

SimRecordPtr CSimModem::Record(uint32_t index) {
    SimLock lock = Lock();
    return index < m_records.size() ? m_records[index] : nullptr;
}

bool CSimModem::RemoveInterface(uint32_t index) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    RemoveLocked(r);
    return true;
}

bool CSimModem::ArriveInterface(uint32_t index) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    ArriveLocked(r);
    return true;
}

void CSimModem::RemoveLocked(const SimRecordPtr& r) {
    if (!r->present) return;
    r->present = false;
    ++r->epoch;  // sessions close, pending completions are lost
    DropHeldLocked(r);  // and so are held ones
    r->store.OnReboot();
    r->txService.Reset();
    RaiseInterfaceEvent(r, false);
    Changed();
}

void CSimModem::ArriveLocked(const SimRecordPtr& r) {
    if (r->present || !r->com) return;
    r->present = true;
    RaiseInterfaceEvent(r, true);
    Changed();
}

// The interface-manager event first, then the device-services one.
void CSimModem::RaiseInterfaceEvent(const SimRecordPtr& r, bool arrival) {
    Post(0, [this, r, arrival] {
        ComPtr<CSimInterface> itf;
        std::wstring id;
        {
            SimLock lock = Lock();
            itf = r->com;
            id = r->id;
        }
        if (!itf) return;
        ComPtr<CSimInterface> face = CSimInterface::ForDelivery(itf);
        IMbnInterface* target = face.Get();
        Deliver<IMbnInterfaceManagerEvents>(SIMMODEM_SINK_INTERFACE_MANAGER, [&](IMbnInterfaceManagerEvents* s) {
            if (arrival) s->OnInterfaceArrival(target);
            else s->OnInterfaceRemoval(target);
        });
        Deliver<IMbnDeviceServicesEvents>(SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
            BSTR text = ::SysAllocString(id.c_str());
            s->OnInterfaceStateChange(text, arrival ? MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL
                                                    : MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL);
            ::SysFreeString(text);
        });
    });
}

void CSimModem::RaiseRadioChange(const SimRecordPtr& r) {
    PostForEpoch(r, 0, [this, r] {
        ComPtr<CSimInterface> itf;
        {
            SimLock lock = Lock();
            itf = r->com;
        }
        if (!itf) return;
        ComPtr<CSimInterface> face = CSimInterface::ForDelivery(itf);
        IMbnRadio* radio = face.Get();
        Deliver<IMbnRadioEvents>(SIMMODEM_SINK_RADIO, [&](IMbnRadioEvents* s) { s->OnRadioStateChange(radio); });
    });
}

bool CSimModem::SetRadio(uint32_t index, int hardware, int software) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r || hardware > 1 || software > 1) return false;
    bool changed = false;
    if (hardware >= 0 && r->hardwareRadio != static_cast<MBN_RADIO>(hardware)) {
        r->hardwareRadio = static_cast<MBN_RADIO>(hardware);
        changed = true;
    }
    if (software >= 0 && r->softwareRadio != static_cast<MBN_RADIO>(software)) {
        r->softwareRadio = static_cast<MBN_RADIO>(software);
        changed = true;
    }
    if (changed && r->present) RaiseRadioChange(r);
    Changed();
    return true;
}

bool CSimModem::SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId,
                                const wchar_t* providerName) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r || state > MBN_REGISTER_STATE_DENIED) return false;
    r->registerState = static_cast<MBN_REGISTER_STATE>(state);
    if (providerId) r->providerId = providerId;
    if (providerName) r->providerName = providerName;
    if (r->present) {
        PostForEpoch(r, 0, [this, r] {
            ComPtr<CSimInterface> itf;
            {
                SimLock l = Lock();
                itf = r->com;
            }
            if (!itf) return;
            ComPtr<CSimInterface> face = CSimInterface::ForDelivery(itf);
            IMbnRegistration* registration = face.Get();
            Deliver<IMbnRegistrationEvents>(SIMMODEM_SINK_REGISTRATION, [&](IMbnRegistrationEvents* s) {
                s->OnRegisterStateChange(registration);
            });
        });
    }
    Changed();
    return true;
}

bool CSimModem::SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer, const wchar_t* firmware) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    if (model) r->model = model;
    if (manufacturer) r->manufacturer = manufacturer;
    if (firmware) r->firmware = firmware;
    return true;
}

bool CSimModem::SetServices(uint32_t index, const std::vector<std::wstring>& services) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    r->services = services;
    return true;
}

bool CSimModem::SetTransmitting(uint32_t index, bool transmitting) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    uint32_t value = transmitting ? 1 : 0;
    bool changed = r->store.transmitting != value;
    r->store.transmitting = value;
    if (changed && r->present && r->store.txEnable && r->txService) {
        ComPtr<CSimDeviceService> service = r->txService;
        simcodec::Bytes message = CSimFirmware::TransmissionNotification(r->store);
        PostForEpoch(r, 0, [this, service, message] {
            ComPtr<IMbnDeviceService> face = CSimDeviceServiceView::ForDelivery(service.Get());
            Deliver<IMbnDeviceServicesEvents>(SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
                SAFEARRAY* data = simcom::MakeByteArray(message);
                s->OnEventNotification(face.Get(), 2, data);
                if (data) ::SafeArrayDestroy(data);
            });
        });
    }
    Changed();
    return true;
}

bool CSimModem::SetDiagState(uint32_t index, const SimModemDiagState& state, const uint8_t* image, uint32_t length) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return false;
    r->store.tableIndex = static_cast<uint16_t>(state.tableIndex);
    r->store.tableCrc = static_cast<uint16_t>(state.tableCrc);
    r->store.sarEnable = state.sarEnable ? 1 : 0;
    if (image) r->store.image.assign(image, image + length);
    Changed();
    return true;
}

void CSimModem::AddFault(const simmodem::FaultSpec& fault) {
    SimLock lock = Lock();
    simmodem::FaultSpec f = fault;
    if (f.kind == SIMMODEM_FAULT_BUSY) f.hr = kSimBusy;
    if (f.kind == SIMMODEM_FAULT_REMOVE_AFTER && (f.count == 0 || f.count == SIMMODEM_ALWAYS)) f.count = 1;
    if (f.count == 0) return;
    m_faults.push_back(f);
}

void CSimModem::ClearFaults() {
    SimLock lock = Lock();
    m_faults.clear();
}

bool CSimModem::ApplyChange(const std::wstring& text) {
    simtext::Change c;
    if (!simtext::ParseChange(text, c)) return false;
    uint32_t index = 0;
    if (!c.GetNumber(L"if", index)) return false;
    const std::wstring& verb = c.verb;
    using simtext::EqualsNoCase;
    if (EqualsNoCase(verb, L"radio")) {
        uint32_t hw = SIMMODEM_ANY, sw = SIMMODEM_ANY;
        if (!c.GetNumber(L"hw", hw) || !c.GetNumber(L"sw", sw)) return false;
        return SetRadio(index, hw == SIMMODEM_ANY ? -1 : static_cast<int>(hw),
                        sw == SIMMODEM_ANY ? -1 : static_cast<int>(sw));
    }
    if (EqualsNoCase(verb, L"register")) {
        uint32_t state = 0;
        SimRecordPtr r = Record(index);
        if (!r) return false;
        state = r->registerState;
        if (!c.GetNumber(L"state", state)) return false;
        std::wstring provider = c.Get(L"provider"), name = c.Get(L"name");
        return SetRegistration(index, state, c.Has(L"provider") ? provider.c_str() : nullptr,
                               c.Has(L"name") ? name.c_str() : nullptr);
    }
    if (EqualsNoCase(verb, L"model")) {
        std::wstring model = c.Get(L"model"), manufacturer = c.Get(L"manufacturer"), firmware = c.Get(L"firmware");
        return SetModel(index, c.Has(L"model") ? model.c_str() : nullptr,
                        c.Has(L"manufacturer") ? manufacturer.c_str() : nullptr,
                        c.Has(L"firmware") ? firmware.c_str() : nullptr);
    }
    if (EqualsNoCase(verb, L"services")) return SetServices(index, SplitList(c.Get(L"list")));
    if (EqualsNoCase(verb, L"remove")) return RemoveInterface(index);
    if (EqualsNoCase(verb, L"arrive")) return ArriveInterface(index);
    if (EqualsNoCase(verb, L"transmit")) {
        uint32_t on = 0;
        if (!c.GetNumber(L"on", on)) return false;
        return SetTransmitting(index, on != 0);
    }
    if (EqualsNoCase(verb, L"diag")) {
        SimRecordPtr r = Record(index);
        if (!r) return false;
        SimModemDiagState s = {};
        {
            SimLock lock = Lock();
            s.tableIndex = r->store.tableIndex;
            s.tableCrc = r->store.tableCrc;
            s.sarEnable = r->store.sarEnable;
        }
        simcodec::Bytes image;
        if (!c.GetNumber(L"index", s.tableIndex) || !c.GetNumber(L"crc", s.tableCrc) ||
            !c.GetNumber(L"enable", s.sarEnable) || (c.Has(L"image") && !simtext::ParseHex(c.Get(L"image"), image)))
            return false;
        return SetDiagState(index, s, c.Has(L"image") ? image.data() : nullptr, static_cast<uint32_t>(image.size()));
    }
    if (EqualsNoCase(verb, L"add")) {
        simmodem::InterfaceSpec spec;
        if (c.Has(L"id")) spec.interfaceId = c.Get(L"id");
        if (c.Has(L"model")) spec.model = c.Get(L"model");
        if (c.Has(L"manufacturer")) spec.manufacturer = c.Get(L"manufacturer");
        if (c.Has(L"firmware")) spec.firmware = c.Get(L"firmware");
        if (c.Has(L"services")) spec.services = SplitList(c.Get(L"services"));
        if (!c.GetNumber(L"hw", spec.hardwareRadio) || !c.GetNumber(L"sw", spec.softwareRadio)) return false;
        return AddInterface(spec, true) >= 0;
    }
    if (EqualsNoCase(verb, L"fault")) {
        simmodem::FaultSpec fault;
        if (!simtext::ParseFault(c, fault)) return false;
        AddFault(fault);
        return true;
    }
    if (EqualsNoCase(verb, L"clearfaults")) {
        ClearFaults();
        return true;
    }
    if (EqualsNoCase(verb, L"release")) {
        uint32_t count = SIMMODEM_ALL;
        if (!c.GetNumber(L"count", count)) return false;
        ReleaseHeld(count);
        return true;
    }
    return false;
}

uint32_t CSimModem::ReleaseHeld(uint32_t count) {
    SimLock lock = Lock();
    uint32_t released = 0;
    for (; released < count && !m_held.empty(); ++released) {
        // Posted one after another with the same delay: the scheduler keeps their order.
        for (SimResponseStep& step : m_held.front().response) Post(step.extraMs, std::move(step.task));
        m_held.pop_front();
    }
    if (released) {
        m_heldChanged.notify_all();
        Changed();
    }
    return released;
}

uint32_t CSimModem::HeldCount() {
    SimLock lock = Lock();
    return static_cast<uint32_t>(m_held.size());
}

bool CSimModem::WaitForHeld(uint32_t count, uint32_t timeoutMs) {
    SimLock lock = Lock();
    return m_heldChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_held.size() >= count; });
}

void CSimModem::DropHeldLocked(const SimRecordPtr& record) {
    std::deque<HeldResponse> dropped;  // let go after the list is consistent again
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (record && it->record != record) {
            ++it;
            continue;
        }
        dropped.push_back(std::move(*it));
        it = m_held.erase(it);
    }
    if (dropped.empty()) return;
    m_heldChanged.notify_all();
    Changed();
}

std::vector<simmodem::LogEntry> CSimModem::LogSnapshot() {
    SimLock lock = Lock();
    return m_log;
}

size_t CSimModem::LogCount() {
    SimLock lock = Lock();
    return m_log.size();
}

bool CSimModem::WaitForLog(uint32_t opMask, uint32_t count, uint32_t timeoutMs) {
    SimLock lock = Lock();
    return m_logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        uint32_t n = 0;
        for (const auto& e : m_log)
            if (e.op < 32 && (opMask & (1u << e.op))) ++n;
        return n >= count;
    });
}

void CSimModem::AppendLogLocked(const SimInterfaceRecord& record, uint32_t op, const std::wstring& service,
                                uint32_t cid, ULONG requestId, const simcodec::Bytes& payload) {
    simmodem::LogEntry e;
    e.sequence = static_cast<uint32_t>(m_log.size() + 1);
    e.interfaceIndex = record.index;
    e.op = op;
    e.cid = cid;
    e.requestId = requestId;
    e.service = service;
    e.payload = payload;
    m_log.push_back(e);
    if (!m_settings.logFile.empty()) AppendToFile(m_settings.logFile, simtext::FormatLogLine(e));
    m_logChanged.notify_all();
    Changed();
}

uint32_t CSimModem::AdvisedCount(uint32_t sink) {
    SimLock lock = Lock();
    uint32_t n = 0;
    for (const SinkEntry& e : m_sinks)
        if (e.sink == sink) ++n;
    return n;
}

uint32_t CSimModem::OpenSessionCount(uint32_t index, const wchar_t* service) {
    SimLock lock = Lock();
    SimRecordPtr r = Record(index);
    if (!r) return 0;
    uint32_t n = 0;
    for (CSimDeviceService* s : m_services)
        if (s->Record() == r && s->SessionOpenLocked() &&
            (!service || simtext::EqualsNoCase(s->ServiceId(), service)))
            ++n;
    return n;
}

simmodem::Settings CSimModem::CurrentSettings() {
    SimLock lock = Lock();
    return m_settings;
}

bool CSimModem::SetDelivery(uint32_t mode) {
    if (mode > SIMMODEM_DELIVERY_OTHER) return false;
    SimLock lock = Lock();
    m_settings.delivery = mode;
    m_delivery = mode;
    return true;
}

HRESULT CSimModem::CreateObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool manager = clsid == CLSID_MbnInterfaceManager;
    HRESULT hr = S_OK;
    if (TakeMethodFault(manager ? SIMMODEM_METHOD_CREATE_INTERFACE_MANAGER
                                : SIMMODEM_METHOD_CREATE_DEVICE_SERVICES_MANAGER,
                        SIMMODEM_ANY, L"", SIMMODEM_ANY, SIMMODEM_ANY, hr))
        return hr;
    IUnknown* created = nullptr;
    if (manager) created = static_cast<IMbnInterfaceManager*>(new CSimInterfaceManager());
    else created = static_cast<IMbnDeviceServicesManager*>(new CSimDeviceServicesManager());
    hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

bool CSimModem::TakeMethodFault(uint32_t method, uint32_t index, const std::wstring& service, uint32_t cid,
                                uint32_t sink, HRESULT& hr) {
    SimLock lock = Lock();
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        const simmodem::FaultSpec& f = *it;
        if (f.kind != SIMMODEM_FAULT_HRESULT || f.method != method) continue;
        if (f.interfaceIndex != SIMMODEM_ANY && f.interfaceIndex != index) continue;
        if (!f.service.empty() && !simtext::EqualsNoCase(f.service, service)) continue;
        if (f.cid != SIMMODEM_ANY && f.cid != cid) continue;
        if (f.sink != SIMMODEM_ANY && f.sink != sink) continue;
        hr = f.hr;
        if (f.count != SIMMODEM_ALWAYS && --it->count == 0) m_faults.erase(it);
        return true;
    }
    return false;
}

bool CSimModem::MatchFilter(const simmodem::FaultSpec& f, uint32_t index, const std::wstring& service, uint32_t op,
                            uint32_t cid) const {
    if (f.interfaceIndex != SIMMODEM_ANY && f.interfaceIndex != index) return false;
    if (!f.service.empty() && !simtext::EqualsNoCase(f.service, service)) return false;
    if (f.op != SIMMODEM_OP_ANY && f.op != op) return false;
    if (f.cid != SIMMODEM_ANY && (!IsCommand(op) || f.cid != cid)) return false;
    return true;
}

std::optional<simmodem::FaultSpec> CSimModem::TakeCompletionFault(uint32_t index, const std::wstring& service,
                                                                  uint32_t op, uint32_t cid) {
    SimLock lock = Lock();
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != SIMMODEM_FAULT_BUSY && it->kind != SIMMODEM_FAULT_STATUS &&
            it->kind != SIMMODEM_FAULT_NO_COMPLETION)
            continue;
        if (!MatchFilter(*it, index, service, op, cid)) continue;
        simmodem::FaultSpec f = *it;
        if (it->count != SIMMODEM_ALWAYS && --it->count == 0) m_faults.erase(it);
        return f;
    }
    return std::nullopt;
}

std::optional<simcodec::Bytes> CSimModem::TakeReplyFault(uint32_t index, const std::wstring& service, uint32_t op,
                                                         uint32_t cid) {
    SimLock lock = Lock();
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != SIMMODEM_FAULT_REPLY || !IsCommand(op) || !MatchFilter(*it, index, service, op, cid)) continue;
        simcodec::Bytes reply = it->reply;
        if (it->count != SIMMODEM_ALWAYS && --it->count == 0) m_faults.erase(it);
        return reply;
    }
    return std::nullopt;
}

bool CSimModem::TakeFault(uint32_t kind, uint32_t index, const std::wstring& service, uint32_t op, uint32_t cid,
                          simmodem::FaultSpec& taken) {
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != kind || !MatchFilter(*it, index, service, op, cid)) continue;
        taken = *it;
        if (it->count != SIMMODEM_ALWAYS && --it->count == 0) m_faults.erase(it);
        return true;
    }
    return false;
}

bool CSimModem::TakeRemoveTrigger(uint32_t index, const std::wstring& service, uint32_t op, uint32_t cid,
                                  uint32_t& rearriveMs) {
    SimLock lock = Lock();
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != SIMMODEM_FAULT_REMOVE_AFTER || !IsCommand(op) || !MatchFilter(*it, index, service, op, cid))
            continue;
        if (--it->count != 0) return false;
        rearriveMs = it->rearriveMs;
        m_faults.erase(it);
        return true;
    }
    return false;
}

std::vector<simmodem::FaultSpec> CSimModem::TakeStrayFaults(uint32_t index, const std::wstring& service, uint32_t op,
                                                            uint32_t cid) {
    SimLock lock = Lock();
    std::vector<simmodem::FaultSpec> strays;
    for (auto it = m_faults.begin(); it != m_faults.end();) {
        bool stray = it->kind == SIMMODEM_FAULT_STRAY_SERVICE || it->kind == SIMMODEM_FAULT_STRAY_INTERFACE ||
                     it->kind == SIMMODEM_FAULT_STRAY_REQUEST;
        if (!stray || !IsCommand(op) || !MatchFilter(*it, index, service, op, cid)) {
            ++it;
            continue;
        }
        strays.push_back(*it);
        if (it->count != SIMMODEM_ALWAYS && --it->count == 0) it = m_faults.erase(it);
        else ++it;
    }
    return strays;
}

std::vector<SimRecordPtr> CSimModem::PresentRecordsLocked() {
    std::vector<SimRecordPtr> present;
    for (const SimRecordPtr& r : m_records)
        if (r->present) present.push_back(r);
    return present;
}

SimRecordPtr CSimModem::FindPresentLocked(const std::wstring& interfaceId) {
    for (const SimRecordPtr& r : m_records)
        if (r->present && simtext::EqualsNoCase(r->id, interfaceId)) return r;
    return nullptr;
}

void CSimModem::Post(uint32_t extraMs, std::function<void()> task) {
    SimLock lock = Lock();
    uint64_t generation = m_generation;
    m_scheduler.Post(AddMs(m_settings.completionDelayMs, extraMs), [this, generation, task] {
        if (m_generation == generation) task();
    });
}

void CSimModem::PostForEpoch(const SimRecordPtr& record, uint32_t extraMs, std::function<void()> task) {
    SimLock lock = Lock();
    uint32_t epoch = record->epoch;
    Post(extraMs, [this, record, epoch, task] {
        {
            SimLock l = Lock();
            if (record->epoch != epoch) return;
        }
        task();
    });
}

void CSimModem::RespondLocked(const SimRecordPtr& record, const std::wstring& service, uint32_t op, uint32_t cid,
                              SimResponse response) {
    // A delay and a hold are taken apart, so a test can hold one of many
    // requests that a start state delays; the held one then also goes out late.
    simmodem::FaultSpec delay, hold;
    uint32_t delayMs = TakeFault(SIMMODEM_FAULT_DELAY, record->index, service, op, cid, delay) ? delay.delayMs : 0;
    bool held = TakeFault(SIMMODEM_FAULT_HOLD, record->index, service, op, cid, hold);
    uint32_t epoch = record->epoch;
    for (SimResponseStep& step : response) {
        step.extraMs = AddMs(step.extraMs, delayMs);
        step.task = [this, record, epoch, task = std::move(step.task)] {
            {
                SimLock l = Lock();
                if (record->epoch != epoch) return;
            }
            task();
        };
    }
    if (held) {
        m_held.push_back(HeldResponse{record, std::move(response)});
        m_heldChanged.notify_all();
        Changed();
        return;
    }
    for (SimResponseStep& step : response) Post(step.extraMs, std::move(step.task));
}

uint32_t CSimModem::FrameSize() {
    SimLock lock = Lock();
    return m_settings.frameSize;
}

void CSimModem::Changed() {
    if (m_registry) m_registry->MarkDirty();
}

HRESULT CSimModem::Advise(uint32_t sink, const void* owner, IUnknown* client, DWORD* cookie) {
    if (!client || !cookie) return E_POINTER;
    *cookie = 0;
    HRESULT hr = S_OK;
    if (TakeMethodFault(SIMMODEM_METHOD_ADVISE, SIMMODEM_ANY, L"", SIMMODEM_ANY, sink, hr)) return hr;
    IUnknown* typed = nullptr;  // the sink's event interface; this reference is the one the simulator holds
    if (FAILED(client->QueryInterface(SinkIid(sink), reinterpret_cast<void**>(&typed))) || !typed)
        return CONNECT_E_CANNOTCONNECT;
    SimLock lock = Lock();
    DWORD value = m_nextCookie++;
    m_sinks.push_back(SinkEntry{value, sink, owner, typed});
    *cookie = value;
    Changed();
    return S_OK;
}

HRESULT CSimModem::Unadvise(uint32_t sink, const void* owner, DWORD cookie) {
    IUnknown* released = nullptr;
    {
        SimLock lock = Lock();
        HRESULT hr = S_OK;
        if (TakeMethodFault(SIMMODEM_METHOD_UNADVISE, SIMMODEM_ANY, L"", SIMMODEM_ANY, sink, hr)) return hr;
        for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
            if (it->cookie != cookie || it->owner != owner) continue;
            released = it->client;
            m_sinks.erase(it);
            break;
        }
        Changed();
    }
    if (!released) return CONNECT_E_NOCONNECTION;
    released->Release();  // outside the lock: this may run the client's destructor
    return S_OK;
}

void CSimModem::DropSinks(const void* owner) {
    std::vector<IUnknown*> released;
    {
        SimLock lock = Lock();
        for (auto it = m_sinks.begin(); it != m_sinks.end();) {
            if (it->owner == owner) {
                released.push_back(it->client);
                it = m_sinks.erase(it);
            } else {
                ++it;
            }
        }
        Changed();
    }
    for (IUnknown* s : released) s->Release();
}

std::vector<DWORD> CSimModem::SinkCookies(uint32_t sink) {
    SimLock lock = Lock();
    std::vector<DWORD> cookies;
    for (const SinkEntry& e : m_sinks)
        if (e.sink == sink) cookies.push_back(e.cookie);
    return cookies;
}

IUnknown* CSimModem::AcquireSink(DWORD cookie) {
    SimLock lock = Lock();
    for (const SinkEntry& e : m_sinks)
        if (e.cookie == cookie) {
            e.client->AddRef();
            return e.client;
        }
    return nullptr;
}

void CSimModem::TrackService(CSimDeviceService* service, bool live) {
    SimLock lock = Lock();
    if (live) {
        m_services.push_back(service);
        return;
    }
    for (auto it = m_services.begin(); it != m_services.end(); ++it)
        if (*it == service) {
            m_services.erase(it);
            return;
        }
}

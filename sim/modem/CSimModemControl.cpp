#include "CSimModemControl.h"

#include "SimModemPaths.h"
#include "SimRegistryLayout.h"

#include <type_traits>

namespace {
// The services list as the C face takes it: each id NUL-terminated, then an empty one.
std::wstring ServiceBlock(const std::vector<std::wstring>& services) {
    std::wstring block;
    for (const auto& s : services) block += s + L'\0';
    block += L'\0';
    return block;
}
}  // namespace

CSimModemControl::~CSimModemControl() {
    if (m_module) ::FreeLibrary(m_module);  // COM keeps its own reference
}

std::wstring CSimModemControl::DefaultDllPath() { return SIMMODEM_DLL_PATH; }

bool CSimModemControl::Register(const std::wstring& dllPath) { return simreg::RegisterServer(dllPath); }

bool CSimModemControl::Unregister() { return simreg::UnregisterServer(); }

bool CSimModemControl::Load(const std::wstring& dllPath) {
    if (m_module) return true;
    HMODULE module = ::LoadLibraryW(dllPath.c_str());
    if (!module) return false;
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::GetProcAddress(module, name));
        ok = ok && fn != nullptr;
    };
    bind(m_getApiVersion, "SimModem_GetApiVersion");
    bind(m_reset, "SimModem_Reset");
    bind(m_addInterface, "SimModem_AddInterface");
    bind(m_getInterfaceCount, "SimModem_GetInterfaceCount");
    bind(m_getInterfaceId, "SimModem_GetInterfaceId");
    bind(m_isInterfacePresent, "SimModem_IsInterfacePresent");
    bind(m_removeInterface, "SimModem_RemoveInterface");
    bind(m_arriveInterface, "SimModem_ArriveInterface");
    bind(m_setRadio, "SimModem_SetRadio");
    bind(m_setRegistration, "SimModem_SetRegistration");
    bind(m_setModel, "SimModem_SetModel");
    bind(m_setServices, "SimModem_SetServices");
    bind(m_setTransmitting, "SimModem_SetTransmitting");
    bind(m_setDiagState, "SimModem_SetDiagState");
    bind(m_addFault, "SimModem_AddFault");
    bind(m_clearFaults, "SimModem_ClearFaults");
    bind(m_applyChange, "SimModem_ApplyChange");
    bind(m_getLogCount, "SimModem_GetLogCount");
    bind(m_getLogEntry, "SimModem_GetLogEntry");
    bind(m_waitForLog, "SimModem_WaitForLog");
    bind(m_waitIdle, "SimModem_WaitIdle");
    bind(m_getSarConfig, "SimModem_GetSarConfig");
    bind(m_getDiagState, "SimModem_GetDiagState");
    bind(m_getSarImage, "SimModem_GetSarImage");
    bind(m_getTxState, "SimModem_GetTxState");
    bind(m_getAdvisedCount, "SimModem_GetAdvisedCount");
    bind(m_getObjectCount, "SimModem_GetObjectCount");
    bind(m_setDelivery, "SimModem_SetDelivery");
    bind(m_getDelivery, "SimModem_GetDelivery");
    bind(m_getOpenSessionCount, "SimModem_GetOpenSessionCount");
    bind(m_getPrimaryThreadId, "SimModem_GetPrimaryThreadId");
    bind(m_isDeliveryThread, "SimModem_IsDeliveryThread");
    bind(m_releaseHeld, "SimModem_ReleaseHeld");
    bind(m_getHeldCount, "SimModem_GetHeldCount");
    bind(m_waitForHeld, "SimModem_WaitForHeld");
    if (!ok || m_getApiVersion() != SIMMODEM_API_VERSION) {
        ::FreeLibrary(module);
        return false;
    }
    m_module = module;
    return true;
}

bool CSimModemControl::Reset(const simmodem::StartState& state) {
    if (!m_module) return false;
    const simmodem::Settings& s = state.settings;
    SimModemSettings settings = {s.completionDelayMs, s.rebootRemoveDelayMs, s.rebootArriveDelayMs,
                                 s.frameSize,         s.handOverMs,          s.logFile.empty() ? nullptr : s.logFile.c_str()};
    if (m_reset(&settings) != 0 || m_setDelivery(s.delivery) != 0) return false;
    for (const auto& itf : state.interfaces)
        if (AddInterface(itf, false) < 0) return false;
    return AddFaults(state.faults);
}

int CSimModemControl::AddInterface(const simmodem::InterfaceSpec& spec, bool raiseArrival) {
    if (!m_module) return -1;
    std::wstring services = ServiceBlock(spec.services);
    SimModemInterface c = {};
    c.interfaceId = spec.interfaceId.empty() ? nullptr : spec.interfaceId.c_str();
    c.model = spec.model.c_str();
    c.manufacturer = spec.manufacturer.c_str();
    c.firmware = spec.firmware.c_str();
    c.deviceId = spec.deviceId.c_str();
    c.hardwareRadio = spec.hardwareRadio;
    c.softwareRadio = spec.softwareRadio;
    c.registerState = spec.registerState;
    c.providerId = spec.providerId.c_str();
    c.providerName = spec.providerName.c_str();
    c.services = services.c_str();
    c.present = spec.present ? 1 : 0;
    c.maxCommandSize = spec.maxCommandSize;
    c.maxDataSize = spec.maxDataSize;
    c.sarImage = spec.sarImage.data();
    c.sarImageLength = static_cast<uint32_t>(spec.sarImage.size());
    c.tableIndex = spec.tableIndex;
    c.tableCrc = spec.tableCrc;
    c.sarEnable = spec.sarEnable;
    c.sarConfig = spec.sarConfig.empty() ? nullptr : spec.sarConfig.data();
    c.sarConfigLength = static_cast<uint32_t>(spec.sarConfig.size());
    return m_addInterface(&c, raiseArrival ? 1 : 0);
}

uint32_t CSimModemControl::InterfaceCount() { return m_module ? m_getInterfaceCount() : 0; }

std::wstring CSimModemControl::InterfaceId(uint32_t index) {
    wchar_t buffer[128] = {};
    if (!m_module || m_getInterfaceId(index, buffer, 128) != 0) return std::wstring();
    return buffer;
}

int CSimModemControl::IsPresent(uint32_t index) { return m_module ? m_isInterfacePresent(index) : -1; }

bool CSimModemControl::RemoveInterface(uint32_t index) { return m_module && m_removeInterface(index) == 0; }

bool CSimModemControl::ArriveInterface(uint32_t index) { return m_module && m_arriveInterface(index) == 0; }

bool CSimModemControl::SetRadio(uint32_t index, int hardware, int software) {
    return m_module && m_setRadio(index, hardware, software) == 0;
}

bool CSimModemControl::SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId,
                                       const wchar_t* providerName) {
    return m_module && m_setRegistration(index, state, providerId, providerName) == 0;
}

bool CSimModemControl::SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer,
                                const wchar_t* firmware) {
    return m_module && m_setModel(index, model, manufacturer, firmware) == 0;
}

bool CSimModemControl::SetServices(uint32_t index, const std::vector<std::wstring>& services) {
    std::wstring block = ServiceBlock(services);
    return m_module && m_setServices(index, block.c_str()) == 0;
}

bool CSimModemControl::SetTransmitting(uint32_t index, bool transmitting) {
    return m_module && m_setTransmitting(index, transmitting ? 1 : 0) == 0;
}

bool CSimModemControl::SetDiagState(uint32_t index, const SimModemDiagState& state, const simmodem::Bytes* image) {
    return m_module && m_setDiagState(index, &state, image ? image->data() : nullptr,
                                      image ? static_cast<uint32_t>(image->size()) : 0) == 0;
}

bool CSimModemControl::AddFault(const simmodem::FaultSpec& f) {
    if (!m_module) return false;
    SimModemFault c = {};
    c.kind = f.kind;
    c.method = f.method;
    c.interfaceIndex = f.interfaceIndex;
    c.service = f.service.empty() ? nullptr : f.service.c_str();
    c.cid = f.cid;
    c.op = f.op;
    c.sink = f.sink;
    c.count = f.count;
    c.hr = f.hr;
    c.reply = f.reply.data();
    c.replyLength = static_cast<uint32_t>(f.reply.size());
    c.rearriveMs = f.rearriveMs;
    c.delayMs = f.delayMs;
    return m_addFault(&c) == 0;
}

bool CSimModemControl::AddFaults(const std::vector<simmodem::FaultSpec>& faults) {
    for (const auto& f : faults)
        if (!AddFault(f)) return false;
    return true;
}

void CSimModemControl::ClearFaults() {
    if (m_module) m_clearFaults();
}

bool CSimModemControl::ApplyChange(const std::wstring& text) { return m_module && m_applyChange(text.c_str()) == 0; }

std::vector<simmodem::LogEntry> CSimModemControl::Log() {
    std::vector<simmodem::LogEntry> log;
    if (!m_module) return log;
    uint32_t count = m_getLogCount();
    for (uint32_t i = 0; i < count; ++i) {
        SimModemLogEntry c = {};
        if (m_getLogEntry(i, &c, nullptr, 0) != 0) break;
        simmodem::LogEntry e;
        e.sequence = c.sequence;
        e.interfaceIndex = c.interfaceIndex;
        e.op = c.op;
        e.cid = c.cid;
        e.requestId = c.requestId;
        e.service = c.service;
        e.payload.resize(c.payloadLength);
        if (c.payloadLength && m_getLogEntry(i, &c, e.payload.data(), c.payloadLength) != 0) break;
        log.push_back(e);
    }
    return log;
}

uint32_t CSimModemControl::LogCount() { return m_module ? m_getLogCount() : 0; }

bool CSimModemControl::WaitForLog(uint32_t opMask, uint32_t count, DWORD timeoutMs) {
    return m_module && m_waitForLog(opMask, count, timeoutMs) == 0;
}

bool CSimModemControl::WaitIdle(DWORD timeoutMs) { return m_module && m_waitIdle(timeoutMs) == 0; }

uint32_t CSimModemControl::ReleaseHeld(uint32_t count) { return m_module ? m_releaseHeld(count) : 0; }

uint32_t CSimModemControl::HeldCount() { return m_module ? m_getHeldCount() : 0; }

bool CSimModemControl::WaitForHeld(uint32_t count, DWORD timeoutMs) {
    return m_module && m_waitForHeld(count, timeoutMs) == 0;
}

bool CSimModemControl::GetSarConfig(uint32_t index, SimModemSarConfig& config) {
    return m_module && m_getSarConfig(index, &config) == 0;
}

simmodem::Bytes CSimModemControl::SarImage(uint32_t index) {
    simmodem::Bytes image;
    uint32_t length = 0;
    if (!m_module) return image;
    m_getSarImage(index, nullptr, 0, &length);
    image.resize(length);
    if (m_getSarImage(index, image.data(), length, &length) != 0) image.clear();
    return image;
}

bool CSimModemControl::GetDiagState(uint32_t index, SimModemDiagState& state) {
    return m_module && m_getDiagState(index, &state) == 0;
}

bool CSimModemControl::GetTxState(uint32_t index, SimModemTxState& state) {
    return m_module && m_getTxState(index, &state) == 0;
}

uint32_t CSimModemControl::AdvisedCount(uint32_t sink) { return m_module ? m_getAdvisedCount(sink) : 0; }

uint32_t CSimModemControl::ObjectCount(uint32_t kind) { return m_module ? m_getObjectCount(kind) : 0; }

bool CSimModemControl::SetDelivery(uint32_t mode) { return m_module && m_setDelivery(mode) == 0; }

uint32_t CSimModemControl::Delivery() { return m_module ? m_getDelivery() : static_cast<uint32_t>(SIMMODEM_DELIVERY_SAME); }

uint32_t CSimModemControl::OpenSessionCount(uint32_t index, const wchar_t* service) {
    return m_module ? m_getOpenSessionCount(index, service) : 0;
}

DWORD CSimModemControl::PrimaryThreadId() { return m_module ? m_getPrimaryThreadId() : 0; }

bool CSimModemControl::IsDeliveryThread(DWORD threadId) { return m_module && m_isDeliveryThread(threadId) == 1; }

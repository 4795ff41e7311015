// The DLL's face: the COM server entry points and the SimModem_* control
// functions, each a thin check-and-forward to CSimModem.
#include "CSimModem.h"
#include "SimModemControl.h"
#include "SimRegistryLayout.h"

#include <cstring>
#include <olectl.h>

namespace {

class CSimClassFactory : public IClassFactory {
public:
    explicit CSimClassFactory(const CLSID& clsid) : m_clsid(clsid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // Static objects: the DLL never unloads.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CSimModem::Instance().CreateObject(m_clsid, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    CLSID m_clsid;
};

CSimClassFactory g_interfaceManagerFactory(CLSID_MbnInterfaceManager);
CSimClassFactory g_deviceServicesManagerFactory(CLSID_MbnDeviceServicesManager);

std::vector<std::wstring> ServiceList(const wchar_t* list) {
    if (!list) return simmodem::InterfaceSpec::AllServices();
    std::vector<std::wstring> services;
    for (const wchar_t* p = list; *p; p += wcslen(p) + 1) services.emplace_back(p);
    return services;
}

simmodem::Bytes Copy(const uint8_t* data, uint32_t length) {
    return data ? simmodem::Bytes(data, data + length) : simmodem::Bytes();
}

std::wstring ModulePath() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ModulePath), &self);
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    CSimModem::Instance();  // the start state is read on first activation
    if (clsid == CLSID_MbnInterfaceManager) return g_interfaceManagerFactory.QueryInterface(iid, object);
    if (clsid == CLSID_MbnDeviceServicesManager) return g_deviceServicesManagerFactory.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

HRESULT STDAPICALLTYPE DllRegisterServer() {
    std::wstring path = ModulePath();
    return !path.empty() && simreg::RegisterServer(path) ? S_OK : SELFREG_E_CLASS;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() { return simreg::UnregisterServer() ? S_OK : SELFREG_E_CLASS; }

uint32_t SimModem_GetApiVersion(void) { return SIMMODEM_API_VERSION; }

int32_t SimModem_Reset(const SimModemSettings* settings) {
    simmodem::Settings s;
    if (settings) {
        s.completionDelayMs = settings->completionDelayMs;
        s.rebootRemoveDelayMs = settings->rebootRemoveDelayMs;
        s.rebootArriveDelayMs = settings->rebootArriveDelayMs;
        s.frameSize = settings->frameSize;
        s.handOverMs = settings->handOverMs;
        s.logFile = settings->logFile ? settings->logFile : L"";
    }
    CSimModem::Instance().Reset(s);
    return 0;
}

int32_t SimModem_AddInterface(const SimModemInterface* config, uint32_t raiseArrival) {
    if (!config) return -1;
    simmodem::InterfaceSpec s;
    if (config->interfaceId) s.interfaceId = config->interfaceId;
    if (config->model) s.model = config->model;
    if (config->manufacturer) s.manufacturer = config->manufacturer;
    if (config->firmware) s.firmware = config->firmware;
    if (config->deviceId) s.deviceId = config->deviceId;
    s.hardwareRadio = config->hardwareRadio;
    s.softwareRadio = config->softwareRadio;
    s.registerState = config->registerState;
    if (config->providerId) s.providerId = config->providerId;
    if (config->providerName) s.providerName = config->providerName;
    s.services = ServiceList(config->services);
    s.present = config->present != 0;
    s.maxCommandSize = config->maxCommandSize;
    s.maxDataSize = config->maxDataSize;
    s.sarImage = Copy(config->sarImage, config->sarImageLength);
    s.tableIndex = config->tableIndex;
    s.tableCrc = config->tableCrc;
    s.sarEnable = config->sarEnable;
    s.sarConfig = Copy(config->sarConfig, config->sarConfigLength);
    return CSimModem::Instance().AddInterface(s, raiseArrival != 0);
}

uint32_t SimModem_GetInterfaceCount(void) { return CSimModem::Instance().InterfaceCount(); }

int32_t SimModem_GetInterfaceId(uint32_t index, wchar_t* buffer, uint32_t capacity) {
    CSimModem& modem = CSimModem::Instance();
    SimRecordPtr r = modem.Record(index);
    if (!r || !buffer) return -1;
    SimLock lock = modem.Lock();
    if (r->id.size() + 1 > capacity) return -1;
    wcscpy(buffer, r->id.c_str());
    return 0;
}

int32_t SimModem_IsInterfacePresent(uint32_t index) {
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    SimRecordPtr r = modem.Record(index);
    return r ? (r->present ? 1 : 0) : -1;
}

int32_t SimModem_RemoveInterface(uint32_t index) { return CSimModem::Instance().RemoveInterface(index) ? 0 : -1; }

int32_t SimModem_ArriveInterface(uint32_t index) { return CSimModem::Instance().ArriveInterface(index) ? 0 : -1; }

int32_t SimModem_SetRadio(uint32_t index, int32_t hardware, int32_t software) {
    return CSimModem::Instance().SetRadio(index, hardware, software) ? 0 : -1;
}

int32_t SimModem_SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId,
                                 const wchar_t* providerName) {
    return CSimModem::Instance().SetRegistration(index, state, providerId, providerName) ? 0 : -1;
}

int32_t SimModem_SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer, const wchar_t* firmware) {
    return CSimModem::Instance().SetModel(index, model, manufacturer, firmware) ? 0 : -1;
}

int32_t SimModem_SetServices(uint32_t index, const wchar_t* services) {
    return CSimModem::Instance().SetServices(index, ServiceList(services)) ? 0 : -1;
}

int32_t SimModem_SetTransmitting(uint32_t index, uint32_t transmitting) {
    return CSimModem::Instance().SetTransmitting(index, transmitting != 0) ? 0 : -1;
}

int32_t SimModem_SetDiagState(uint32_t index, const SimModemDiagState* state, const uint8_t* image,
                              uint32_t imageLength) {
    if (!state) return -1;
    return CSimModem::Instance().SetDiagState(index, *state, image, imageLength) ? 0 : -1;
}

int32_t SimModem_AddFault(const SimModemFault* fault) {
    if (!fault || fault->kind < SIMMODEM_FAULT_HRESULT || fault->kind > SIMMODEM_FAULT_HOLD) return -1;
    simmodem::FaultSpec f;
    f.kind = fault->kind;
    f.method = fault->method;
    f.interfaceIndex = fault->interfaceIndex;
    f.service = fault->service ? fault->service : L"";
    f.cid = fault->cid;
    f.op = fault->op;
    f.sink = fault->sink;
    f.count = fault->count;
    f.hr = fault->hr;
    f.reply = Copy(fault->reply, fault->replyLength);
    f.rearriveMs = fault->rearriveMs;
    f.delayMs = fault->delayMs;
    CSimModem::Instance().AddFault(f);
    return 0;
}

void SimModem_ClearFaults(void) { CSimModem::Instance().ClearFaults(); }

int32_t SimModem_ApplyChange(const wchar_t* text) {
    return text && CSimModem::Instance().ApplyChange(text) ? 0 : -1;
}

uint32_t SimModem_GetLogCount(void) { return static_cast<uint32_t>(CSimModem::Instance().LogCount()); }

int32_t SimModem_GetLogEntry(uint32_t index, SimModemLogEntry* entry, uint8_t* payload, uint32_t capacity) {
    if (!entry) return -1;
    std::vector<simmodem::LogEntry> log = CSimModem::Instance().LogSnapshot();
    if (index >= log.size()) return -1;
    const simmodem::LogEntry& e = log[index];
    *entry = SimModemLogEntry();
    entry->sequence = e.sequence;
    entry->interfaceIndex = e.interfaceIndex;
    entry->op = e.op;
    entry->cid = e.cid;
    entry->requestId = e.requestId;
    wcsncpy(entry->service, e.service.c_str(), 39);
    entry->payloadLength = static_cast<uint32_t>(e.payload.size());
    if (payload && capacity >= e.payload.size() && !e.payload.empty())
        memcpy(payload, e.payload.data(), e.payload.size());
    return 0;
}

int32_t SimModem_WaitForLog(uint32_t opMask, uint32_t count, uint32_t timeoutMs) {
    return CSimModem::Instance().WaitForLog(opMask, count, timeoutMs) ? 0 : -1;
}

int32_t SimModem_WaitIdle(uint32_t timeoutMs) { return CSimModem::Instance().WaitIdle(timeoutMs) ? 0 : -1; }

int32_t SimModem_GetSarConfig(uint32_t index, SimModemSarConfig* config) {
    CSimModem& modem = CSimModem::Instance();
    SimRecordPtr r = modem.Record(index);
    if (!r || !config) return -1;
    SimLock lock = modem.Lock();
    const simcodec::SarConfig& c = r->store.sarConfig;
    *config = SimModemSarConfig();
    config->mode = c.mode;
    config->backOffStatus = c.backOffStatus;
    config->wifiIntegration = c.wifiIntegration;
    config->elementCount = static_cast<uint32_t>(c.states.size());
    for (size_t i = 0; i < c.states.size() && i < 16; ++i) {
        config->states[i].antennaIndex = c.states[i].antennaIndex;
        config->states[i].backOffIndex = c.states[i].backOffIndex;
    }
    return 0;
}

int32_t SimModem_GetDiagState(uint32_t index, SimModemDiagState* state) {
    CSimModem& modem = CSimModem::Instance();
    SimRecordPtr r = modem.Record(index);
    if (!r || !state) return -1;
    SimLock lock = modem.Lock();
    state->tableIndex = r->store.tableIndex;
    state->tableCrc = r->store.tableCrc;
    state->sarEnable = r->store.sarEnable;
    state->imageLength = static_cast<uint32_t>(r->store.image.size());
    return 0;
}

int32_t SimModem_GetSarImage(uint32_t index, uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    CSimModem& modem = CSimModem::Instance();
    SimRecordPtr r = modem.Record(index);
    if (!r || !length) return -1;
    SimLock lock = modem.Lock();
    const simcodec::Bytes& image = r->store.image;
    *length = static_cast<uint32_t>(image.size());
    if (image.size() > capacity || (!buffer && !image.empty())) return -1;
    if (!image.empty()) memcpy(buffer, image.data(), image.size());
    return 0;
}

int32_t SimModem_GetTxState(uint32_t index, SimModemTxState* state) {
    CSimModem& modem = CSimModem::Instance();
    SimRecordPtr r = modem.Record(index);
    if (!r || !state) return -1;
    SimLock lock = modem.Lock();
    state->notificationEnabled = r->store.txEnable;
    state->hysteresis = r->store.txHysteresis;
    state->transmitting = r->store.transmitting;
    return 0;
}

uint32_t SimModem_GetAdvisedCount(uint32_t sink) { return CSimModem::Instance().AdvisedCount(sink); }

uint32_t SimModem_GetObjectCount(uint32_t kind) { return CSimModem::Instance().ObjectCount(kind); }

int32_t SimModem_SetDelivery(uint32_t mode) { return CSimModem::Instance().SetDelivery(mode) ? 0 : -1; }

uint32_t SimModem_GetDelivery(void) { return CSimModem::Instance().Delivery(); }

uint32_t SimModem_GetOpenSessionCount(uint32_t index, const wchar_t* service) {
    return CSimModem::Instance().OpenSessionCount(index, service);
}

uint32_t SimModem_GetPrimaryThreadId(void) { return CSimModem::Instance().PrimaryThreadId(); }

int32_t SimModem_IsDeliveryThread(uint32_t threadId) {
    return CSimModem::Instance().IsDeliveryThread(threadId) ? 1 : 0;
}

uint32_t SimModem_ReleaseHeld(uint32_t count) { return CSimModem::Instance().ReleaseHeld(count); }

uint32_t SimModem_GetHeldCount(void) { return CSimModem::Instance().HeldCount(); }

int32_t SimModem_WaitForHeld(uint32_t count, uint32_t timeoutMs) {
    return CSimModem::Instance().WaitForHeld(count, timeoutMs) ? 0 : -1;
}

}  // extern "C"

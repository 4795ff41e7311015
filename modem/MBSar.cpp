#include "MBSar.h"

#include "CClock.h"
#include "Logger.h"
#include "WideToUtf8.h"

#include <roapi.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

namespace {
// The default modem at program start; looked up again by GetModemModel while null.
std::shared_ptr<ISarModem> DefaultModemAtStart() {
    try {
        return SarGetDefaultModem();
    } catch (const hresult_error&) {
        return nullptr;
    }
}

// InitSAR runs on the worker without the modem object's lock while EnableTarvo
// runs under it on other threads: one lock orders every SAR configuration
// command and the memory of the last state they leave.
std::mutex g_sarCommandLock;

// A command whose completion never comes would hold the modem object's lock for
// good; past this bound (30 s on the system's clock, see SarAwaitCompletion)
// the wait counts as a platform failure.
const DWORD kCommandCompletionBoundMs = 30000;

// "<format>" with the HRESULT and message, in a buffer of 260 wide characters.
std::string ErrorLine(const wchar_t* format, const hresult_error& error) {
    wchar_t buffer[MAX_PATH] = {};
    _snwprintf(buffer, MAX_PATH - 1, format, static_cast<unsigned>(error.code()), error.message().c_str());
    buffer[MAX_PATH - 1] = L'\0';
    return WideToUtf8(buffer);
}

// RoInitialize for the span of one command; RoUninitialize only when it succeeded.
class CRoScope {
public:
    CRoScope() : m_hr(::RoInitialize(RO_INIT_MULTITHREADED)) {}
    ~CRoScope() {
        if (m_hr == S_OK || m_hr == S_FALSE) ::RoUninitialize();
    }

private:
    HRESULT m_hr;
};

// Blocks until the operation's Completed handler has run, bounded or not; never
// past the calling thread's stop: the worker's stop must not wait for a silent modem.
template <typename TResult>
void AwaitCompletion(const std::shared_ptr<ISarAsync<TResult>>& operation, bool bounded) {
    SarAwaitCompletion(*operation, bounded ? kCommandCompletionBoundMs : INFINITE);
}

uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

std::vector<uint8_t> Encode(const SarConfigPayload& payload) {
    const uint32_t fields[] = {payload.SARMode,     payload.SARBackOffStatus, payload.ElementCount,
                               payload.StateOffset, payload.StateSize,        payload.SARAntennaIndex,
                               payload.SARBackOffIndex};
    std::vector<uint8_t> bytes;
    for (uint32_t field : fields)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
    return bytes;
}

SarConfigResponse Decode(const std::vector<uint8_t>& reply) {
    SarConfigResponse r;
    r.SARMode = static_cast<int32_t>(ReadU32(reply, 0));
    r.SARBackOffStatus = static_cast<int32_t>(ReadU32(reply, 4));
    r.SARWifiIntegration = static_cast<int32_t>(ReadU32(reply, 8));
    r.ElementCount = ReadU32(reply, 12);
    r.StateOffset = ReadU32(reply, 16);
    r.StateSize = ReadU32(reply, 20);
    r.SARAntennaIndex = ReadU32(reply, 24);
    r.SARBackOffIndex = ReadU32(reply, 28);
    return r;
}

std::string ReplyLog(const SarConfigResponse& r) {
    std::string text;
    text += "\nSAR Mode: " + std::to_string(r.SARMode);
    text += "\nSAR BackOff Status: " + std::to_string(r.SARBackOffStatus);
    text += "\nSAR Wifi Integration: " + std::to_string(r.SARWifiIntegration);
    text += "\nElement Count: " + std::to_string(r.ElementCount);
    text += "\nSAR Config Status Offset: " + std::to_string(r.StateOffset);
    text += "\nSAR Config Status Size: " + std::to_string(r.StateSize);
    text += "\nSAR Antenna index: " + std::to_string(r.SARAntennaIndex);
    text += "\nSAR Backoff index: " + std::to_string(r.SARBackOffIndex);
    return text;
}

enum class CommandOutcome { Accepted, Refused, NoSession };

struct CommandReply {
    int status = 0;
    bool decoded = false;  // the reply held all 32 bytes
    SarConfigResponse fields{};
};

// One MBIM_CID_MS_SAR_CONFIG set on a new session of the default modem's
// SAR-control service. Raises hresult_error for every platform failure.
// issued is set once the platform has taken the set: from then on a failure
// leaves open whether the modem carried it out.
CommandOutcome SendSarConfig(const char* functionName, const SarConfigPayload& payload, const std::string& failurePrefix,
                             CommandReply& reply, bool& issued) {
    const std::vector<uint8_t> buffer = Encode(payload);
    if (!g_modem) throw hresult_error(E_POINTER);
    std::shared_ptr<ISarDeviceService> service = g_modem->GetDeviceService(UUID_MS_SAR);
    if (!service) throw hresult_error(E_POINTER);
    std::shared_ptr<ISarCommandSession> session = service->OpenCommandSession();
    if (!session) return CommandOutcome::NoSession;

    std::shared_ptr<ISarAsync<SarCommandResult>> operation =
        session->SendSetCommandAsync(MBIM_CID_MS_SAR_CONFIG, buffer);
    issued = true;
    AwaitCompletion(operation, true);
    SarCommandResult result = operation->GetResults();
    reply.status = static_cast<int>(result.StatusCode);
    if (result.StatusCode != 0) {
        LogWrite(functionName, failurePrefix + std::to_string(reply.status), 2);
        return CommandOutcome::Refused;
    }
    if (result.ResponseData.size() < sizeof(SarConfigResponse)) {
        // Accepted, but too short to decode: nothing past its end is read.
        LogWrite(functionName,
                 "SAR config reply too short: " + std::to_string(result.ResponseData.size()) + " bytes", 2);
        return CommandOutcome::Accepted;
    }
    reply.fields = Decode(result.ResponseData);
    reply.decoded = true;
    LogWrite(functionName, ReplyLog(reply.fields), 0);
    return CommandOutcome::Accepted;
}

SarConfigPayload MakePayload(uint32_t backOffStatus, uint32_t antennaIndex, uint32_t backOffIndex) {
    SarConfigPayload payload;
    payload.SARMode = 1;
    payload.SARBackOffStatus = backOffStatus;
    payload.ElementCount = 1;
    payload.StateOffset = 20;
    payload.StateSize = 8;
    payload.SARAntennaIndex = antennaIndex;
    payload.SARBackOffIndex = backOffIndex;
    return payload;
}

// Once a set has gone out and until its answer is read, what the modem holds is
// not known: whatever ends the command then (a bound, the stop, a failed
// operation, an exception of any kind) leaves the memory unknown.
class COutcomePending {
public:
    ~COutcomePending() {
        if (m_bIssued) g_dwCurrentTarvoState = kTarvoStateUnknown;
    }
    bool m_bIssued = false;
};

// Runs one command; on acceptance stores newState, then logs the back-off line.
// A refusal leaves the memory as it was.
int RunSarConfig(const char* functionName, const SarConfigPayload& payload, const std::string& failurePrefix,
                 uint32_t newState) {
    COutcomePending pending;
    try {
        CommandReply reply;
        CommandOutcome outcome = SendSarConfig(functionName, payload, failurePrefix, reply, pending.m_bIssued);
        pending.m_bIssued = false;
        if (outcome == CommandOutcome::NoSession) return 0;
        if (outcome == CommandOutcome::Refused) return reply.status;
        g_dwCurrentTarvoState = newState;
        if (reply.decoded)
            LogWrite(functionName, reply.fields.SARBackOffStatus != 0 ? "Back off enabled" : "Back off disabled", 0);
        return 0;
    } catch (const hresult_error& error) {
        LogWrite(functionName, ErrorLine(L" 0x%08x - %ls", error), 2);
        if (error.code() == SAR_E_STOPPED && CClock::IsStopRequested())
            LogWrite(functionName, "Stop requested, SAR command wait ended", 1);
        return 1;
    }
}

template <typename TResult>
TResult AwaitResults(const std::shared_ptr<ISarAsync<TResult>>& operation) {
    AwaitCompletion(operation, false);
    return operation->GetResults();
}
}  // namespace

std::shared_ptr<ISarModem> g_modem = DefaultModemAtStart();
std::shared_ptr<ISarManager> g_sarManager;
uint32_t g_dwCurrentTarvoState = 0;
HANDLE g_hTxEvent = nullptr;
uint8_t g_bIsTransmitting = 0;

int MBSar::GetModemModel(wchar_t* modelName) {
    if (!g_modem) {
        for (int attempt = 0; attempt < 6 && !g_modem; ++attempt) {
            LogWrite("MBSar::GetModemModel", "Start Sleep", 1);
            // The worker asks for the model ten times: 30 s a time must not hold a service stop.
            if (!CClock::SleepUnlessStopped(5000)) {
                LogWrite("MBSar::GetModemModel", "Stop requested, modem look-up ended", 1);
                return 1;
            }
            LogWrite("MBSar::GetModemModel", "End Sleep.", 1);
            g_modem = SarGetDefaultModem();
        }
        if (!g_modem) return 1;
    }
    std::wstring model = g_modem->Model();
    wcsncpy_s(modelName, MAX_PATH, model.c_str(), _TRUNCATE);
    return 0;
}

int MBSar::GetRadioState() {
    if (!g_modem) return 2;
    try {
        return g_modem->CurrentRadioState();
    } catch (const hresult_error& error) {
        LogWrite("MBSar::GetRadioState", ErrorLine(L"0x%08x - %ls", error), 2);
        return 0;
    }
}

int MBSar::InitSAR() {
    CRoScope apartment;
    std::lock_guard<std::mutex> guard(g_sarCommandLock);
    return RunSarConfig("MBSar::InitSAR", MakePayload(0, 0, 1), "set sar config failed", 0);
}

int MBSar::EnableTarvo(int state, int backoffOn, int antennaIndex, int backoffIndex) {
    CRoScope apartment;
    std::lock_guard<std::mutex> guard(g_sarCommandLock);
    if (GetRadioState() == 0) {
        LogWrite("MBSar::EnableTarvo", "Radio state is Off.", 2);
        return 1;
    }
    if (static_cast<uint32_t>(state) == g_dwCurrentTarvoState) {
        LogWrite("MBSar::EnableTarvo", "No change in Tarvo status: " + std::to_string(state), 0);
        return 0;
    }
    return RunSarConfig("MBSar::EnableTarvo",
                        MakePayload(backoffOn != 0 ? 1 : 0, static_cast<uint32_t>(antennaIndex),
                                    static_cast<uint32_t>(backoffIndex)),
                        "set sar config failed, return code = ", static_cast<uint32_t>(state));
}

void MBSar::ForgetTarvoState() {
    std::lock_guard<std::mutex> guard(g_sarCommandLock);
    g_dwCurrentTarvoState = kTarvoStateUnknown;
}

GUID* MBSar::GetSarServiceId(GUID* id) {
    if (id) *id = UUID_MS_SAR;
    return id;
}

int MBSar::TxStatusMonitor(HANDLE event) {
    LogWrite("MBSar::TxStatusMonitor", "Starting WWAN Transmission monitor", 1);
    HRESULT hr = ::RoInitialize(RO_INIT_MULTITHREADED);
    if (FAILED(hr)) throw hresult_error(hr);
    try {
        if (!g_modem) {
            // No default modem: as a modem without SAR control.
            g_sarManager.reset();
            g_hTxEvent = event;
            LogWrite("MBSar::TxStatusMonitor", "Couldn't get valid SarManager.", 2);
            return E_POINTER;
        }
        std::shared_ptr<ISarModemConfiguration> configuration = AwaitResults(g_modem->GetCurrentConfigurationAsync());
        g_sarManager = configuration ? configuration->SarManager() : nullptr;
        g_hTxEvent = event;
        if (!g_sarManager) {
            LogWrite("MBSar::TxStatusMonitor", "Couldn't get valid SarManager.", 2);
            return E_POINTER;
        }
        // 5 s in units of 100 ns.
        AwaitResults(g_sarManager->SetTransmissionStateChangedHysteresisAsync(50000000));
        g_sarManager->AddTransmissionStateChanged(&MBSar::OnTransmissionStateChanged);
        g_sarManager->StartTransmissionStateMonitoring();
        return 0;
    } catch (const hresult_error& error) {
        LogWrite("MBSar::TxStatusMonitor", ErrorLine(L"0x%08x - %ls\n", error), 2);
        return 0;
    }
}

void MBSar::OnTransmissionStateChanged(const std::shared_ptr<ISarManager>& sender, bool isTransmitting) {
    g_bIsTransmitting = isTransmitting ? 1 : 0;
    ::SetEvent(g_hTxEvent);
    LogWrite("MBSar::TxStatusMonitor::<lambda>::operator()", "Event Trigger @@@", 1);
}

bool MBSar::IsTransmitting() { return g_bIsTransmitting != 0; }

void MBSar::StopTransmitMonitor() {
    LogWrite("MBSar::StopTransmitMonitor", "Stopping WWAN Transmission Monitor", 1);
    try {
        if (g_sarManager) g_sarManager->StopTransmissionStateMonitoring();
    } catch (const hresult_error& error) {
        LogWrite("MBSar::StopTransmitMonitor", ErrorLine(L"0x%08x - %ls\n", error), 2);
    }
}

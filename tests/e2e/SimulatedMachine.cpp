#include "SimulatedMachine.h"

#include "CSimModemRemote.h"
#include "ServiceHarness.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <chrono>

namespace machine {

const char kNotificationKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";
const char kThermovaKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification";

namespace {
const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
}  // namespace

void SetPlatform(const char* biosVersion, const char* baseBoardProduct) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
    testsupport::SetString(kBios, "BIOSVersion", biosVersion);
    testsupport::SetString(kBios, "BaseBoardProduct", baseBoardProduct);
}

bool StartDriver() {
    if (simpm::Install() != 0 || simpm::Start() != 0) return false;
    return simpm::Reset() && simpm::SetPSensor(true, false) && simpm::SetThermova(true, true);
}

void StopDriver() { simpm::Stop(); }

void SetSensorValues(DWORD type2, DWORD type22) {
    testsupport::DeleteTree("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR");
    testsupport::SetDword(kNotificationKey, "Type2", type2);
    testsupport::SetDword(kThermovaKey, "Type22", type22);
}

DWORD CurrentStatus() {
    DWORD value = 0;
    testsupport::GetDword(kParameters, "CurrentStatus", value);
    return value;
}

void SetCurrentStatus(DWORD value) { testsupport::SetDword(kParameters, "CurrentStatus", value); }

std::vector<simmodem::Bytes> SarConfigSets(const std::wstring& modemLog) {
    std::vector<simmodem::Bytes> sets;
    for (const simmodem::LogEntry& e : CSimModemRemote::ReadLog(modemLog))
        if (e.op == SIMMODEM_OP_SET && e.cid == 1 && e.payload.size() >= 28) sets.push_back(e.payload);
    return sets;
}

bool WaitForSarConfigSets(const std::wstring& modemLog, size_t count, DWORD timeoutMs) {
    return testsupport::WaitUntil([&] { return SarConfigSets(modemLog).size() >= count; },
                                  std::chrono::milliseconds(timeoutMs));
}

simmodem::Bytes SarConfigPayload(uint32_t backOff, uint32_t antenna, uint32_t index) {
    const uint32_t fields[] = {1, backOff, 1, 20, 8, antenna, index};
    simmodem::Bytes bytes;
    for (uint32_t field : fields)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
    return bytes;
}

uint32_t PayloadField(const simmodem::Bytes& payload, size_t offset) {
    return payload[offset] | payload[offset + 1] << 8 | payload[offset + 2] << 16 |
           static_cast<uint32_t>(payload[offset + 3]) << 24;
}

void SetDetection(bool objectNear) { simpm::SetPSensor(true, objectNear); }

bool StoredSarConfig(uint32_t& backOff, uint32_t& index) {
    simreg::Status status;
    if (!CSimModemRemote::ReadStatus(status) || status.interfaces.empty()) return false;
    const simmodem::Bytes& reply = status.interfaces[0].sarConfigReply;
    if (reply.size() < 32) return false;
    backOff = PayloadField(reply, 4);
    index = PayloadField(reply, 28);
    return true;
}

bool WaitForHeldState(uint32_t backOff, uint32_t index, DWORD status, DWORD timeoutMs) {
    return testsupport::WaitUntil(
        [&] {
            uint32_t heldBackOff = 0;
            uint32_t heldIndex = 0;
            return StoredSarConfig(heldBackOff, heldIndex) && heldBackOff == backOff && heldIndex == index &&
                   CurrentStatus() == status;
        },
        std::chrono::milliseconds(timeoutMs));
}

bool WaitForStartUp() { return CServiceHarness::WaitForLog("CTarvoApplication::MonitorPowerOn\tDEBUG\tMonitor On", 30000); }

const char kConnMgmtKey[] = "Software\\TarvoSim\\ConnectionMgmt";

bool SetUpFoxconnLumo(const std::wstring& modemLog, const std::wstring& libraryLog,
                      const std::vector<BYTE>& moduleTable, const std::vector<simmodem::FaultSpec>& faults) {
    testsupport::RemoveFile(modemLog);
    testsupport::RemoveFile(libraryLog);
    if (!StartDriver()) return false;
    SetPlatform("Q47XV", "7KQA");
    SetSensorValues(kBit25);  // away, for the Foxconn level rule
    SetCurrentStatus(0);
    simmodem::StartState state;
    state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
    state.settings.logFile = modemLog;
    state.faults = faults;
    testsupport::DeleteTree(kConnMgmtKey);
    return CSimModemRemote::WriteStartState(state) && testsupport::SetBinary(kConnMgmtKey, "ModuleTable", moduleTable) &&
           testsupport::SetString(kConnMgmtKey, "RequestLog", std::string(libraryLog.begin(), libraryLog.end()));
}

void TearDownFoxconnLumo() {
    StopDriver();
    CSimModemRemote::Clear();
    testsupport::DeleteTree(kConnMgmtKey);
}

}  // namespace machine

// The simulated notebook an end-to-end run needs around the real service:
// firmware ids, the power-management service's sensor values, the
// power-management driver and the modem, and what the modem received.
#pragma once

#include "SimModemTypes.h"

#include <windows.h>
#include <string>
#include <vector>

namespace machine {

const DWORD kBit25 = 0x2000000;
const DWORD kBit26 = 0x4000000;
extern const char kNotificationKey[];
extern const char kThermovaKey[];

// "BIOSVersion" and "BaseBoardProduct" of the firmware key.
void SetPlatform(const char* biosVersion, const char* baseBoardProduct);
// The driver installed, started and reset: a P-sensor (detection off) and an
// unstable Thermova, which leaves the back-off to the sensor. False when it did not start.
bool StartDriver();
void StopDriver();
// "Type2" and "Type22" of the power-management service, created afresh.
void SetSensorValues(DWORD type2, DWORD type22 = 0);
DWORD CurrentStatus();
void SetCurrentStatus(DWORD value);

// The SAR configuration sets in a simulated modem's log file, in order.
std::vector<simmodem::Bytes> SarConfigSets(const std::wstring& modemLog);
bool WaitForSarConfigSets(const std::wstring& modemLog, size_t count, DWORD timeoutMs);
// The 28-byte set as the service sends it: OS-controlled, one state.
simmodem::Bytes SarConfigPayload(uint32_t backOff, uint32_t antenna, uint32_t index);
uint32_t PayloadField(const simmodem::Bytes& payload, size_t offset);

// What the modem holds now: the back-off status and table index of its stored
// SAR configuration (the first interface's). False when it cannot be read.
bool StoredSarConfig(uint32_t& backOff, uint32_t& index);
// Waits until the modem holds that back-off status and index and "CurrentStatus" is status.
bool WaitForHeldState(uint32_t backOff, uint32_t index, DWORD status, DWORD timeoutMs);

// The driver's P-sensor reading; tests keep it in step with "Type2", as the
// power-management service and its driver are on a real machine.
void SetDetection(bool objectNear);

// Waits until the service's start-up has applied the initial state, which it
// does once the P-sensor watcher watches: from then on every sensor change is
// notified (it reads the log file).
bool WaitForStartUp();

// The Lumo platform with the Foxconn module, as a Foxconn run needs it: the
// driver with a P-sensor reading away, the simulated modem "Qualcomm
// Snapdragon X55 5G" logging to modemLog, and ConnectionMgmt.dll holding
// moduleTable (the table the module has already) and logging its requests to
// libraryLog; the modem with the given faults from its start. False when a
// part cannot be set.
extern const char kConnMgmtKey[];
bool SetUpFoxconnLumo(const std::wstring& modemLog, const std::wstring& libraryLog,
                      const std::vector<BYTE>& moduleTable, const std::vector<simmodem::FaultSpec>& faults = {});
// The driver stopped and the modem's and the library's settings removed.
void TearDownFoxconnLumo();

}  // namespace machine

// The service demo: TARVOSVC.exe installed and started as a Wine service on a
// Lumo machine with the simulated power-management driver, modem and vendor
// library; with the Nuvik modem, what the start-up did to the module's SAR
// table (write, verification, reboot); then the P-sensor is toggled a few
// times and each toggle's SAR command at the modem and "CurrentStatus" are
// printed, then the log and the service's registry values. Every step is
// checked: the exit code is 0 only when all of them did what they should.
//
//   TarvoDemo.exe [foxconn|nuvik]
#include "CSimModemRemote.h"
#include "ServiceHarness.h"
#include "SimPmControl.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {
const wchar_t kModemLog[] = L"C:\\TarvoDemo\\modem.log";
const uint32_t kModuleIndexBefore = 1;  // another table than the platform's file
using machine::kBit25;
using machine::kBit26;

// Nuvik vendor service commands, as the modem's log names them.
const uint32_t kDiagSarData = 2;
const uint32_t kDiagSarTable = 4;
const uint32_t kDiagDeviceRoot = 5;
const uint32_t kSarPacketRead = 631;
const uint32_t kSarPacketWrite = 632;

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

std::vector<std::string> g_failures;

// A step that did not do what it should: said where it happens, and counted.
void Fail(const std::string& what) {
    Say("    FAILED: %s\n", what.c_str());
    g_failures.push_back(what);
}

bool Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
    return ok;
}

void PrintLog() {
    std::string log = CServiceHarness::ReadLog();
    std::fwrite(log.data(), 1, log.size(), stdout);
}

int Finish() {
    if (g_failures.empty()) {
        Say("\n== demo passed\n");
        return 0;
    }
    Say("\n== demo FAILED, %zu step(s):\n", g_failures.size());
    for (const std::string& failure : g_failures) Say("  %s\n", failure.c_str());
    return 1;
}

std::vector<simmodem::Bytes> SarConfigSets() { return machine::SarConfigSets(kModemLog); }

void PrintCommand(const simmodem::Bytes& payload) {
    Say("    modem received SAR configuration: mode %u, back-off %s, antenna %u, back-off index %u\n",
        machine::PayloadField(payload, 0), machine::PayloadField(payload, 4) ? "enabled" : "disabled",
        machine::PayloadField(payload, 20), machine::PayloadField(payload, 24));
}

bool IsDiag(const simmodem::LogEntry& e, uint32_t op, uint32_t cid) {
    return e.op == op && e.cid == cid && _wcsicmp(e.service.c_str(), SIMMODEM_SERVICE_DIAG) == 0;
}

// The packet kind of a SAR data command: u16 at byte 4 of the header, which
// holds no byte that the escaping changes.
uint32_t SarPacketKind(const simmodem::Bytes& payload) {
    return payload.size() >= 6 ? static_cast<uint32_t>(payload[4] | payload[5] << 8) : 0;
}

uint32_t U16(const simmodem::Bytes& payload, size_t offset) {
    return payload.size() >= offset + 2 ? static_cast<uint32_t>(payload[offset] | payload[offset + 1] << 8) : 0;
}

// What the start-up did to the module's SAR table, from the commands the modem
// received, the state it keeps and the service's own verdicts.
void ShowNuvikTable(const std::vector<BYTE>& efs) {
    std::vector<simmodem::LogEntry> log = CSimModemRemote::ReadLog(kModemLog);
    size_t writes = 0, reads = 0, reboots = 0, tableQueriesAfterSet = 0;
    bool tableSet = false;
    uint32_t setIndex = 0, setCrc = 0;
    for (const simmodem::LogEntry& e : log) {
        if (IsDiag(e, SIMMODEM_OP_SET, kDiagSarData)) {
            uint32_t kind = SarPacketKind(e.payload);
            writes += kind == kSarPacketWrite;
            reads += kind == kSarPacketRead;
        } else if (IsDiag(e, SIMMODEM_OP_SET, kDiagSarTable) && e.payload.size() == 4) {
            tableSet = true;
            setIndex = U16(e.payload, 0);
            setCrc = U16(e.payload, 2);
        } else if (IsDiag(e, SIMMODEM_OP_QUERY, kDiagSarTable) && tableSet) {
            ++tableQueriesAfterSet;
        } else if (IsDiag(e, SIMMODEM_OP_SET, kDiagDeviceRoot)) {
            ++reboots;
        }
    }

    Say("  SAR table: the module holds table index %u; the platform's SAREFS_HX730R_Lumo is %zu bytes\n",
        kModuleIndexBefore, efs.size());
    Say("    write: %zu SAR data packets, then table index %u and CRC 0x%04x set\n", writes, setIndex, setCrc);
    Check(writes > 0, "the SAR table was not written into the module");
    Check(tableSet && setIndex == 2, "the table index 2 and the file's CRC were not set");
    Say("    verification: index and CRC queried %zu time(s), the table read back in %zu read packets\n",
        tableQueriesAfterSet, reads);
    Check(tableQueriesAfterSet > 0 && reads > 0, "the write was not read back");
    if (Check(CServiceHarness::LogHas("CWWANNuvik::SetSarValueSetting\tINFO\tEFSFile has written to module correctly!"),
              "the service did not find the module's table equal to the file"))
        Say("      service log: \"EFSFile has written to module correctly!\"\n");
    Say("    module reboot: %zu device-root command(s)\n", reboots);
    Check(reboots == 1, "the module was not rebooted once");
    if (Check(CServiceHarness::LogHas("CWWANNuvik::DoModuleReboot\tINFO\t==> Module now is rebooting!") &&
                  CServiceHarness::LogHas("CWWANNuvik::DoModuleReboot\tINFO\t==> Module reboot successfully!!"),
              "the service did not see the module leave and come back"))
        Say("      service log: \"==> Module now is rebooting!\", then \"==> Module reboot successfully!!\"\n");

    simmodem::Bytes file(efs.begin(), efs.end());
    simreg::Status status;
    bool holds = CSimModemRemote::WaitForStatus(
        [&](const simreg::Status& s) {
            return s.interfaces.size() == 1 && s.interfaces[0].present && s.interfaces[0].sarImage == file;
        },
        5000, &status);
    if (!status.interfaces.empty()) {
        const simreg::InterfaceStatus& module = status.interfaces[0];
        Say("    module now: %s, table index %u, CRC 0x%04x, %zu-byte table %s the file\n",
            module.present ? "present" : "absent", module.tableIndex, module.tableCrc, module.sarImage.size(),
            module.sarImage == file ? "equal to" : "NOT equal to");
        Check(module.tableIndex == setIndex && module.tableCrc == setCrc, "the module does not keep the table set");
    }
    Check(holds, "the module does not hold the platform's table");
}

void PrintRegistry(HKEY root, const std::string& path, int depth) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    Say("%*s[%s]\n", depth * 2, "", path.c_str());
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof(name);
        BYTE data[1024];
        DWORD dataSize = sizeof(data) - 2;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        data[dataSize] = 0;
        data[dataSize + 1] = 0;
        if (type == REG_DWORD && dataSize == 4)
            Say("%*s%s = 0x%x (REG_DWORD)\n", depth * 2 + 2, "", name[0] ? name : "(default)",
                *reinterpret_cast<DWORD*>(data));
        else if (type == REG_SZ || type == REG_EXPAND_SZ)
            Say("%*s%s = \"%s\"\n", depth * 2 + 2, "", name[0] ? name : "(default)", reinterpret_cast<char*>(data));
        else
            Say("%*s%s = (%lu bytes, type %lu)\n", depth * 2 + 2, "", name, dataSize, type);
    }
    for (DWORD i = 0;; ++i) {
        char sub[256];
        DWORD subSize = sizeof(sub);
        if (RegEnumKeyExA(key, i, sub, &subSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        PrintRegistry(root, path + "\\" + sub, depth + 1);
    }
    RegCloseKey(key);
}
}  // namespace

int main(int argc, char** argv) {
    const bool nuvik = argc > 1 && std::string(argv[1]) == "nuvik";
    Say("== TARVOSVC demo: Lumo platform (BIOS Q47XV, machine type 7KQA), %s modem\n",
        nuvik ? "Nuvik HX730R-GL" : "Foxconn \"Qualcomm Snapdragon X55 5G\"");
    CreateDirectoryW(L"C:\\TarvoDemo", nullptr);
    testsupport::RemoveFile(kModemLog);

    // The machine: driver with a P-sensor and an unstable Thermova (the radio
    // off, for the service to switch on), firmware ids, sensor values.
    if (!machine::StartDriver()) {
        Fail("the simulated power-management driver did not start");
        return Finish();
    }
    simpm::SetRadio(false);
    machine::SetPlatform("Q47XV Ver. 1.23", "7KQA000");
    machine::SetSensorValues(nuvik ? 0 : kBit25);

    // The modem, and what its vendor path needs next to the service.
    simmodem::StartState modem;
    modem.interfaces = {nuvik ? simmodem::InterfaceSpec::Nuvik() : simmodem::InterfaceSpec::Qualcomm()};
    modem.interfaces[0].interfaceId = L"{7B0E1C2A-5D6F-4E3B-9A8C-1F2E3D4C5B6A}";
    modem.settings.logFile = kModemLog;
    std::vector<std::wstring> libraries;
    std::vector<BYTE> efs;
    if (nuvik) {
        // The module holds another table than the platform's file: it is written and the module rebooted.
        modem.interfaces[0].tableIndex = kModuleIndexBefore;
        testsupport::SetString("SOFTWARE\\TarvoSim\\WwanAdapter", "AdapterName",
                               "{7B0E1C2A-5D6F-4E3B-9A8C-1F2E3D4C5B6A}");
        efs.resize(2048);
        for (size_t i = 0; i < efs.size(); ++i) efs[i] = static_cast<BYTE>(i * 7 + 3);
        // Beside the service's current folder: the system folder on Windows, C:\windows under Wine.
        testsupport::WriteFileBytes(L"C:\\windows\\SAREFS_HX730R_Lumo", efs);
        libraries.push_back(testsupport::ProductDirW() + L"\\Kessa.dll");
    } else {
        // An empty module: the first start-up writes the band table, the next one finds it.
        testsupport::DeleteTree("Software\\TarvoSim\\ConnectionMgmt");
        testsupport::SetDword("Software\\TarvoSim\\ConnectionMgmt", "Persist", 1);
        testsupport::DeleteTree("SOFTWARE\\TarvoSim\\WwanAdapter");
        libraries.push_back(testsupport::SimDirW() + L"\\ConnectionMgmt.dll");
    }
    CSimModemRemote::WriteStartState(modem);
    machine::SetCurrentStatus(0);

    // The service, from a folder of its own with its library beside it; the
    // long start-up waits run a hundred times faster.
    CServiceHarness harness(CServiceHarness::MakeInstall(nuvik ? L"demo-nuvik" : L"demo-foxconn", libraries));
    harness.Prepare(100);
    int exitCode = harness.Run(L"-install");
    Say("== TARVOSVC.exe -install: exit code %d\n", exitCode);
    if (!Check(exitCode == 0, "-install failed") ||
        !Check(harness.Start() && harness.WaitForState(SERVICE_RUNNING, 10000), "the service did not start")) {
        machine::StopDriver();
        return Finish();
    }
    Say("== service running; waiting for the modem start-up\n");
    // Start-up ends with the initial state applied, the P-sensor watcher watching.
    if (!machine::WaitForSarConfigSets(kModemLog, 1, 30000) || !machine::WaitForStartUp()) {
        Fail("the modem start-up did not complete");
        Say("the service's log:\n");
        PrintLog();
        machine::StopDriver();
        return Finish();
    }
    if (nuvik) ShowNuvikTable(efs);
    Say("  initial SAR configuration:\n");
    PrintCommand(SarConfigSets()[0]);
    Check(machine::PayloadField(SarConfigSets()[0], 4) == 0 && machine::PayloadField(SarConfigSets()[0], 24) == 1,
          "the initial SAR configuration is not back-off off with index 1");
    Say("  CurrentStatus = 0x%x\n", machine::CurrentStatus());

    // Proximity and away in turn, as the power-management service reports them.
    struct Toggle {
        const char* what;
        DWORD type2;
        DWORD status;  // "CurrentStatus" once the toggle is handled: nonzero, back-off index 2; zero, index 1
    };
    const Toggle nuvikToggles[] = {{"proximity (bit 25 toggled)", kBit25, 0x11}, {"away (bit 26 toggled)", kBit25 | kBit26, 0},
                   {"proximity (bit 25 toggled)", kBit26, 0x11}, {"away (bit 26 toggled)", 0, 0}};
    const Toggle foxconnToggles[] = {{"proximity (bit 25 cleared)", 0, 0x11}, {"away (bit 25 set)", kBit25, 0},
                   {"proximity (bit 25 cleared)", 0, 0x11}, {"away (bit 25 set)", kBit25, 0}};
    for (const Toggle& toggle : nuvik ? nuvikToggles : foxconnToggles) {
        size_t before = SarConfigSets().size();
        Say("== sensor: %s, Type2 = 0x%08lx\n", toggle.what, toggle.type2);
        // The driver's reading first, then the value the power-management service publishes.
        machine::SetDetection(toggle.status != 0);
        testsupport::SetDword(machine::kNotificationKey, "Type2", toggle.type2);
        if (!machine::WaitForSarConfigSets(kModemLog, before + 1, 10000)) {
            Fail(std::string("no command reached the modem after ") + toggle.what);
            continue;
        }
        PrintCommand(SarConfigSets().back());
        Check(machine::PayloadField(SarConfigSets().back(), 24) == (toggle.status != 0 ? 2u : 1u),
              std::string("the back-off index sent after ") + toggle.what + " is wrong");
        bool settled = testsupport::WaitUntil([&] { return machine::CurrentStatus() == toggle.status; },
                                              std::chrono::milliseconds(3000));
        Say("    CurrentStatus = 0x%x\n", machine::CurrentStatus());
        Check(settled, std::string("CurrentStatus after ") + toggle.what + " is wrong");
    }

    exitCode = harness.Run(L"-stop");
    Say("== TARVOSVC.exe -stop: exit code %d\n", exitCode);
    Check(exitCode == 0, "-stop failed");
    if (Check(harness.WaitForState(SERVICE_STOPPED, 20000), "the service did not stop")) Say("== service stopped\n");
    Say("\n== log file C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt\n");
    PrintLog();
    Say("\n== the service's registry values\n");
    PrintRegistry(HKEY_LOCAL_MACHINE, CServiceHarness::ServiceKey(), 0);
    exitCode = harness.Run(L"-remove");
    Say("\n== TARVOSVC.exe -remove: exit code %d\n", exitCode);
    Check(exitCode == 0, "-remove failed");
    machine::StopDriver();
    return Finish();
}

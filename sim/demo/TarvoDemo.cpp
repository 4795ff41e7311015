// The service demo: TARVOSVC.exe installed and started as a Wine service on a
// Lumo machine with the simulated power-management driver, modem and vendor
// library; the P-sensor is toggled a few times and each toggle's SAR command
// at the modem and "CurrentStatus" are printed, then the log and the
// service's registry values.
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
using machine::kBit25;
using machine::kBit26;

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

std::vector<simmodem::Bytes> SarConfigSets() { return machine::SarConfigSets(kModemLog); }

void PrintCommand(const simmodem::Bytes& payload) {
    Say("    modem received SAR configuration: mode %u, back-off %s, antenna %u, back-off index %u\n",
        machine::PayloadField(payload, 0), machine::PayloadField(payload, 4) ? "enabled" : "disabled",
        machine::PayloadField(payload, 20), machine::PayloadField(payload, 24));
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
        Say("the simulated power-management driver did not start\n");
        return 1;
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
    if (nuvik) {
        // The module holds another table than the platform's file: it is written and the module rebooted.
        modem.interfaces[0].tableIndex = 1;
        testsupport::SetString("SOFTWARE\\TarvoSim\\WwanAdapter", "AdapterName",
                               "{7B0E1C2A-5D6F-4E3B-9A8C-1F2E3D4C5B6A}");
        std::vector<BYTE> efs(2048);
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
    Say("== TARVOSVC.exe -install: exit code %d\n", harness.Run(L"-install"));
    if (!harness.Start() || !harness.WaitForState(SERVICE_RUNNING, 10000)) {
        Say("the service did not start\n");
        return 1;
    }
    Say("== service running; waiting for the modem start-up\n");
    if (!machine::WaitForSarConfigSets(kModemLog, 1, 30000) || !CServiceHarness::WaitForLog(" cSystemInfoObj.HasPSensor() ", 60000)) {
        Say("the modem start-up did not complete; the service's log:\n");
        std::string log = CServiceHarness::ReadLog();
        std::fwrite(log.data(), 1, log.size(), stdout);
        return 1;
    }
    Say("  initial SAR configuration:\n");
    PrintCommand(SarConfigSets()[0]);
    Say("  CurrentStatus = 0x%x\n", machine::CurrentStatus());

    // Proximity and away in turn, as the power-management service reports them.
    struct Toggle {
        const char* what;
        DWORD type2;
        DWORD status;  // "CurrentStatus" once the toggle is handled
    };
    const Toggle nuvikToggles[] = {{"proximity (bit 25 toggled)", kBit25, 0x11}, {"away (bit 26 toggled)", kBit25 | kBit26, 0},
                   {"proximity (bit 25 toggled)", kBit26, 0x11}, {"away (bit 26 toggled)", 0, 0}};
    const Toggle foxconnToggles[] = {{"proximity (bit 25 cleared)", 0, 0x11}, {"away (bit 25 set)", kBit25, 0},
                   {"proximity (bit 25 cleared)", 0, 0x11}, {"away (bit 25 set)", kBit25, 0}};
    for (const Toggle& toggle : nuvik ? nuvikToggles : foxconnToggles) {
        machine::SettleWatcher();
        size_t before = SarConfigSets().size();
        Say("== sensor: %s, Type2 = 0x%08lx\n", toggle.what, toggle.type2);
        testsupport::SetDword(machine::kNotificationKey, "Type2", toggle.type2);
        if (!machine::WaitForSarConfigSets(kModemLog, before + 1, 10000)) {
            Say("    no command reached the modem\n");
            continue;
        }
        PrintCommand(SarConfigSets().back());
        testsupport::WaitUntil([&] { return machine::CurrentStatus() == toggle.status; },
                               std::chrono::milliseconds(3000));
        Say("    CurrentStatus = 0x%x\n", machine::CurrentStatus());
    }

    Say("== TARVOSVC.exe -stop: exit code %d\n", harness.Run(L"-stop"));
    harness.WaitForState(SERVICE_STOPPED, 20000);
    Say("== service stopped\n\n== log file C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt\n");
    std::string log = CServiceHarness::ReadLog();
    std::fwrite(log.data(), 1, log.size(), stdout);
    Say("\n== the service's registry values\n");
    PrintRegistry(HKEY_LOCAL_MACHINE, CServiceHarness::ServiceKey(), 0);
    Say("\n== TARVOSVC.exe -remove: exit code %d\n", harness.Run(L"-remove"));
    machine::StopDriver();
    return 0;
}

// From a "Type2" change written by another thread to the SAR command the
// simulated modem receives, through the real policy engine, P-sensor watcher,
// Foxconn modem object and SAR layer; next to the bare RegNotifyChangeKeyValue
// wake-up measured in the same run.
#include "BenchStats.h"
#include "CClock.h"
#include "CSimModemControl.h"
#include "CTarvoApplication.h"
#include "FoxconnBandTable.h"
#include "Handles.h"
#include "MBSar.h"
#include "SimConnMgmtClient.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace {
const char kNotification[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";
const char kThermova[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification";
const DWORD kBit25 = 0x2000000;

// The bare wake-up: a thread blocked on a change notification of a key, woken by a write.
CLatencies BareNotification(int iterations) {
    CLatencies latencies;
    const char key[] = "SOFTWARE\\TarvoBench\\Notify";
    testsupport::SetDword(key, "Value", 0);
    CUniqueHKey hkey;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, hkey.Put());
    CUniqueHandle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    CUniqueHandle armed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    std::atomic<double> woke{0};
    std::thread waiter([&] {
        for (int i = 0; i < iterations; ++i) {
            RegNotifyChangeKeyValue(hkey.Get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, changed.Get(), TRUE);
            SetEvent(armed.Get());
            WaitForSingleObject(changed.Get(), INFINITE);
            woke = CLatencies::NowUs();
        }
    });
    for (int i = 0; i < iterations; ++i) {
        WaitForSingleObject(armed.Get(), INFINITE);
        woke = 0;
        double start = CLatencies::NowUs();
        testsupport::SetDword(key, "Value", static_cast<DWORD>(i + 1));
        while (woke.load() == 0) SwitchToThread();
        latencies.Add(woke.load() - start);
    }
    waiter.join();
    testsupport::DeleteTree("SOFTWARE\\TarvoBench");
    return latencies;
}
}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    if (simpm::Install() != 0 || simpm::Start() != 0) {
        std::printf("simulated driver not available\n");
        return 1;
    }
    simpm::Reset();
    simpm::SetPSensor(true, false);
    simpm::SetThermova(true, true);
    HKEY bios = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\BIOS", 0, nullptr, REG_OPTION_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &bios, nullptr);
    RegCloseKey(bios);
    testsupport::SetString("HARDWARE\\DESCRIPTION\\System\\BIOS", "BIOSVersion", "Q47XV");
    testsupport::SetString("HARDWARE\\DESCRIPTION\\System\\BIOS", "BaseBoardProduct", "7KQA");
    testsupport::SetDword(kNotification, "Type2", kBit25);
    testsupport::SetDword(kThermova, "Type22", 0);

    CSimModemControl::Register();
    CSimModemControl sim;
    sim.Load();
    simmodem::StartState state;
    state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
    state.settings.completionDelayMs = 0;
    sim.Reset(state);
    g_modem = SarGetDefaultModem();
    CSimConnMgmt connmgmt;
    std::vector<SimCmRow> rows;
    for (size_t i = 0; i < FOXCONN_TBL_ROWS; ++i) {
        const FoxconnBandRow& r = foxconn_tbl_lumo[i];
        rows.push_back({r.tech, r.band, r.band2, r.value1, r.value2});
    }
    connmgmt.SetTable(rows);
    CClock::SetDivisor(1000);  // the Thermova hold and start-up waits

    CTarvoApplication* application = new CTarvoApplication();
    application->Start();
    // Up once the initial SAR configuration went out; then the watchers start.
    if (!testsupport::WaitUntil([&] { return sim.LogCount() >= 2; }, std::chrono::milliseconds(10000))) {
        std::printf("service start-up did not complete\n");
        return 1;
    }
    Sleep(1000);

    CLatencies change;
    uint32_t sets = 0;
    for (const simmodem::LogEntry& entry : sim.Log()) sets += entry.op == SIMMODEM_OP_SET;
    DWORD value = kBit25;
    for (int i = 0; i < iterations; ++i) {
        value ^= kBit25;  // proximity and away in turn: each change is one command
        double start = CLatencies::NowUs();
        testsupport::SetDword(kNotification, "Type2", value);
        // The simulator's own wait: no polling that would compete with the path measured.
        bool received = sim.WaitForLog(SIMMODEM_OPMASK(SIMMODEM_OP_SET), sets + 1, 5000);
        if (received) {
            change.Add(CLatencies::NowUs() - start);
            ++sets;
        }
        if (!received) {
            std::printf("change %d reached no modem\n", i);
            return 1;
        }
        Sleep(20);  // the watcher re-arms before the next change
    }
    CLatencies bare = BareNotification(iterations);

    change.Print("Type2 change to SAR command at the modem");
    bare.Print("bare RegNotifyChangeKeyValue wake-up");
    application->Stop();
    delete application;
    simpm::Stop();
    return 0;
}

// One SAR configuration command round trip through the SAR layer and the
// simulated modem, and one notification from the simulator's delivery thread
// to an observer, measured in the same run.
#include "BenchStats.h"
#include "CClock.h"
#include "CSimModemControl.h"
#include "MBSar.h"

#include <cstdio>

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 500;
    CSimModemControl::Register();
    CSimModemControl sim;
    if (!sim.Load()) {
        std::printf("simulated modem not available\n");
        return 1;
    }
    simmodem::StartState state;
    state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
    state.settings.completionDelayMs = 0;
    sim.Reset(state);
    g_modem = SarGetDefaultModem();

    CLatencies command;
    for (int i = 0; i < iterations; ++i) {
        double start = CLatencies::NowUs();
        int result = MBSar::EnableTarvo(i % 2 == 0 ? 1 : 0, 1, 0, 1);
        command.Add(CLatencies::NowUs() - start);
        if (result != 0) {
            std::printf("command %d failed: %d\n", i, result);
            return 1;
        }
    }

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (MBSar::TxStatusMonitor(event) != 0) {
        std::printf("transmission monitor not started\n");
        return 1;
    }
    CLatencies notification;
    for (int i = 0; i < iterations; ++i) {
        double start = CLatencies::NowUs();
        sim.SetTransmitting(0, i % 2 == 0);
        if (WaitForSingleObject(event, 5000) != WAIT_OBJECT_0) {
            std::printf("notification %d lost\n", i);
            return 1;
        }
        notification.Add(CLatencies::NowUs() - start);
    }
    MBSar::StopTransmitMonitor();

    command.Print("SAR configuration set, MBSar::EnableTarvo round trip");
    notification.Print("transmission notification, simulator to observer event");
    g_sarManager.reset();
    g_modem.reset();
    return 0;
}

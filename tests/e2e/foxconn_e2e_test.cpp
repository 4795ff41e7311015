// The real TARVOSVC.exe as a Wine service on the Lumo platform with the Foxconn
// module: the simulated driver with a P-sensor, the simulated modem
// "Qualcomm Snapdragon X55 5G" and the simulated ConnectionMgmt.dll next to it.
#include "CSimModemRemote.h"
#include "FoxconnBandTable.h"
#include "ServiceHarness.h"
#include "SimConnMgmt.h"
#include "SimPmControl.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

using machine::kBit25;
using machine::SarConfigPayload;

namespace {
class FoxconnService : public ::testing::Test {
protected:
    void SetUp() override {
        modemLog = testsupport::BuildPathW(L"e2e-install\\foxconn-modem.log");
        libraryLog = testsupport::BuildPathW(L"e2e-install\\foxconn-library.log");
        harness = std::make_unique<CServiceHarness>(
            CServiceHarness::MakeInstall(L"foxconn", {testsupport::SimDirW() + L"\\ConnectionMgmt.dll"}));
        harness->Prepare();
        ASSERT_TRUE(machine::SetUpFoxconnLumo(modemLog, libraryLog, table));
    }
    void TearDown() override {
        harness.reset();
        machine::TearDownFoxconnLumo();
    }

    void InstallAndStart() {
        ASSERT_EQ(harness->Run(L"-install"), 0);
        ASSERT_TRUE(harness->Start());
        ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    }
    // A fresh machine, the service installed and started on it, up to its initial configuration.
    void StartOnAFreshMachine(DWORD clockDivisor) {
        harness->Prepare(clockDivisor);
        ASSERT_TRUE(machine::SetUpFoxconnLumo(modemLog, libraryLog, table));
        InstallAndStart();
        ASSERT_TRUE(machine::WaitForStartUp());
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 15000)) << "the initial configuration";
    }
    void FailControlMode() {
        SimCmFault fault = {SIMCM_CALL_SET_CTL_MODE, 1, 0, 0, 0, 0, 0, 0};
        std::vector<BYTE> faults(reinterpret_cast<BYTE*>(&fault), reinterpret_cast<BYTE*>(&fault) + sizeof(fault));
        ASSERT_TRUE(testsupport::SetBinary(machine::kConnMgmtKey, "Faults", faults));
    }
    std::vector<simmodem::Bytes> Sets() { return machine::SarConfigSets(modemLog); }
    // The sensor as a user moves it: the driver's reading, then "Type2" (bit 25 set is away).
    static void Sensor(bool objectNear) {
        machine::SetDetection(objectNear);
        testsupport::SetDword(machine::kNotificationKey, "Type2", objectNear ? 0 : kBit25);
    }
    static bool WaitForStatus(DWORD status, DWORD ms = 10000) {
        return testsupport::WaitUntil([&] { return machine::CurrentStatus() == status; }, std::chrono::milliseconds(ms));
    }

    // The module already holds the Lumo table.
    const std::vector<BYTE> table{reinterpret_cast<const BYTE*>(foxconn_tbl_lumo),
                                  reinterpret_cast<const BYTE*>(foxconn_tbl_lumo) + sizeof(foxconn_tbl_lumo)};
    std::unique_ptr<CServiceHarness> harness;
    std::wstring modemLog;
    std::wstring libraryLog;
};
}  // namespace

TEST_F(FoxconnService, SensorDrivesTheBackOff) {
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANFoxconn::Initialize\tINFO\tSAR Table Configuration is match.", 15000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWatcherPSensor::Run\tINFO\t cSystemInfoObj.HasPSensor() ", 10000));
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 10000));
    EXPECT_EQ(Sets()[0], SarConfigPayload(0, 0, 1)) << "the initial SAR configuration";
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::CreateDeviceSpecificFactory\tDEBUG\tThis is Lumo Platform!"));
    std::string library = testsupport::ReadFileText(libraryLog);
    EXPECT_NE(library.find("DMSSetTarvoCtlMode status=0"), std::string::npos);

    ASSERT_TRUE(machine::WaitForStartUp());
    Sensor(true);  // bit 25 cleared: proximity
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 2, 10000));
    EXPECT_EQ(Sets()[1], SarConfigPayload(1, 65535, 2));
    EXPECT_TRUE(WaitForStatus(0x11)) << std::hex << machine::CurrentStatus();

    Sensor(false);  // away
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 3, 10000));
    EXPECT_EQ(Sets()[2], SarConfigPayload(1, 65535, 1)) << "off keeps back-off status 1 with index 1";
    EXPECT_TRUE(WaitForStatus(0)) << std::hex << machine::CurrentStatus();

    EXPECT_TRUE(harness->StopAndWait());
    EXPECT_TRUE(CServiceHarness::LogHas("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"));
}

TEST_F(FoxconnService, TenInitializeFailuresStopTheService) {
    FailControlMode();
    InstallAndStart();
    EXPECT_TRUE(harness->WaitForState(SERVICE_STOPPED, 30000)) << "the service stops itself";
    EXPECT_EQ(CServiceHarness::LogCount("m_pWWANDeviceObj->Initialize() failed, initialize again after 10 seconds!"),
              10u);
    EXPECT_TRUE(CServiceHarness::LogHas("Critical error !!! Module cannot initialize!!!<ERROR>"));
    EXPECT_TRUE(CServiceHarness::LogHas("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"));
}

TEST_F(FoxconnService, StopsCleanlyDuringTheStartUpRetries) {
    harness->WriteDebugSwitches(1);  // the real 10 s between Initialize tries
    FailControlMode();
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("Initialize() failed, initialize again after 10 seconds!", 15000));
    DWORD start = GetTickCount();
    EXPECT_TRUE(harness->StopAndWait(5000));
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(CServiceHarness::LogCount("Initialize() failed"), 1u);
}

TEST_F(FoxconnService, UnsupportedBiosIdLeavesTheServiceIdle) {
    machine::SetPlatform("X11AB", "7KQA");
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("CTarvoApplication::Run\tERROR\tWWANDevice not found.", 10000));
    EXPECT_EQ(CServiceHarness::LogCount("CTarvoApplication::Run\tERROR\tRetry..."), 10u);
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::Run\tERROR\tUnsupported device."));
    EXPECT_EQ(harness->State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(harness->StopAndWait());
}

// The sensor moves again while the command for its previous change is on its
// way to a modem that answers each SAR configuration after 1.5 s: the second
// change is carried out after the first, and the modem ends where the sensor is.
TEST_F(FoxconnService, ASensorChangeWhileACommandIsOnItsWayIsNotLost) {
    const simmodem::Bytes on = SarConfigPayload(1, 65535, 2);
    const simmodem::Bytes off = SarConfigPayload(1, 65535, 1);
    struct Case {
        const char* name;
        bool startNear;
        DWORD status;  // "CurrentStatus" at the end
    } cases[] = {
        {"near, then away while the back-off-on command is on its way", false, 0x0},
        {"away, then near while the back-off-off command is on its way", true, 0x11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        harness->Prepare(10);  // a bound of 3 s on each answer: the 1.5 s answers fit with room
        ASSERT_TRUE(machine::SetUpFoxconnLumo(
            modemLog, libraryLog, table,
            {simmodem::FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, 1500, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)}));
        machine::SetDetection(c.startNear);
        machine::SetSensorValues(c.startNear ? 0 : kBit25);
        InstallAndStart();
        ASSERT_TRUE(machine::WaitForStartUp());
        // Near at the start: the initial state switches back-off on first.
        size_t sets = c.startNear ? 2 : 1;
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, sets, 15000));
        if (c.startNear) {
            ASSERT_TRUE(WaitForStatus(0x10)) << std::hex << machine::CurrentStatus();
        }

        Sensor(!c.startNear);
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, ++sets, 10000));
        EXPECT_EQ(Sets().back(), c.startNear ? off : on);
        // The command is on its way: the sensor moves back.
        Sensor(c.startNear);
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, ++sets, 10000)) << "the second change was lost";
        // The watcher has read the value the sensor ended at (a decision queued
        // meanwhile may still send what it was notified of; this change comes after it).
        ASSERT_TRUE(CServiceHarness::WaitForLog(
            std::string("------m_dwCurrentNotificationValue => ") + (c.startNear ? "0x 0" : "0x2000000"), 10000));
        EXPECT_TRUE(testsupport::WaitUntil([&] { return Sets().back() == (c.startNear ? on : off); },
                                           std::chrono::milliseconds(10000)));
        EXPECT_TRUE(WaitForStatus(c.status)) << std::hex << machine::CurrentStatus();
        EXPECT_TRUE(harness->StopAndWait());
        // Nothing came after: the modem's last configuration is the sensor's.
        EXPECT_EQ(Sets().back(), c.startNear ? on : off);
        EXPECT_EQ(machine::CurrentStatus() & 0x1, c.startNear ? 0x1u : 0x0u);
        harness->Remove();
    }
}

// A modem that leaves every SAR configuration unanswered once the service runs:
// two sensor changes leave one command waiting and a second queued, and a stop
// still ends within 5 s; the next start, the modem answering again, sends the
// initial configuration.
TEST_F(FoxconnService, AStopNeverWaitsForASilentModem) {
    harness->WriteDebugSwitches(1);  // the real 30 s bound on the modem's answer
    InstallAndStart();
    ASSERT_TRUE(machine::WaitForStartUp());
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 10000));
    ASSERT_TRUE(CSimModemRemote::AddFault(
        simmodem::FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, 1, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)));
    Sensor(true);
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 2, 10000)) << "the on command, never answered";
    Sensor(false);

    DWORD start = GetTickCount();
    EXPECT_TRUE(harness->StopAndWait(5000));
    EXPECT_LT(GetTickCount() - start, 5000u);

    const size_t sets = Sets().size();
    ASSERT_TRUE(harness->Start());
    ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, sets + 1, 15000));
    EXPECT_EQ(Sets()[sets], SarConfigPayload(0, 0, 1)) << "the initial configuration, answered";
    EXPECT_TRUE(CServiceHarness::WaitForLog("MBSar::InitSAR\tINFO\tBack off disabled", 10000, 2));
    EXPECT_TRUE(harness->StopAndWait());
}

// The driver holds every P-sensor reading while a decision needs one (the
// modem leaves and arrives again), at the real clock: the stop ends the
// decision's request, the service reports its stop with rising check points
// and is stopped within 5 s, and the driver holds nothing afterwards.
TEST_F(FoxconnService, AStopNeverWaitsForAHeldDriverRequest) {
    harness->WriteDebugSwitches(1);
    InstallAndStart();
    ASSERT_TRUE(machine::WaitForStartUp());
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 10000));
    ASSERT_TRUE(simpm::HoldRequest(SIMPM_IOCTL_PSENSOR));
    ASSERT_TRUE(CSimModemRemote::RemoveInterface(0));
    ASSERT_TRUE(CSimModemRemote::ArriveInterface(0));
    ASSERT_TRUE(simpm::WaitForHeld(1, 10000)) << "the arrival's decision reads the P-sensor" << CServiceHarness::LogTail();

    const ULONGLONG start = GetTickCount64();
    const std::vector<SERVICE_STATUS> seen = harness->StopAndWatch(5000);
    const ULONGLONG took = GetTickCount64() - start;
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << CServiceHarness::LogTail();
    EXPECT_LT(took, 5000u);
    DWORD checkPoint = 0;
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << i;
        EXPECT_GE(seen[i].dwCheckPoint, checkPoint) << "check points rise";
        checkPoint = seen[i].dwCheckPoint;
    }
    DWORD held = 1;
    EXPECT_TRUE(simpm::GetHeldCount(held));
    EXPECT_EQ(held, 0u) << "the stop took the request out of the driver";
    EXPECT_TRUE(simpm::ClearFaults());
    EXPECT_TRUE(CServiceHarness::LogHas(
        "CDriverRequest::Send\tDEBUG\tStop requested, driver request 0x222690 input 0x0 cancelled"));
    std::printf("stop with a held driver request: %llu ms, %zu statuses\n", took, seen.size());
}

// Steps that change what the modem holds outside a decision, with the object
// near: an away command that the modem carries out but answers after the
// service stopped waiting, then near again; and the modem leaving and arriving
// again. Each time the back-off-on command reaches the modem once more.
TEST_F(FoxconnService, TheBackOffIsSentAgainWhereWhatTheModemHoldsIsNotKnown) {
    enum class Step { LateAnswer, Arrival };
    struct Case {
        const char* name;
        Step step;
    } cases[] = {
        {"away answered past the bound, then near", Step::LateAnswer},
        {"the interface removed and arriving again", Step::Arrival},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(StartOnAFreshMachine(10));  // a bound of 3 s on each answer
        Sensor(true);
        ASSERT_TRUE(machine::WaitForHeldState(1, 2, 0x11, 10000))
            << "near: back-off on; status 0x" << std::hex << machine::CurrentStatus() << CServiceHarness::LogTail();

        const size_t sets = Sets().size();
        if (c.step == Step::LateAnswer) {
            ASSERT_TRUE(CSimModemRemote::AddFault(
                simmodem::FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, 4000, 1, SIMMODEM_OP_SET)));
            Sensor(false);
            ASSERT_TRUE(CServiceHarness::WaitForLog("MBSar::EnableTarvo\tERROR\t 0x800705b4 - ", 10000))
                << "the service stopped waiting for the answer";
            // It holds off; "CurrentStatus" keeps the modem's bit, as the answer never came.
            ASSERT_TRUE(machine::WaitForHeldState(1, 1, 0x10, 10000)) << "the modem carried the off command out";
            Sensor(true);
        } else {
            ASSERT_TRUE(CSimModemRemote::RemoveInterface(0));
            ASSERT_TRUE(CSimModemRemote::ArriveInterface(0));
        }
        const simmodem::Bytes on = SarConfigPayload(1, 65535, 2);
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] {
                std::vector<simmodem::Bytes> all = Sets();
                return all.size() > sets && all.back() == on;
            },
            std::chrono::milliseconds(10000)))
            << "a back-off-on command after the step";
        EXPECT_TRUE(machine::WaitForHeldState(1, 2, 0x11, 10000))
            << "status 0x" << std::hex << machine::CurrentStatus() << CServiceHarness::LogTail();
        EXPECT_TRUE(harness->StopAndWait());
        harness->Remove();
    }
}

// A command that does not get through is tried again by the service itself:
// the object near while the modem answers the next SAR set busy, and near
// while the hardware radio is off, then the radio switched on. Each time the
// modem ends holding back-off on, with no change of the sensor after it.
TEST_F(FoxconnService, TheBackOffReachesTheModemAfterABusyAnswerOrWithTheRadioOnAgain) {
    enum class Step { Busy, RadioOff };
    struct Case {
        const char* name;
        Step step;
    } cases[] = {
        {"near while the modem answers the set busy", Step::Busy},
        {"the hardware radio off, near, the radio on", Step::RadioOff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(StartOnAFreshMachine(1000));
        if (c.step == Step::Busy) {
            ASSERT_TRUE(CSimModemRemote::AddFault(simmodem::FaultSpec::Busy(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)));
            Sensor(true);
            ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANFoxconn::RunTarvoHandler\tERROR\tMB SAR enable Tarvo failed", 10000));
        } else {
            ASSERT_TRUE(CSimModemRemote::SetRadio(0, 0));
            Sensor(true);
            ASSERT_TRUE(CServiceHarness::WaitForLog("MBSar::EnableTarvo\tERROR\tRadio state is Off.", 10000));
            ASSERT_TRUE(CSimModemRemote::SetRadio(0, 1));
        }
        EXPECT_TRUE(machine::WaitForHeldState(1, 2, 0x11, 10000))
            << "status 0x" << std::hex << machine::CurrentStatus() << CServiceHarness::LogTail();
        EXPECT_TRUE(harness->StopAndWait());
        // Every set after the initial configuration asked for back-off on (the
        // busy one, its try; the radio's return may send it twice), and it held.
        const std::vector<simmodem::Bytes> sets = Sets();
        ASSERT_GE(sets.size(), 2u);
        for (size_t i = 1; i < sets.size(); ++i) EXPECT_EQ(sets[i], SarConfigPayload(1, 65535, 2)) << i;
        if (c.step == Step::Busy) {
            EXPECT_TRUE(CServiceHarness::LogHas("CDecisionRetry::Schedule\tDEBUG\tBack-off not taken by the modem, "
                                                "deciding again in 1000 ms (try 1 of 8)"));
        }
        EXPECT_TRUE(machine::WaitForHeldState(1, 2, 0x11, 1000));
        harness->Remove();
    }
}

// The real TARVOSVC.exe as a Wine service on the Lumo platform with the Foxconn
// module: the simulated driver with a P-sensor, the simulated modem
// "Qualcomm Snapdragon X55 5G" and the simulated ConnectionMgmt.dll next to it.
#include "CSimModemRemote.h"
#include "FoxconnBandTable.h"
#include "ServiceHarness.h"
#include "SimConnMgmt.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using machine::kBit25;
using machine::SarConfigPayload;

namespace {
const char kConnMgmtKey[] = "Software\\TarvoSim\\ConnectionMgmt";

class FoxconnService : public ::testing::Test {
protected:
    void SetUp() override {
        modemLog = testsupport::BuildPathW(L"e2e-install\\foxconn-modem.log");
        libraryLog = testsupport::BuildPathW(L"e2e-install\\foxconn-library.log");
        harness = std::make_unique<CServiceHarness>(
            CServiceHarness::MakeInstall(L"foxconn", {testsupport::SimDirW() + L"\\ConnectionMgmt.dll"}));
        harness->Prepare();
        testsupport::RemoveFile(modemLog);
        testsupport::RemoveFile(libraryLog);

        ASSERT_TRUE(machine::StartDriver());
        machine::SetPlatform("Q47XV", "7KQA");
        machine::SetSensorValues(kBit25);  // away, for the Foxconn level rule
        machine::SetCurrentStatus(0);

        simmodem::StartState state;
        state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
        state.settings.logFile = modemLog;
        ASSERT_TRUE(CSimModemRemote::WriteStartState(state));

        // The module already holds the Lumo table.
        testsupport::DeleteTree(kConnMgmtKey);
        std::vector<BYTE> table(reinterpret_cast<const BYTE*>(foxconn_tbl_lumo),
                                reinterpret_cast<const BYTE*>(foxconn_tbl_lumo) + sizeof(foxconn_tbl_lumo));
        ASSERT_TRUE(testsupport::SetBinary(kConnMgmtKey, "ModuleTable", table));
        ASSERT_TRUE(testsupport::SetString(kConnMgmtKey, "RequestLog", std::string(libraryLog.begin(), libraryLog.end())));
    }
    void TearDown() override {
        harness.reset();
        machine::StopDriver();
        CSimModemRemote::Clear();
        testsupport::DeleteTree(kConnMgmtKey);
    }

    void InstallAndStart() {
        ASSERT_EQ(harness->Run(L"-install"), 0);
        ASSERT_TRUE(harness->Start());
        ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    }
    void FailControlMode() {
        SimCmFault fault = {SIMCM_CALL_SET_CTL_MODE, 1, 0, 0, 0, 0, 0, 0};
        std::vector<BYTE> faults(reinterpret_cast<BYTE*>(&fault), reinterpret_cast<BYTE*>(&fault) + sizeof(fault));
        ASSERT_TRUE(testsupport::SetBinary(kConnMgmtKey, "Faults", faults));
    }
    std::vector<simmodem::Bytes> Sets() { return machine::SarConfigSets(modemLog); }

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

    ASSERT_TRUE(machine::SettleWatcher());
    testsupport::SetDword(machine::kNotificationKey, "Type2", 0);  // bit 25 cleared: proximity
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 2, 10000));
    EXPECT_EQ(Sets()[1], SarConfigPayload(1, 65535, 2));
    EXPECT_TRUE(testsupport::WaitUntil([] { return machine::CurrentStatus() == 0x11; }, std::chrono::milliseconds(5000)))
        << std::hex << machine::CurrentStatus();

    ASSERT_TRUE(machine::SettleWatcher());
    testsupport::SetDword(machine::kNotificationKey, "Type2", kBit25);  // away
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 3, 10000));
    EXPECT_EQ(Sets()[2], SarConfigPayload(1, 65535, 1)) << "off keeps back-off status 1 with index 1";
    EXPECT_TRUE(testsupport::WaitUntil([] { return machine::CurrentStatus() == 0; }, std::chrono::milliseconds(5000)))
        << std::hex << machine::CurrentStatus();

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

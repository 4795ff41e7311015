// The real TARVOSVC.exe as a Wine service on the Lumo platform with the Foxconn
// module: the simulated driver with a P-sensor, the simulated modem
// "Qualcomm Snapdragon X55 5G" and the simulated ConnectionMgmt.dll next to it.
#include "CSimModemRemote.h"
#include "FoxconnBandTable.h"
#include "ServiceHarness.h"
#include "SimConnMgmt.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

using simmodem::InterfaceSpec;

namespace {
const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";
const char kNotification[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";
const char kThermova[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
const char kConnMgmtKey[] = "Software\\TarvoSim\\ConnectionMgmt";
const DWORD kBit25 = 0x2000000;

DWORD Status() {
    DWORD value = 0;
    testsupport::GetDword(kParameters, "CurrentStatus", value);
    return value;
}

simmodem::Bytes Payload(uint32_t backOff, uint32_t antenna, uint32_t index) {
    const uint32_t fields[] = {1, backOff, 1, 20, 8, antenna, index};
    simmodem::Bytes bytes;
    for (uint32_t field : fields)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
    return bytes;
}

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

        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
        ASSERT_TRUE(simpm::SetPSensor(true, false));
        ASSERT_TRUE(simpm::SetThermova(true, true));

        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegCloseKey(key);
        testsupport::SetString(kBios, "BIOSVersion", "Q47XV");
        testsupport::SetString(kBios, "BaseBoardProduct", "7KQA");
        testsupport::DeleteTree("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR");
        testsupport::SetDword(kNotification, "Type2", kBit25);  // away, for the Foxconn level rule
        testsupport::SetDword(kThermova, "Type22", 0);
        testsupport::SetDword(kParameters, "CurrentStatus", 0);

        simmodem::StartState state;
        state.interfaces = {InterfaceSpec::Qualcomm()};
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
        simpm::Stop();
        CSimModemRemote::Clear();
        testsupport::DeleteTree(kConnMgmtKey);
    }

    void InstallAndStart() {
        ASSERT_EQ(harness->Run(L"-install"), 0);
        ASSERT_TRUE(harness->Start());
        ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    }
    std::vector<simmodem::Bytes> SarConfigSets() {
        std::vector<simmodem::Bytes> sets;
        for (const simmodem::LogEntry& e : CSimModemRemote::ReadLog(modemLog))
            if (e.op == SIMMODEM_OP_SET && e.cid == 1) sets.push_back(e.payload);
        return sets;
    }
    bool WaitForSets(size_t count) {
        return testsupport::WaitUntil([&] { return SarConfigSets().size() >= count; }, std::chrono::milliseconds(10000));
    }
    // Until the P-sensor watcher has handled a wake-up that leaves "Type2" as it is.
    void SettleWatcher() {
        static DWORD probe = 0;
        bool armed = false;
        for (int attempt = 0; attempt < 50 && !armed; ++attempt) {
            size_t before = CServiceHarness::LogCount("P-Sensor detects Unknown change.");
            testsupport::SetDword(kNotification, "Probe", ++probe);
            armed = CServiceHarness::WaitForLog("P-Sensor detects Unknown change.", 200, before + 1);
        }
        ASSERT_TRUE(armed);
        Sleep(20);
    }

    std::unique_ptr<CServiceHarness> harness;
    std::wstring modemLog;
    std::wstring libraryLog;
};
}  // namespace

TEST_F(FoxconnService, SensorDrivesTheBackOff) {
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANFoxconn::Initialize\tINFO\tSAR Table Configuration is match.", 15000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWatcherPSensor::Run\tINFO\t cSystemInfoObj.HasPSensor() ", 10000));
    ASSERT_TRUE(WaitForSets(1));
    EXPECT_EQ(SarConfigSets()[0], Payload(0, 0, 1)) << "the initial SAR configuration";
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::CreateDeviceSpecificFactory\tDEBUG\tThis is Lumo Platform!"));
    std::string library = testsupport::ReadFileText(libraryLog);
    EXPECT_NE(library.find("DMSSetTarvoCtlMode status=0"), std::string::npos);

    SettleWatcher();
    testsupport::SetDword(kNotification, "Type2", 0);  // bit 25 cleared: proximity
    ASSERT_TRUE(WaitForSets(2));
    EXPECT_EQ(SarConfigSets()[1], Payload(1, 65535, 2));
    EXPECT_TRUE(testsupport::WaitUntil([] { return Status() == 0x11; }, std::chrono::milliseconds(5000)))
        << std::hex << Status();

    SettleWatcher();
    testsupport::SetDword(kNotification, "Type2", kBit25);  // away
    ASSERT_TRUE(WaitForSets(3));
    EXPECT_EQ(SarConfigSets()[2], Payload(1, 65535, 1)) << "off keeps back-off status 1 with index 1";
    EXPECT_TRUE(testsupport::WaitUntil([] { return Status() == 0; }, std::chrono::milliseconds(5000)))
        << std::hex << Status();

    EXPECT_TRUE(harness->StopAndWait());
    EXPECT_TRUE(CServiceHarness::LogHas("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"));
}

TEST_F(FoxconnService, TenInitializeFailuresStopTheService) {
    SimCmFault fault = {SIMCM_CALL_SET_CTL_MODE, 1, 0, 0, 0, 0, 0, 0};
    std::vector<BYTE> faults(reinterpret_cast<BYTE*>(&fault), reinterpret_cast<BYTE*>(&fault) + sizeof(fault));
    ASSERT_TRUE(testsupport::SetBinary(kConnMgmtKey, "Faults", faults));
    InstallAndStart();
    EXPECT_TRUE(harness->WaitForState(SERVICE_STOPPED, 30000)) << "the service stops itself";
    EXPECT_EQ(CServiceHarness::LogCount("m_pWWANDeviceObj->Initialize() failed, initialize again after 10 seconds!"),
              10u);
    EXPECT_TRUE(CServiceHarness::LogHas("Critical error !!! Module cannot initialize!!!<ERROR>"));
    EXPECT_TRUE(CServiceHarness::LogHas("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"));
}

TEST_F(FoxconnService, StopsCleanlyDuringTheStartUpRetries) {
    harness->WriteDebugSwitches(1);  // the real 10 s between Initialize tries
    SimCmFault fault = {SIMCM_CALL_SET_CTL_MODE, 1, 0, 0, 0, 0, 0, 0};
    std::vector<BYTE> faults(reinterpret_cast<BYTE*>(&fault), reinterpret_cast<BYTE*>(&fault) + sizeof(fault));
    ASSERT_TRUE(testsupport::SetBinary(kConnMgmtKey, "Faults", faults));
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("Initialize() failed, initialize again after 10 seconds!", 15000));
    DWORD start = GetTickCount();
    EXPECT_TRUE(harness->StopAndWait(5000));
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(CServiceHarness::LogCount("Initialize() failed"), 1u);
}

TEST_F(FoxconnService, UnsupportedBiosIdLeavesTheServiceIdle) {
    testsupport::SetString(kBios, "BIOSVersion", "X11AB");
    InstallAndStart();
    ASSERT_TRUE(CServiceHarness::WaitForLog("CTarvoApplication::Run\tERROR\tWWANDevice not found.", 10000));
    EXPECT_EQ(CServiceHarness::LogCount("CTarvoApplication::Run\tERROR\tRetry..."), 10u);
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::Run\tERROR\tUnsupported device."));
    EXPECT_EQ(harness->State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(SarConfigSets().empty());
    EXPECT_TRUE(harness->StopAndWait());
}

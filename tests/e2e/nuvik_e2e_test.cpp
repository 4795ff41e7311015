// The real TARVOSVC.exe as a Wine service on the Lumo platform with the Nuvik
// HX730R-GL: the real Kessa.dll next to the program, the platform's SAR EFS
// file in the service's current folder, the simulated modem's Nuvik service
// as the module.
#include "CSimModemRemote.h"
#include "Handles.h"
#include "ServiceHarness.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

using machine::kBit25;
using machine::kBit26;
using machine::SarConfigPayload;

namespace {
const wchar_t kInterfaceId[] = L"{3C5A9F10-2B7E-4D61-8A94-0E1F2D3C4B5A}";
// Relative to the service's current folder: C:\windows under Wine.
const wchar_t kEfsFile[] = L"C:\\windows\\SAREFS_HX730R_Lumo";

class NuvikService : public ::testing::Test {
protected:
    void SetUp() override {
        modemLog = testsupport::BuildPathW(L"e2e-install\\nuvik-modem.log");
        testsupport::RemoveFile(modemLog);
        ASSERT_TRUE(machine::StartDriver());
        machine::SetPlatform("Q47XV", "7KQA");
        machine::SetSensorValues(0);
        machine::SetCurrentStatus(0);
        testsupport::SetString("SOFTWARE\\TarvoSim\\WwanAdapter", "AdapterName",
                               std::string(kInterfaceId, kInterfaceId + wcslen(kInterfaceId)));
        efs.resize(3000);
        for (size_t i = 0; i < efs.size(); ++i) efs[i] = static_cast<BYTE>(i * 13 + 7);
        ASSERT_TRUE(testsupport::WriteFileBytes(kEfsFile, efs));
    }
    void TearDown() override {
        harness.reset();
        machine::StopDriver();
        CSimModemRemote::Clear();
        testsupport::DeleteTree("SOFTWARE\\TarvoSim\\WwanAdapter");
        testsupport::RemoveFile(kEfsFile);
    }

    // The reboot's 50 passes of 1 s take 500 ms at the divisor 100: time for the
    // module to leave and come back.
    void Install(bool withKessa, const simmodem::InterfaceSpec& modem, DWORD clockDivisor = 100,
                 const simmodem::Settings& settings = simmodem::Settings()) {
        std::vector<std::wstring> files;
        if (withKessa) files.push_back(testsupport::ProductDirW() + L"\\Kessa.dll");
        harness = std::make_unique<CServiceHarness>(
            CServiceHarness::MakeInstall(withKessa ? L"nuvik" : L"nuvik-nokessa", files));
        harness->Prepare(clockDivisor);
        ASSERT_NO_FATAL_FAILURE(WriteModule(modem, settings, modemLog));
        ASSERT_EQ(harness->Run(L"-install"), 0);
        ASSERT_TRUE(harness->Start());
        ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    }
    // The module as the next service process finds it.
    void WriteModule(const simmodem::InterfaceSpec& modem, simmodem::Settings settings, const std::wstring& log) {
        simmodem::StartState state;
        state.interfaces = {modem};
        state.interfaces[0].interfaceId = kInterfaceId;
        settings.logFile = log;
        settings.delivery = delivery;
        state.settings = settings;
        state.faults = faults;
        ASSERT_TRUE(CSimModemRemote::WriteStartState(state));
    }
    size_t Logged(uint32_t op, uint32_t cid) {
        size_t count = 0;
        for (const simmodem::LogEntry& e : CSimModemRemote::ReadLog(modemLog)) count += e.op == op && e.cid == cid;
        return count;
    }
    // Sets on the Nuvik diag service, per CID: 2 SAR data, 4 table index and CRC, 5 reboot.
    static size_t DiagSets(const std::wstring& log, uint32_t cid) {
        size_t count = 0;
        for (const simmodem::LogEntry& e : CSimModemRemote::ReadLog(log))
            count += e.op == SIMMODEM_OP_SET && e.cid == cid && _wcsicmp(e.service.c_str(), SIMMODEM_SERVICE_DIAG) == 0;
        return count;
    }

    std::unique_ptr<CServiceHarness> harness;
    std::wstring modemLog;
    std::vector<BYTE> efs;
    // Which pointer the modem's events pass for the object they are about.
    uint32_t delivery = SIMMODEM_DELIVERY_SAME;
    // The module's faults from its start.
    std::vector<simmodem::FaultSpec> faults;
};

// The modem's events through the caller's pointer, or through another object
// for the same service, as a platform proxy may pass them.
class NuvikServiceDelivery : public NuvikService, public ::testing::WithParamInterface<uint32_t> {
protected:
    NuvikServiceDelivery() { delivery = GetParam(); }
};
}  // namespace

TEST_P(NuvikServiceDelivery, WritesTheTableRebootsAndFollowsTheSensor) {
    simmodem::InterfaceSpec modem = simmodem::InterfaceSpec::Nuvik();
    modem.tableIndex = 1;  // another table than the file's: it is written
    Install(true, modem);
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANNuvik::SetSarValueSetting\tINFO\tEFSFile has written to module correctly!", 20000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANNuvik::DoModuleReboot\tINFO\t==> Module reboot successfully!!", 20000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("Nuvik Tarvo initialization completed!Restult = 1", 20000));
    EXPECT_TRUE(CServiceHarness::LogHas("==> Module now is rebooting!"));
    simreg::Status status;
    ASSERT_TRUE(CSimModemRemote::ReadStatus(status));
    ASSERT_EQ(status.interfaces.size(), 1u);
    EXPECT_EQ(simmodem::Bytes(efs.begin(), efs.end()), status.interfaces[0].sarImage) << "the module holds the file";
    EXPECT_EQ(status.interfaces[0].tableIndex, 2u);
    EXPECT_EQ(status.interfaces[0].sarEnable, 1u);
    EXPECT_EQ(Logged(SIMMODEM_OP_SET, 5), 1u) << "one device-root command";

    ASSERT_TRUE(CServiceHarness::WaitForLog("CWatcherPSensor::Run\tINFO\t cSystemInfoObj.HasPSensor() ", 10000));
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 10000));
    EXPECT_EQ(machine::SarConfigSets(modemLog)[0], SarConfigPayload(0, 0, 1)) << "the initial SAR configuration";
    EXPECT_TRUE(CServiceHarness::WaitForLog("MBSar::InitSAR\tINFO\tBack off disabled", 10000)) << "its reply came";
    // The reboot may have reset what the module held: the initial state is sent
    // whatever the initial configuration left in the memory.
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 2, 10000));
    EXPECT_EQ(machine::SarConfigSets(modemLog)[1], SarConfigPayload(0, 0, 1)) << "back-off off, the object away";

    struct Toggle {
        DWORD type2;
        bool objectNear;  // what the driver reads meanwhile
        simmodem::Bytes payload;
        DWORD status;
    } toggles[] = {
        {kBit25, true, SarConfigPayload(1, 0, 2), 0x11},           // bit 25 toggled: proximity
        {kBit25 | kBit26, false, SarConfigPayload(0, 0, 1), 0x0},  // bit 26 toggled: away
        {kBit26, true, SarConfigPayload(1, 0, 2), 0x11},
        {0, false, SarConfigPayload(0, 0, 1), 0x0},
    };
    ASSERT_TRUE(machine::WaitForStartUp());
    size_t sets = machine::SarConfigSets(modemLog).size();
    for (const Toggle& toggle : toggles) {
        machine::SetDetection(toggle.objectNear);
        testsupport::SetDword(machine::kNotificationKey, "Type2", toggle.type2);
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, ++sets, 10000)) << std::hex << toggle.type2;
        EXPECT_EQ(machine::SarConfigSets(modemLog).back(), toggle.payload) << std::hex << toggle.type2;
        EXPECT_TRUE(testsupport::WaitUntil([&] { return machine::CurrentStatus() == toggle.status; },
                                           std::chrono::milliseconds(5000)))
            << std::hex << toggle.type2 << " " << machine::CurrentStatus();
    }
    EXPECT_TRUE(harness->StopAndWait());
}

INSTANTIATE_TEST_SUITE_P(Modes, NuvikServiceDelivery,
                         ::testing::Values(SIMMODEM_DELIVERY_SAME, SIMMODEM_DELIVERY_OTHER),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return std::string(simmodem::DeliveryName(info.param));
                         });

TEST_F(NuvikService, WithoutKessaTheServiceStopsItself) {
    Install(false, simmodem::InterfaceSpec::Nuvik());
    EXPECT_TRUE(harness->WaitForState(SERVICE_STOPPED, 30000));
    EXPECT_EQ(CServiceHarness::LogCount("CNuvikTarvoApi::CNuvikTarvoApi\tDEBUG\tKessa.dll NOT FOUND"), 1u);
    EXPECT_EQ(CServiceHarness::LogCount("m_pWWANDeviceObj->Initialize() failed, initialize again after 10 seconds!"),
              10u);
    EXPECT_TRUE(CServiceHarness::LogHas("Critical error !!! Module cannot initialize!!!<ERROR>"));
}

// Another program made "NuvikTarvoApiCreateMutex" before the service started
// and keeps it: an event of that name, which no one can wait on as a mutex, or
// a mutex it holds, which the start-up waits on for its bound. Either way the
// binding is made without it, with one line: the start-up completes, the
// P-sensor is watched, and a near reaches the modem as back-off on.
namespace {
struct TakenName {
    const char* name;
    bool mutex;
    const char* line;
};
void PrintTo(const TakenName& c, std::ostream* out) { *out << c.name; }

class NuvikServiceTakenName : public NuvikService, public ::testing::WithParamInterface<TakenName> {};
}  // namespace

TEST_P(NuvikServiceTakenName, TheStartUpCompletesAndANearReachesTheModem) {
    const TakenName& c = GetParam();
    CUniqueHandle held(c.mutex ? CreateMutexA(nullptr, TRUE, "NuvikTarvoApiCreateMutex")
                               : CreateEventA(nullptr, TRUE, FALSE, "NuvikTarvoApiCreateMutex"));
    ASSERT_TRUE(held.IsValid());
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "made here, so held here";
    Install(true, simmodem::InterfaceSpec::Nuvik());
    ASSERT_TRUE(CServiceHarness::WaitForLog("Nuvik Tarvo initialization completed!Restult = 1", 30000))
        << CServiceHarness::LogTail();
    EXPECT_EQ(CServiceHarness::LogCount(std::string("CNuvikTarvoApi::GetInstance\tDEBUG\t") + c.line), 1u);
    EXPECT_EQ(CServiceHarness::LogCount("New Nuvik Instance"), 1u);
    EXPECT_FALSE(CServiceHarness::LogHas("initialize again after 10 seconds!"));
    ASSERT_TRUE(machine::WaitForStartUp()) << "the P-sensor is watched";

    const size_t sets = machine::SarConfigSets(modemLog).size();
    machine::SetDetection(true);
    testsupport::SetDword(machine::kNotificationKey, "Type2", kBit25);
    // (The initial state's own set, sent after the module's reboot, may still come first.)
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            const std::vector<simmodem::Bytes> all = machine::SarConfigSets(modemLog);
            return all.size() > sets && all.back() == SarConfigPayload(1, 0, 2);
        },
        std::chrono::milliseconds(10000)))
        << "back-off on";
    EXPECT_TRUE(testsupport::WaitUntil([] { return machine::CurrentStatus() == 0x11; }, std::chrono::milliseconds(5000)))
        << std::hex << machine::CurrentStatus();
    EXPECT_TRUE(harness->StopAndWait());
    if (c.mutex) ReleaseMutex(held.Get());
}

INSTANTIATE_TEST_SUITE_P(
    Taken, NuvikServiceTakenName,
    ::testing::Values(
        TakenName{"AnEvent", false, "NuvikTarvoApiCreateMutex can be neither created nor opened, error 6, created without it"},
        TakenName{"AHeldMutex", true, "NuvikTarvoApiCreateMutex not given within 10000 ms, created without it"}),
    [](const ::testing::TestParamInfo<TakenName>& info) { return std::string(info.param.name); });

TEST_F(NuvikService, StopDuringTheRebootPollsIsPromptAndTheNextStartWritesNothing) {
    // The real clock, and a module that leaves at the reboot and stays away: the
    // polls alone would keep the worker 55 s.
    simmodem::InterfaceSpec modem = simmodem::InterfaceSpec::Nuvik();
    modem.tableIndex = 1;
    simmodem::Settings away;
    away.rebootArriveDelayMs = 600000;
    Install(true, modem, 1, away);
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANNuvik::DoModuleReboot\tINFO\tWait MBIM ready ... [2]", 20000));
    EXPECT_TRUE(CServiceHarness::LogHas("==> Module now is rebooting!"));

    const auto stopAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(harness->StopAndWait(5000)) << "state " << harness->State();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(5));
    EXPECT_TRUE(CServiceHarness::LogHas(
        "CWWANNuvik::DoModuleReboot\tINFO\tStop requested, wait for the module's reboot ended"));
    EXPECT_TRUE(CServiceHarness::LogHas("CWWANNuvik::DoModuleReboot\tINFO\tClose Event Handle succeeded!"));
    EXPECT_TRUE(CServiceHarness::LogHas("Nuvik Tarvo initialization completed!Restult = 0"));
    EXPECT_FALSE(CServiceHarness::LogHas("Module failed to reboot! <ERROR>"));
    EXPECT_FALSE(CServiceHarness::LogHas("initialize again after 10 seconds!")) << "a stop is not retried";
    EXPECT_EQ(DiagSets(modemLog, 4), 1u);
    EXPECT_EQ(DiagSets(modemLog, 5), 1u);

    // The module comes back with what the first start wrote into it.
    simreg::Status status;
    ASSERT_TRUE(CSimModemRemote::ReadStatus(status));
    ASSERT_EQ(status.interfaces.size(), 1u);
    ASSERT_EQ(simmodem::Bytes(efs.begin(), efs.end()), status.interfaces[0].sarImage);
    modem.sarImage = status.interfaces[0].sarImage;
    modem.tableIndex = status.interfaces[0].tableIndex;
    modem.tableCrc = status.interfaces[0].tableCrc;
    modem.sarEnable = status.interfaces[0].sarEnable;
    const std::wstring nextLog = testsupport::BuildPathW(L"e2e-install\\nuvik-modem-next.log");
    testsupport::RemoveFile(nextLog);
    ASSERT_NO_FATAL_FAILURE(WriteModule(modem, simmodem::Settings(), nextLog));
    CServiceHarness::ClearLog();

    ASSERT_TRUE(harness->Start());
    ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("Nuvik Tarvo initialization completed!Restult = 1", 20000));
    EXPECT_TRUE(CServiceHarness::LogHas("CWWANNuvik::SetSarValueSetting\tINFO\tGetSarTable index = [2]"));
    EXPECT_TRUE(CServiceHarness::LogHas("CWWANNuvik::SetSarValueSetting\tDEBUG\tCRC are the same!"));
    EXPECT_EQ(DiagSets(nextLog, 2), 0u) << "no second SAR write";
    EXPECT_EQ(DiagSets(nextLog, 4), 0u);
    EXPECT_EQ(DiagSets(nextLog, 5), 0u) << "no second reboot";
    EXPECT_TRUE(harness->StopAndWait());
    testsupport::RemoveFile(nextLog);
}

// The sensor moves several times while the command of its last change is on
// its way to a modem that answers every SAR configuration 1.5 s late: the
// toggles the watcher then reads together leave the modem and "CurrentStatus"
// where the sensor ended.
TEST_F(NuvikService, QuickChangesDuringACommandLeaveTheBackOffWhereTheSensorEnds) {
    struct Case {
        const char* name;
        std::vector<bool> duringTheAway;  // moves while the away command is on its way (true: near)
        bool objectNear;                  // where the sensor ends
    } cases[] = {
        {"away, then near and away during its command", {true, false}, false},
        {"away, then near, away and near during its command", {true, false, true}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CServiceHarness::ClearLog();
        machine::SetSensorValues(0);
        machine::SetDetection(false);
        machine::SetCurrentStatus(0);
        faults = {simmodem::FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, 1500, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)};
        simmodem::InterfaceSpec modem = simmodem::InterfaceSpec::Nuvik();
        modem.tableIndex = 1;
        testsupport::RemoveFile(modemLog);
        Install(true, modem);
        ASSERT_TRUE(CServiceHarness::WaitForLog("Nuvik Tarvo initialization completed!Restult = 1", 30000));
        ASSERT_TRUE(machine::WaitForStartUp());

        // The toggles as the driver makes them: bit 25 on each approach, bit 26
        // on each departure, its reading in step.
        DWORD type2 = 0;
        auto move = [&](bool objectNear) {
            machine::SetDetection(objectNear);
            type2 ^= objectNear ? kBit25 : kBit26;
            testsupport::SetDword(machine::kNotificationKey, "Type2", type2);
        };
        move(true);
        ASSERT_TRUE(machine::WaitForHeldState(1, 2, 0x11, 15000)) << "near: back-off on" << CServiceHarness::LogTail();
        const size_t sets = machine::SarConfigSets(modemLog).size();
        move(false);
        ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, sets + 1, 10000)) << "the away command is on its way";
        for (bool objectNear : c.duringTheAway) move(objectNear);

        char last[64];
        std::snprintf(last, sizeof(last), "------m_dwCurrentNotificationValue => 0x%2x", static_cast<unsigned>(type2));
        ASSERT_TRUE(CServiceHarness::WaitForLog(last, 15000)) << "the watcher read where the sensor ended";
        EXPECT_TRUE(machine::WaitForHeldState(c.objectNear ? 1 : 0, c.objectNear ? 2 : 1, c.objectNear ? 0x11 : 0x0,
                                              15000))
            << "status 0x" << std::hex << machine::CurrentStatus() << CServiceHarness::LogTail();
        EXPECT_TRUE(harness->StopAndWait());
        harness->Remove();
    }
}

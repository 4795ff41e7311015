// The Nuvik modem object against Kessa.dll and the simulated modem: the SAR
// table brought in line with the platform's SAR EFS file (file choice, the
// write decision, write, verify, reboot), the waits for MBIM readiness before
// and during the reboot on the fast clock, the firmware-update wait, unusable
// files; and back-off switched through the SAR-control service.
#include "CClock.h"
#include "CNuvikTarvoApi.h"
#include "CWWANNuvik.h"
#include "Handles.h"
#include "MBSar.h"
#include "NuvikFixture.h"
#include "PlatformFlags.h"
#include "TestSupport.h"

#include <chrono>
#include <functional>

using namespace nuviktest;

namespace {
const char kInitialize[] = "CWWANNuvik::Initialize";
const char kSetting[] = "CWWANNuvik::SetSarValueSetting";
const char kReboot[] = "CWWANNuvik::DoModuleReboot";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
const uint32_t kNeverMs = 600000;  // a simulator reboot delay that no test outlives

const Bytes kLumoImage = MakeImage(1200, 1);  // three read frames, three write packets
const Bytes kDovraImage = MakeImage(900, 2);
const Bytes kOldImage = MakeImage(300, 3);

std::string Bracketed(const std::string& label, unsigned value) { return label + std::to_string(value) + "]"; }

std::vector<std::string> InitializeEnd(int result) {
    return {"DEBUG\tNuvik Tarvo initialization completed!Restult = " + std::to_string(result), "DEBUG\t ", "DEBUG\t "};
}

// What SetSarValueSetting logs for a module that reports index and crc.
std::vector<std::string> SettingLines(const char* file, uint16_t fileCrc, uint32_t index, uint16_t crc) {
    std::vector<std::string> lines = {
        std::string("INFO\tSAR table using ") + file + " file!",
        Bracketed("INFO\tEFSFile CRC = [", fileCrc),
        Bracketed("INFO\tGetSarTable index = [", index),
        Bracketed("INFO\tEFSFile CRC is   [", fileCrc),
        Bracketed("INFO\tSarTable CRC is [", crc),
    };
    if (index != 2) lines.push_back("DEBUG\tSAR Index for Lumo platform is not correct, must set Index again!");
    lines.push_back(fileCrc == crc ? "DEBUG\tCRC are the same!"
                                   : "DEBUG\tCRC are NOT the same! Need to write EFSFile into module!");
    return lines;
}

std::vector<std::string> WriteLines(uint16_t fileCrc) {
    return {Bracketed("INFO\tSet index to [", 2),       Bracketed("INFO\tSet crc to\t   [", fileCrc),
            Bracketed("INFO\tGet index = [", 2),        Bracketed("INFO\tGet crc =\t  [", fileCrc),
            "INFO\tEFSFile has written to module correctly!"};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool FirmwareEventExists() {
    HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, kFirmwareUpdateEvent);
    if (!event) return false;
    ::CloseHandle(event);
    return true;
}

class NuvikDriver : public NuvikFixture {
protected:
    void SetUp() override {
        NuvikFixture::SetUp();
        UseLibrary(Library::Product);
    }

    // The module as it starts: its stored image, table index and CRC and enable flag.
    void StartModule(uint32_t index, uint16_t crc, uint32_t sarEnable = 1,
                     const simmodem::Settings& settings = simmodem::Settings()) {
        simmodem::InterfaceSpec modem = simmodem::InterfaceSpec::Nuvik();
        modem.sarImage = kOldImage;
        modem.tableIndex = index;
        modem.tableCrc = crc;
        modem.sarEnable = sarEnable;
        StartModem(modem, settings);
    }

    // The simulator reboots the module on its own; the first poll waits until the
    // library has seen it go, the second until it has seen it back.
    void FollowReboot() {
        m_polls = 0;
        SetSleepHook([this](DWORD ms) {
            if (ms != 1000) return;
            ++m_polls;
            m_eventSeenDuringPolls = m_eventSeenDuringPolls || FirmwareEventExists();
            if (m_polls <= 2) {
                EXPECT_TRUE(WaitForKessaReady(m_polls == 1 ? 0 : 1)) << "poll " << m_polls;
            }
        });
    }

    // The test takes the module away and back so that the polls read the plan's
    // readiness, its last entry repeated (the simulator's own reboot is kept away);
    // then runs with each requested sleep.
    void DriveReboot(std::vector<int> plan, std::function<void(DWORD)> then = nullptr) {
        m_polls = 0;
        SetSleepHook([this, plan, then](DWORD ms) {
            if (then) then(ms);
            if (ms != 1000) return;
            ++m_polls;
            int want = plan[std::min<size_t>(m_polls, plan.size()) - 1];
            if (KessaReady() != want) {
                if (want == 0) sim.RemoveInterface(0);
                else sim.ArriveInterface(0);
                EXPECT_TRUE(WaitForKessaReady(want)) << "poll " << m_polls;
            }
        });
    }

    static simmodem::Settings RebootByTest() {
        simmodem::Settings settings;
        settings.rebootRemoveDelayMs = kNeverMs;
        return settings;
    }

    size_t RebootsSent() { return DiagCommands(5, SIMMODEM_OP_SET).size(); }

    int m_polls = 0;
    bool m_eventSeenDuringPolls = false;
};
}  // namespace

TEST_F(NuvikDriver, WritesTheFileVerifiesAndRebootsInThisOrder) {
    g_bLumoPlatform = true;
    WriteWorkFile(kLumoFile, kLumoImage);
    StartModule(99, 0x1234, 0);
    FollowReboot();
    const uint16_t crc = FileCrc(kLumoImage);

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 1);

    const std::string id = InterfaceIdA();
    std::vector<std::string> expected = {
        "CWWANNuvik::GetUUID\tINFO\tuuid is ==> " + id,
        "CNuvikTarvoApi::Init\tDEBUG\tNuvik Proc Initialization Success",
        "CNuvikTarvoApi::CNuvikTarvoApi\tDEBUG\tInit Success",
        "CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance",
        "CNuvikTarvoApi::OpenMBIMPorts\tDEBUG\tInitializing MBIM Ports...",
        "CNuvikTarvoApi::OpenMBIMPorts\tDEBUG\tMBIM Ports Initialization SUCCESS",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tQuerying MBIM Ports...",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tCheckMBIM API SUCCESS, bStatus = 1",
        "CWWANNuvik::Initialize\tDEBUG\tMBIM is ready!",
        "CNuvikTarvoApi::OpenDeviceSvc\tDEBUG\tOpen device service...",
        "CNuvikTarvoApi::OpenDeviceSvc\tDEBUG\tOpen device service SUCCESS",
        "CNuvikTarvoApi::GetSarEnable\tDEBUG\tGet Sar Enable...",
        "CNuvikTarvoApi::GetSarEnable\tDEBUG\tSar enable flag is 0",
        "CNuvikTarvoApi::GetSarEnable\tDEBUG\tGetSarEnable SUCCESS",
        "CNuvikTarvoApi::SetSarEnable\tDEBUG\tSet Sar Enable...",
        "CNuvikTarvoApi::SetSarEnable\tDEBUG\tSetSarEnable to 1 SUCCESS",
        "CWWANNuvik::SetSarValueSetting\tINFO\tSAR table using SAREFS_HX730R_Lumo file!",
        "CNuvikTarvoApi::GetFileCRC\tDEBUG\tGetFileCRC...",
        "CNuvikTarvoApi::GetFileCRC\tDEBUG\tGetFileCRC SUCCESS",
        Bracketed("CWWANNuvik::SetSarValueSetting\tINFO\tEFSFile CRC = [", crc),
        "CNuvikTarvoApi::GetSarTable\tDEBUG\tGetSarTable...",
        "CNuvikTarvoApi::GetSarTable\tDEBUG\tGetSarTable CRC SUCCESS",
        "CWWANNuvik::SetSarValueSetting\tINFO\tGetSarTable index = [99]",
        Bracketed("CWWANNuvik::SetSarValueSetting\tINFO\tEFSFile CRC is   [", crc),
        Bracketed("CWWANNuvik::SetSarValueSetting\tINFO\tSarTable CRC is [", 0x1234),
        "CWWANNuvik::SetSarValueSetting\tDEBUG\tSAR Index for Lumo platform is not correct, must set Index again!",
        "CWWANNuvik::SetSarValueSetting\tDEBUG\tCRC are NOT the same! Need to write EFSFile into module!",
        "CNuvikTarvoApi::SetSarValue\tDEBUG\tSetSarValue (write EFSFile) SUCCESS",
        "CNuvikTarvoApi::SetSarTable\tDEBUG\tSetSarTable...",
        "CNuvikTarvoApi::SetSarTable\tDEBUG\tSetSarTable CRC SUCCESS",
        "CWWANNuvik::SetSarValueSetting\tINFO\tSet index to [2]",
        Bracketed("CWWANNuvik::SetSarValueSetting\tINFO\tSet crc to\t   [", crc),
        "CNuvikTarvoApi::GetSarTable\tDEBUG\tGetSarTable...",
        "CNuvikTarvoApi::GetSarTable\tDEBUG\tGetSarTable CRC SUCCESS",
        "CWWANNuvik::SetSarValueSetting\tINFO\tGet index = [2]",
        Bracketed("CWWANNuvik::SetSarValueSetting\tINFO\tGet crc =\t  [", crc),
        "CNuvikTarvoApi::GetSarValue\tDEBUG\tGetSarValue SUCCESS",
        "CNuvikTarvoApi::IsWrite\tDEBUG\tIsWrite SUCCESS",
        "CWWANNuvik::SetSarValueSetting\tINFO\tEFSFile has written to module correctly!",
        "CNuvikTarvoApi::ModuleReboot\tDEBUG\t==> Module rebooting...",
        "CNuvikTarvoApi::ModuleReboot\tDEBUG\tKessa_SetDeviceRoot API return SUCCESS!",
        "CWWANNuvik::DoModuleReboot\tINFO\tWait MBIM ready ... [1]",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tQuerying MBIM Ports...",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tCheckMBIM API SUCCESS, bStatus = 0",
        "CWWANNuvik::DoModuleReboot\tINFO\t==> Module now is rebooting!",
        "CWWANNuvik::DoModuleReboot\tINFO\tWait MBIM ready ... [2]",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tQuerying MBIM Ports...",
        "CNuvikTarvoApi::CheckMBIM\tDEBUG\tCheckMBIM API SUCCESS, bStatus = 1",
        "CWWANNuvik::DoModuleReboot\tINFO\t==> Module reboot successfully!!",
        "CWWANNuvik::DoModuleReboot\tINFO\tClose Event Handle succeeded!",
        "CWWANNuvik::Initialize\tDEBUG\tNuvik Tarvo initialization completed!Restult = 1",
        "CWWANNuvik::Initialize\tDEBUG\t ",
        "CWWANNuvik::Initialize\tDEBUG\t ",
    };
    std::vector<std::string> actual;
    for (const LogLine& line : Lines()) actual.push_back(line.text);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(Sleeps(), (std::vector<DWORD>{1000, 1000, 5000})) << "MBIM ready at once: no 5 s wait";

    // The module holds the file, its table record and SAR enabled, and was rebooted once.
    EXPECT_EQ(sim.SarImage(0), kLumoImage);
    SimModemDiagState diag = Diag();
    EXPECT_EQ(diag.tableIndex, 2u);
    EXPECT_EQ(diag.tableCrc, crc);
    EXPECT_EQ(diag.sarEnable, 1u);
    ASSERT_EQ(RebootsSent(), 1u);
    EXPECT_EQ(DiagCommands(5, SIMMODEM_OP_SET)[0].payload, (Bytes{0x00, 0x11}));
    // The reboot is announced system-wide while it runs, and only then.
    EXPECT_TRUE(m_eventSeenDuringPolls);
    EXPECT_FALSE(FirmwareEventExists());
}

namespace {
enum class ModuleCrc { Lumo, Dovra, Other };

struct SyncCase {
    const char* name;
    bool lumo;
    bool dovra;
    uint32_t moduleIndex;
    ModuleCrc moduleCrc;
    bool written;
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class SarTableSync : public NuvikDriver, public ::testing::WithParamInterface<SyncCase> {};

const SyncCase kSyncCases[] = {
    {"NeitherPlatformUsesLumo", false, false, 2, ModuleCrc::Lumo, false},
    {"Lumo", true, false, 2, ModuleCrc::Lumo, false},
    {"Dovra", false, true, 2, ModuleCrc::Dovra, false},
    {"BothFlagsLumoWins", true, true, 2, ModuleCrc::Lumo, false},
    {"Index99SameCrc", false, false, 99, ModuleCrc::Lumo, true},
    {"Index2OtherCrc", false, false, 2, ModuleCrc::Other, true},
    {"DovraIndex0OtherCrc", false, true, 0, ModuleCrc::Other, true},
};
}  // namespace

TEST_P(SarTableSync, WritesOnlyWhenIndexOrCrcDiffer) {
    const SyncCase& c = GetParam();
    g_bLumoPlatform = c.lumo;
    g_bDovraPlatform = c.dovra;
    WriteWorkFile(kLumoFile, kLumoImage);
    WriteWorkFile(kDovraFile, kDovraImage);
    const bool dovraFile = c.dovra && !c.lumo;
    const Bytes& file = dovraFile ? kDovraImage : kLumoImage;
    const uint16_t fileCrc = FileCrc(file);
    const uint16_t moduleCrc = c.moduleCrc == ModuleCrc::Lumo    ? FileCrc(kLumoImage)
                               : c.moduleCrc == ModuleCrc::Dovra ? FileCrc(kDovraImage)
                                                                 : 0x1234;
    ASSERT_NE(FileCrc(kLumoImage), FileCrc(kDovraImage));
    StartModule(c.moduleIndex, moduleCrc);
    FollowReboot();

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 1);

    std::vector<std::string> expected =
        SettingLines(dovraFile ? "SAREFS_HX730R_Dovra" : "SAREFS_HX730R_Lumo", fileCrc, c.moduleIndex, moduleCrc);
    if (c.written) expected = Concat(expected, WriteLines(fileCrc));
    EXPECT_EQ(Messages(kSetting), expected);
    EXPECT_EQ(Messages(kInitialize), Concat({"DEBUG\tMBIM is ready!"}, InitializeEnd(1)));

    SimModemDiagState diag = Diag();
    if (c.written) {
        EXPECT_EQ(sim.SarImage(0), file);
        EXPECT_EQ(diag.tableIndex, 2u);
        EXPECT_EQ(diag.tableCrc, fileCrc);
        EXPECT_EQ(RebootsSent(), 1u);
        EXPECT_EQ(Sleeps(), (std::vector<DWORD>{1000, 1000, 5000}));
    } else {
        EXPECT_EQ(sim.SarImage(0), kOldImage);
        EXPECT_TRUE(DiagCommands(2, SIMMODEM_OP_SET).empty()) << "neither written nor read back";
        EXPECT_EQ(diag.tableIndex, c.moduleIndex);
        EXPECT_EQ(diag.tableCrc, moduleCrc);
        EXPECT_EQ(RebootsSent(), 0u);
        EXPECT_TRUE(Messages(kReboot).empty());
        EXPECT_TRUE(Sleeps().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Nuvik, SarTableSync, ::testing::ValuesIn(kSyncCases),
                         [](const ::testing::TestParamInfo<SyncCase>& info) { return info.param.name; });

TEST_F(NuvikDriver, FailedVerificationIsNotRebootedAndTheNextTryWritesAgain) {
    WriteWorkFile(kLumoFile, kLumoImage);
    StartModule(99, 0x1234);
    const uint16_t crc = FileCrc(kLumoImage);
    // Between the table record and the read-back, the module's image goes bad.
    bool tampered = false;
    SetLogHook([this, &tampered](const LogLine& line) {
        if (tampered || line.function != kSetting || line.message.rfind("Get index = [", 0) != 0) return;
        tampered = true;
        SimModemDiagState state = Diag();
        Bytes bad = kLumoImage;
        bad[0] ^= 0xFF;
        EXPECT_TRUE(sim.SetDiagState(0, state, &bad));
    });

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 0);
    ASSERT_TRUE(tampered);
    std::vector<std::string> written = WriteLines(crc);
    written.back() = "INFO\tEFSFile and SAR table in module are NOT the same! Write EFSFile failed!is_success = 0";
    EXPECT_EQ(Messages(kSetting), Concat(SettingLines("SAREFS_HX730R_Lumo", crc, 99, 0x1234), written));
    EXPECT_EQ(Messages(kInitialize), Concat({"DEBUG\tMBIM is ready!", "DEBUG\tSetSarValueSetting() returned fail <ERROR>"},
                                            InitializeEnd(0)));
    EXPECT_EQ(RebootsSent(), 0u);
    EXPECT_TRUE(Messages(kReboot).empty());
    EXPECT_TRUE(Sleeps().empty());

    // The module now reports index 2 and the file's CRC over the bad image: the
    // next try must not trust that, and writes the file again.
    SimModemDiagState diag = Diag();
    EXPECT_EQ(diag.tableIndex, 2u);
    EXPECT_EQ(diag.tableCrc, crc);
    ClearLines();
    FollowReboot();
    EXPECT_EQ(modem.Initialize(), 1);
    EXPECT_EQ(Messages(kSetting),
              Concat(Concat(SettingLines("SAREFS_HX730R_Lumo", crc, 2, crc),
                            {"DEBUG\tEFSFile written before was not verified, must write it again!"}),
                     WriteLines(crc)));
    EXPECT_EQ(Messages(kInitialize),
              Concat({"DEBUG\tMBIM Ports already open, going on", "DEBUG\tMBIM is ready!",
                      "DEBUG\tDevice service already open, going on"},
                     InitializeEnd(1)));
    EXPECT_EQ(CountText("Open device service..."), 0u) << "the first try's context serves the second";
    EXPECT_EQ(sim.SarImage(0), kLumoImage);
    EXPECT_EQ(RebootsSent(), 1u);
}

namespace {
struct ReadinessCase {
    const char* name;
    int readyOnPass;  // 1: at once; 0: never
    int result;
};

void PrintTo(const ReadinessCase& c, std::ostream* os) { *os << c.name; }

class MbimReadiness : public NuvikDriver, public ::testing::WithParamInterface<ReadinessCase> {};

const ReadinessCase kReadinessCases[] = {
    {"AtOnce", 1, 1},
    {"OnTheThirdPass", 3, 1},
    {"Never", 0, 0},
};
}  // namespace

TEST_P(MbimReadiness, FiveSecondWaitsUntilTheModuleIsReady) {
    const ReadinessCase& c = GetParam();
    WriteWorkFile(kLumoFile, kLumoImage);
    StartModule(2, FileCrc(kLumoImage));
    int waits = 0;
    if (c.readyOnPass != 1) {
        // The library's session is open, but the module goes away at once...
        SetLogHook([this](const LogLine& line) {
            if (line.message != "MBIM Ports Initialization SUCCESS") return;
            sim.RemoveInterface(0);
            EXPECT_TRUE(WaitForKessaReady(0));
        });
        // ...and, when it comes back, during the wait before the pass that finds it.
        SetSleepHook([this, &waits, c](DWORD ms) {
            if (ms == 5000 && ++waits == c.readyOnPass - 1) {
                sim.ArriveInterface(0);
                EXPECT_TRUE(WaitForKessaReady(1));
            }
        });
    }

    const auto started = std::chrono::steady_clock::now();
    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

    const size_t passes = c.readyOnPass == 0 ? 5 : c.readyOnPass - 1;
    std::vector<std::string> expected(passes, "DEBUG\tWait 5s for MBIM ready...");
    if (c.readyOnPass != 0) expected.push_back("DEBUG\tMBIM is ready!");
    EXPECT_EQ(Messages(kInitialize), Concat(expected, InitializeEnd(c.result)));
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(passes, 5000));
    EXPECT_EQ(CountText("CheckMBIM API SUCCESS, bStatus = 0"), passes);
    EXPECT_EQ(CountText("Open device service..."), c.readyOnPass == 0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Nuvik, MbimReadiness, ::testing::ValuesIn(kReadinessCases),
                         [](const ::testing::TestParamInfo<ReadinessCase>& info) { return info.param.name; });

namespace {
struct RebootCase {
    const char* name;
    std::vector<int> plan;  // readiness read by each poll, the last one repeated
    int goneOnPass;         // the pass that logs "rebooting", 0 none
    int backOnPass;         // the pass that logs "successfully", 0 none
};

void PrintTo(const RebootCase& c, std::ostream* os) { *os << c.name; }

class RebootReadiness : public NuvikDriver, public ::testing::WithParamInterface<RebootCase> {};

const RebootCase kRebootCases[] = {
    {"GoneOnSecondBackOnFourth", {1, 0, 0, 1}, 2, 4},
    {"AlreadyGoneOnFirst", {0, 1}, 1, 2},
    {"NeverGoes", {1}, 0, 0},
    {"NeverComesBack", {1, 0}, 2, 0},
};
}  // namespace

TEST_P(RebootReadiness, PollsEverySecondForTheModuleToComeBack) {
    const RebootCase& c = GetParam();
    WriteWorkFile(kLumoFile, kLumoImage);
    StartModule(2, 0x1234, 1, RebootByTest());
    DriveReboot(c.plan);

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 1) << "a failed reboot does not fail the start-up";

    const bool rebooted = c.backOnPass != 0;
    const int polls = rebooted ? c.backOnPass : 50;
    std::vector<std::string> expected;
    for (int pass = 1; pass <= polls; ++pass) {
        expected.push_back(Bracketed("INFO\tWait MBIM ready ... [", pass));
        if (pass == c.goneOnPass) expected.push_back("INFO\t==> Module now is rebooting!");
        if (pass == c.backOnPass) expected.push_back("INFO\t==> Module reboot successfully!!");
    }
    if (!rebooted) expected.push_back("INFO\tModule failed to reboot! <ERROR>");
    expected.push_back("INFO\tClose Event Handle succeeded!");
    EXPECT_EQ(Messages(kReboot), expected);

    std::vector<std::string> initialize = {"DEBUG\tMBIM is ready!"};
    if (!rebooted) initialize.push_back("DEBUG\tModuleReboot() returned fail <ERROR>");
    EXPECT_EQ(Messages(kInitialize), Concat(initialize, InitializeEnd(1)));

    std::vector<DWORD> sleeps(polls, 1000);
    sleeps.push_back(5000);
    EXPECT_EQ(Sleeps(), sleeps);
    EXPECT_EQ(RebootsSent(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Nuvik, RebootReadiness, ::testing::ValuesIn(kRebootCases),
                         [](const ::testing::TestParamInfo<RebootCase>& info) { return info.param.name; });

TEST_F(NuvikDriver, FirmwareUpdateInProgressDelaysTheRebootOnce) {
    WriteWorkFile(kLumoFile, kLumoImage);
    StartModule(2, 0x1234);
    HANDLE update = ::CreateEventA(nullptr, TRUE, FALSE, kFirmwareUpdateEvent);
    ASSERT_NE(update, nullptr);
    bool rebootSentBeforeWait = true;
    int polls = 0;
    SetSleepHook([this, &rebootSentBeforeWait, &polls](DWORD ms) {
        if (ms == 300000) rebootSentBeforeWait = RebootsSent() != 0;
        if (ms == 1000 && ++polls <= 2) {
            EXPECT_TRUE(WaitForKessaReady(polls == 1 ? 0 : 1));
        }
    });

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 1);

    EXPECT_EQ(Sleeps(), (std::vector<DWORD>{300000, 1000, 1000, 5000})) << "one wait, no second check";
    EXPECT_FALSE(rebootSentBeforeWait);
    EXPECT_EQ(RebootsSent(), 1u);
    const std::vector<std::string> lines = Messages(kReboot);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "INFO\tModule is doing FW update/switch, wait 5 minutes!");
    EXPECT_EQ(lines.back(), "INFO\tClose Event Handle succeeded!");
    EXPECT_TRUE(FirmwareEventExists()) << "the updater's event is left alone";
    ::CloseHandle(update);
}

namespace {
struct StopCase {
    const char* name;
    bool tableInLine;        // the module holds the file's table: nothing to write, no reboot
    bool goneBeforeReady;    // the module leaves once the library's session is open
    bool firmwareUpdate;     // an update in progress when the reboot comes
    std::vector<int> plan;   // the reboot polls' readiness (DriveReboot)
    DWORD stopAtMs;          // the stop comes as this wait begins...
    int stopAtRequest;       // ...at its n-th request
    std::vector<std::string> initialize;  // the Initialize lines before its end lines
    std::vector<std::string> reboot;
    std::vector<DWORD> sleeps;
    size_t rebootsSent;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopDuringStartUp : public NuvikDriver, public ::testing::WithParamInterface<StopCase> {};

const StopCase kStopCases[] = {
    {"MbimReadyWait", true, true, false, {}, 5000, 1,
     {"DEBUG\tWait 5s for MBIM ready...", "DEBUG\tStop requested, MBIM ready wait ended"}, {}, {5000}, 0},
    {"FirmwareUpdateWait", false, false, true, {}, 300000, 1, {"DEBUG\tMBIM is ready!"},
     {"INFO\tModule is doing FW update/switch, wait 5 minutes!",
      "INFO\tStop requested, FW update wait ended, module not rebooted"},
     {300000}, 0},
    // Gone at the second poll and never back.
    {"RebootPolls", false, false, false, {1, 0}, 1000, 3, {"DEBUG\tMBIM is ready!"},
     {"INFO\tWait MBIM ready ... [1]", "INFO\tWait MBIM ready ... [2]", "INFO\t==> Module now is rebooting!",
      "INFO\tStop requested, wait for the module's reboot ended", "INFO\tClose Event Handle succeeded!"},
     {1000, 1000, 1000}, 1},
    {"WaitAfterTheReboot", false, false, false, {0, 1}, 5000, 1, {"DEBUG\tMBIM is ready!"},
     {"INFO\tWait MBIM ready ... [1]", "INFO\t==> Module now is rebooting!", "INFO\tWait MBIM ready ... [2]",
      "INFO\t==> Module reboot successfully!!", "INFO\tStop requested, wait after the reboot ended",
      "INFO\tClose Event Handle succeeded!"},
     {1000, 1000, 5000}, 1},
};
}  // namespace

TEST_P(StopDuringStartUp, EndsTheWaitAndFailsAtOnceAndTheNextTryWritesNothing) {
    const StopCase& c = GetParam();
    WriteWorkFile(kLumoFile, kLumoImage);
    const uint16_t crc = FileCrc(kLumoImage);
    StartModule(c.tableInLine ? 2 : 99, c.tableInLine ? crc : 0x1234, 1, RebootByTest());
    CUniqueHandle update(c.firmwareUpdate ? ::CreateEventA(nullptr, TRUE, FALSE, kFirmwareUpdateEvent) : nullptr);
    CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop.IsValid());
    CClock::CThreadStopScope stopScope(stop.Get());
    if (c.goneBeforeReady) {
        SetLogHook([this](const LogLine& line) {
            if (line.message != "MBIM Ports Initialization SUCCESS") return;
            sim.RemoveInterface(0);
            EXPECT_TRUE(WaitForKessaReady(0));
        });
    }
    int requests = 0;
    DriveReboot(c.plan.empty() ? std::vector<int>{1} : c.plan, [&](DWORD ms) {
        if (ms == c.stopAtMs && ++requests == c.stopAtRequest) ::SetEvent(stop.Get());
    });

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 0);

    EXPECT_EQ(Messages(kInitialize), Concat(c.initialize, InitializeEnd(0)));
    EXPECT_EQ(Messages(kReboot), c.reboot);
    EXPECT_EQ(Sleeps(), c.sleeps) << "no wait after the stop";
    EXPECT_EQ(RebootsSent(), c.rebootsSent);
    update.Reset();
    EXPECT_FALSE(FirmwareEventExists()) << "the reboot's event is closed";
    const size_t writes = DiagCommands(2, SIMMODEM_OP_SET).size();
    if (!c.tableInLine) {
        EXPECT_EQ(sim.SarImage(0), kLumoImage) << "written and verified before the stop";
    }

    // The next start-up, with the module back: the table is in line, nothing is
    // written and nothing rebooted.
    SetLogHook(nullptr);
    SetSleepHook(nullptr);
    ::ResetEvent(stop.Get());
    if (KessaReady() != 1) {
        sim.ArriveInterface(0);
        ASSERT_TRUE(WaitForKessaReady(1));
    }
    ClearLines();
    EXPECT_EQ(modem.Initialize(), 1);
    EXPECT_EQ(Messages(kSetting), SettingLines("SAREFS_HX730R_Lumo", crc, 2, crc));
    EXPECT_TRUE(Messages(kReboot).empty());
    EXPECT_EQ(DiagCommands(2, SIMMODEM_OP_SET).size(), writes);
    EXPECT_EQ(RebootsSent(), c.rebootsSent);
}

INSTANTIATE_TEST_SUITE_P(Nuvik, StopDuringStartUp, ::testing::ValuesIn(kStopCases),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

namespace {
enum class EfsFile { Missing, Empty, LumoOnly, TooLong };

struct UnusableCase {
    const char* name;
    EfsFile file;
    bool dovra;
    const char* problem;  // the line of SetSarValueSetting after the file choice, if any
};

void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.name; }

class UnusableEfsFile : public NuvikDriver, public ::testing::WithParamInterface<UnusableCase> {};

const UnusableCase kUnusableCases[] = {
    {"Missing", EfsFile::Missing, false, "ERROR\tSAR EFS file .//SAREFS_HX730R_Lumo cannot be opened <ERROR>"},
    {"Empty", EfsFile::Empty, false, "ERROR\tSAR EFS file .//SAREFS_HX730R_Lumo is empty <ERROR>"},
    {"DovraWithoutItsFile", EfsFile::LumoOnly, true,
     "ERROR\tSAR EFS file .//SAREFS_HX730R_Dovra cannot be opened <ERROR>"},
    {"TooLongToCheck", EfsFile::TooLong, false, nullptr},
};
}  // namespace

TEST_P(UnusableEfsFile, FailsTheStartUpWithoutTouchingTheModule) {
    const UnusableCase& c = GetParam();
    g_bDovraPlatform = c.dovra;
    if (c.file == EfsFile::Empty) WriteWorkFile(kLumoFile, {});
    if (c.file == EfsFile::LumoOnly) WriteWorkFile(kLumoFile, kLumoImage);
    if (c.file == EfsFile::TooLong) WriteWorkFile(kLumoFile, MakeImage(65536, 4));
    StartModule(99, 0x1234);

    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 0);

    std::vector<std::string> expected = {std::string("INFO\tSAR table using SAREFS_HX730R_") +
                                         (c.dovra ? "Dovra" : "Lumo") + " file!"};
    if (c.problem) expected.push_back(c.problem);
    EXPECT_EQ(Messages(kSetting), expected);
    if (c.file == EfsFile::TooLong) {
        EXPECT_EQ(Messages("CNuvikTarvoApi::GetFileCRC"),
                  (std::vector<std::string>{"DEBUG\tGetFileCRC...",
                                            "DEBUG\t65536 bytes are more than the library can check",
                                            "DEBUG\tGetFileCRC FAILED: -1"}));
    }
    EXPECT_EQ(Messages(kInitialize),
              Concat({"DEBUG\tMBIM is ready!", "DEBUG\tSetSarValueSetting() returned fail <ERROR>"}, InitializeEnd(0)));
    EXPECT_TRUE(DiagCommands(4, SIMMODEM_OP_QUERY).empty()) << "the module's table is not even asked for";
    EXPECT_TRUE(DiagCommands(2, SIMMODEM_OP_SET).empty());
    EXPECT_EQ(sim.SarImage(0), kOldImage);
}

INSTANTIATE_TEST_SUITE_P(Nuvik, UnusableEfsFile, ::testing::ValuesIn(kUnusableCases),
                         [](const ::testing::TestParamInfo<UnusableCase>& info) { return info.param.name; });

namespace {
class NuvikTarvo : public NuvikFixture {
protected:
    void SetUp() override {
        NuvikFixture::SetUp();
        StartModem();
        g_modem = SarGetDefaultModem();
        g_dwCurrentTarvoState = 0;
        ASSERT_TRUE(testsupport::SetDword(kParametersKey, "CurrentStatus", 0x1001));
    }
    void TearDown() override {
        testsupport::DeleteValue(kParametersKey, "CurrentStatus");
        g_modem.reset();
        NuvikFixture::TearDown();
    }

    std::vector<Bytes> SarConfigSets() {
        std::vector<Bytes> sets;
        for (const simmodem::LogEntry& entry : sim.Log())
            if (entry.op == SIMMODEM_OP_SET && entry.cid == 1 &&
                _wcsicmp(entry.service.c_str(), SIMMODEM_SERVICE_MS_SAR) == 0)
                sets.push_back(entry.payload);
        return sets;
    }

    // The 28-byte SAR configuration that MBSar sends (OS-controlled, one state at 20).
    static Bytes Payload(uint32_t backOff, uint32_t antenna, uint32_t index) {
        const uint32_t fields[] = {1, backOff, 1, 20, 8, antenna, index};
        Bytes bytes;
        for (uint32_t field : fields)
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
        return bytes;
    }
};
}  // namespace

TEST_F(NuvikTarvo, RunTarvoHandlerSendsTheNuvikRowsAndRecordsTheModemBit) {
    struct Step {
        const char* name;
        uint8_t state;
        bool refused;  // the modem refuses the command with status 5
        int result;
        std::vector<Bytes> sent;
        std::vector<std::string> lines;
        DWORD status;
    };
    const Step steps[] = {
        {"on", 1, false, 0, {Payload(1, 0, 2)}, {"INFO\tTarvo on"}, 0x1011},
        {"neither on nor off", 0xFF, false, 1, {}, {"ERROR\tMB SAR enable Tarvo failed"}, 0x1011},
        {"off", 0, false, 0, {Payload(0, 0, 1)}, {"INFO\tTarvo Off"}, 0x1001},
        {"two", 2, false, 1, {}, {"ERROR\tMB SAR enable Tarvo failed"}, 0x1001},
        {"refused", 1, true, 5, {Payload(1, 0, 2)}, {"INFO\tTarvo on", "ERROR\tMB SAR enable Tarvo failed"}, 0x1001},
    };
    CWWANNuvik modem(L"Nuvik HX730R-GL");
    size_t sentBefore = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.refused) {
            ASSERT_TRUE(sim.AddFault(simmodem::FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5, 1, SIMMODEM_OP_SET)));
        }
        ClearLines();
        EXPECT_EQ(modem.RunTarvoHandler(step.state), step.result);
        std::vector<Bytes> sets = SarConfigSets();
        EXPECT_EQ(std::vector<Bytes>(sets.begin() + sentBefore, sets.end()), step.sent);
        sentBefore = sets.size();
        EXPECT_EQ(Messages("CWWANNuvik::RunTarvoHandler"), step.lines);
        EXPECT_EQ(CountText("Entering CWWANNuvik::RunTarvoHandler"), 1u);
        EXPECT_EQ(CountText("Exiting CWWANNuvik::RunTarvoHandler"), 1u);
        DWORD status = 0;
        EXPECT_TRUE(testsupport::GetDword(kParametersKey, "CurrentStatus", status));
        EXPECT_EQ(status, step.status);
    }
}

namespace {
struct ImageSizeCase {
    const char* name;
    size_t size;
};
void PrintTo(const ImageSizeCase& c, std::ostream* os) { *os << c.name; }

class ImageReadBack : public NuvikDriver, public ::testing::WithParamInterface<ImageSizeCase> {};

// The module reads back in frames of 500 bytes; a frame's byte count and the
// count still to come are escaped on the wire like its data.
const ImageSizeCase kImageSizeCases[] = {
    {"OneFrame", 400},
    {"RemainingCountHolds7E", 1138},  // 638 = 0x27E to come after the first frame
    {"RemainingCountHolds7D", 1137},
};
// Frames whose own byte count is escaped on the wire (125, 126, 381 or 382
// bytes): the library must read the count from the un-escaped bytes, or the
// frame's data shifts by one and verification fails on every try.
const ImageSizeCase kEscapedCountCases[] = {
    {"LastFrameOf125", 625},
    {"LastFrameOf126", 626},
    {"OnlyFrameOf126", 126},
    {"LastFrameOf381", 881},
};
}  // namespace

TEST_P(ImageReadBack, VerifiesWhatWasWritten) {
    const Bytes image = MakeImage(GetParam().size, 7);
    WriteWorkFile(kLumoFile, image);
    StartModule(99, 0x1234);
    FollowReboot();
    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 1);
    EXPECT_EQ(sim.SarImage(0), image);
    EXPECT_EQ(Messages(kSetting).back(), "INFO\tEFSFile has written to module correctly!");
}

INSTANTIATE_TEST_SUITE_P(Nuvik, ImageReadBack, ::testing::ValuesIn(kImageSizeCases),
                         [](const ::testing::TestParamInfo<ImageSizeCase>& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(KessaEscapedFrameCount, ImageReadBack, ::testing::ValuesIn(kEscapedCountCases),
                         [](const ::testing::TestParamInfo<ImageSizeCase>& info) { return info.param.name; });

TEST_F(NuvikDriver, WithoutAWwanAdapterTheSessionCannotBeOpened) {
    StartModem();
    testsupport::DeleteTree("SOFTWARE\\TarvoSim\\WwanAdapter");
    CWWANNuvik modem(L"Nuvik HX730R-GL");
    EXPECT_EQ(modem.Initialize(), 0);
    EXPECT_EQ(Messages("CWWANNuvik::GetUUID"), std::vector<std::string>{"INFO\tuuid is ==> "}) << "not a failure itself";
    EXPECT_EQ(Messages("CNuvikTarvoApi::OpenMBIMPorts"),
              (std::vector<std::string>{"DEBUG\tInitializing MBIM Ports...",
                                        "DEBUG\tMBIM Ports Initialization FAILED. Result Code: -1"}));
    EXPECT_EQ(Messages(kInitialize), InitializeEnd(0));
}

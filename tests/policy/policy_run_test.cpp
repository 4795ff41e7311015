// The worker thread's whole start-up with the real factory, the Foxconn modem
// object, the simulated modem, ConnectionMgmt.dll and the power-management
// driver; the clock runs fast.
#include "AllocationFailure.h"
#include "CClock.h"
#include "CService.h"
#include "CSimModemControl.h"
#include "CTarvoApplication.h"
#include "CWWANDevice.h"
#include "CWatcherPSensor.h"
#include "CWatcherThermova.h"
#include "FoxconnBandTable.h"
#include "LogCapture.h"
#include "MBSar.h"
#include "PlatformFlags.h"
#include "SimConnMgmtClient.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using simmodem::FaultSpec;
using simmodem::InterfaceSpec;

namespace {
const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";
std::atomic<int> g_initRetrySleeps{0};

class CObservedApplication : public CTarvoApplication {
public:
    bool HasFactory() const { return m_pDeviceFactory != nullptr; }
    CWWANDevice* Modem() const { return m_pWWANDeviceObj; }
    bool WorkerDone() const { return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_OBJECT_0; }
    bool WaitWorker(DWORD ms) const { return m_hThread && WaitForSingleObject(m_hThread, ms) == WAIT_OBJECT_0; }
    CWatcherPSensor* PSensorWatcher() const { return m_pPSensorWatcher; }
    CWatcherThermova* ThermovaWatcher() const { return m_pThermovaWatcher; }
};

bool WaitForLine(const std::string& text, size_t count = 1, int ms = 10000) {
    return testsupport::WaitUntil([&] { return CLogCapture::Count(text) >= count; }, std::chrono::milliseconds(ms));
}

class WorkerStartUp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
        ASSERT_TRUE(simpm::SetPSensor(true, true));
        ASSERT_TRUE(simpm::SetThermova(true, true));
        SetPlatform("Q47XV", "7KQA");
        ASSERT_TRUE(CSimModemControl::Register());
        ASSERT_TRUE(sim.Load());
        ResetModem();
        ASSERT_TRUE(connmgmt.IsLoaded());
        std::vector<SimCmRow> rows;
        for (size_t i = 0; i < FOXCONN_TBL_ROWS; ++i) {
            const FoxconnBandRow& r = foxconn_tbl_lumo[i];
            rows.push_back({r.tech, r.band, r.band2, r.value1, r.value2});
        }
        connmgmt.SetTable(rows);
        CClock::SetDivisor(1000);
        g_initRetrySleeps = 0;
        CClock::SetObserver([](DWORD ms) {
            if (ms == 10000) ++g_initRetrySleeps;
        });
        testsupport::RemoveFile(L"C:\\VAWMIR\\Tarvo.tag");
        testsupport::SetDword("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification", "Type2", 0);
        testsupport::SetDword("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification",
                              "Type22", 0);
    }
    void TearDown() override {
        CClock::SetObserver(nullptr);
        CClock::SetDivisor(1);
        g_modem.reset();
    }
    // The Foxconn module as it starts, and no memory of what it holds.
    void ResetModem() {
        simmodem::StartState state;
        state.interfaces = {InterfaceSpec::Qualcomm()};
        ASSERT_TRUE(sim.Reset(state));
        g_modem = SarGetDefaultModem();
        g_dwCurrentTarvoState = 0;
    }
    static void SetPlatform(const char* biosVersion, const char* board) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegCloseKey(key);
        testsupport::SetString(kBios, "BIOSVersion", biosVersion);
        testsupport::SetString(kBios, "BaseBoardProduct", board);
    }
    // A modem afresh, "CurrentStatus" 0, the sensor near or away (its driver
    // reading and "Type2", bit 25 set is away), and the application started on
    // them, up to its initial state, which it decides once the P-sensor
    // watcher watches, and the end of the Thermova watcher's hold, whose
    // re-evaluation reads the sensor too.
    void StartFresh(CObservedApplication& application, bool objectNear) {
        ResetModem();
        testsupport::SetDword("SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters", "CurrentStatus", 0);
        simpm::SetPSensor(true, objectNear);
        testsupport::SetDword("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification", "Type2",
                              objectNear ? 0 : 0x2000000);
        CLogCapture::Clear();
        application.Start();
        ASSERT_TRUE(WaitForLine("CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo", 2));
        ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
    }
    // The SAR configuration sets the modem received.
    std::vector<simmodem::Bytes> SarConfigSets() {
        std::vector<simmodem::Bytes> sets;
        for (const simmodem::LogEntry& e : sim.Log())
            if (e.op == SIMMODEM_OP_SET && e.cid == 1) sets.push_back(e.payload);
        return sets;
    }

    CSimModemControl sim;
    CSimConnMgmt connmgmt;
    CLogCapture capture;
};
}  // namespace

TEST_F(WorkerStartUp, InitializeSucceedsAtTheThirdCall) {
    connmgmt.AddFault(CallFault(SIMCM_CALL_SET_CTL_MODE, 1, 0, 2));
    CObservedApplication application;
    application.Start();
    ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
    EXPECT_EQ(CLogCapture::Count("CTarvoApplication::Run\tERROR\tm_pWWANDeviceObj->Initialize() failed, initialize again after 10 seconds!"), 2u);
    EXPECT_EQ(g_initRetrySleeps, 2) << "20 s before the watchers start";
    EXPECT_TRUE(g_bLumoPlatform);
    EXPECT_EQ(g_strWWANDeviceName, L"Qualcomm Snapdragon X55 5G");
    EXPECT_TRUE(CLogCapture::Has("CTarvoLumoDeviceFactory::CreateWWANDevice\tINFO\tFoxconn device found"));
    EXPECT_TRUE(CLogCapture::Has("CWatcherPSensor running"));
    EXPECT_FALSE(CLogCapture::Has("Does not have P-sensor Object."));
    // The initial SAR configuration came first; the initial state (proximity) after.
    std::vector<simmodem::Bytes> sets = SarConfigSets();
    ASSERT_GE(sets.size(), 2u);
    EXPECT_EQ(sets[0][4], 0) << "InitSAR: back-off disabled";
    EXPECT_EQ(sets[1][4], 1) << "proximity: back-off on";
    application.Stop();
}

TEST_F(WorkerStartUp, TenFailuresStopTheService) {
    connmgmt.AddFault(CallFault(SIMCM_CALL_SET_CTL_MODE, 1, 0, 0));
    CObservedApplication application;
    application.Start();
    ASSERT_TRUE(application.WaitWorker(20000));
    EXPECT_EQ(CLogCapture::Count("Initialize() failed, initialize again after 10 seconds!"), 10u);
    EXPECT_EQ(g_initRetrySleeps, 10) << "the tenth failure sleeps too";
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::Run\tERROR\tCritical error !!! Module cannot initialize!!!<ERROR>"));
    EXPECT_FALSE(CLogCapture::Has("CWatcherPSensor running")) << "nothing more starts once the service stops itself";
}

TEST_F(WorkerStartUp, UnsupportedPlatformGivesUp) {
    SetPlatform("X11AB", "7KQA");
    CObservedApplication application;
    application.Start();
    ASSERT_TRUE(application.WaitWorker(20000));
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::Run\tERROR\tUnsupported device."));
    EXPECT_EQ(CLogCapture::Count("CTarvoApplication::Run\tERROR\tRetry..."), 10u);
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::Run\tERROR\tWWANDevice not found."));
    EXPECT_FALSE(application.HasFactory());
    EXPECT_TRUE(SarConfigSets().empty());
    // Without a factory, a resume only switches the radio on and display events send nothing.
    application.SignalRestart();
    application.MonitorPowerOff();
    EXPECT_TRUE(SarConfigSets().empty());
}

TEST_F(WorkerStartUp, StopDuringTheStartUpRetriesIsPrompt) {
    CClock::SetDivisor(1);  // real 10 s retry waits
    connmgmt.AddFault(CallFault(SIMCM_CALL_SET_CTL_MODE, 1, 0, 0));
    auto application = std::make_unique<CObservedApplication>();
    application->Start();
    ASSERT_TRUE(WaitForLine("Initialize() failed, initialize again after 10 seconds!"));
    DWORD start = GetTickCount();
    application->Stop();
    application.reset();  // the destructor waits for the worker, which leaves its wait at once
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(CLogCapture::Count("Initialize() failed"), 1u);
}

TEST_F(WorkerStartUp, StopDuringTheInitialSarConfigurationIsPrompt) {
    CClock::SetDivisor(1);  // the real 30 s bound on the modem's answer
    ASSERT_TRUE(sim.AddFault(FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)));
    auto application = std::make_unique<CObservedApplication>();
    application->Start();
    const bool sent = testsupport::WaitUntil([&] { return !SarConfigSets().empty(); }, std::chrono::milliseconds(10000));
    DWORD start = GetTickCount();
    application->Stop();
    application.reset();  // the destructor waits for the worker, as the service's stop does
    EXPECT_TRUE(sent);
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::InitSAR\tDEBUG\tStop requested, SAR command wait ended"));
}

namespace {
std::atomic<CTarvoApplication*> g_stopAtModelFound{nullptr};

// On the worker, as the model look-up has found the module: the service's stop
// request lands between two start-up steps that both succeed.
void StopWhenTheModelIsFound(const char* line) {
    if (std::strstr(line, "Foxconn device found") == nullptr) return;
    if (CTarvoApplication* application = g_stopAtModelFound.exchange(nullptr)) application->CThread::Stop(false);
}
}  // namespace

TEST_F(WorkerStartUp, AStopBetweenStepsEndsTheStartUpBeforeTheNext) {
    CObservedApplication application;
    g_stopAtModelFound = &application;
    CLogCapture::SetLineHook(&StopWhenTheModelIsFound);
    application.Start();
    ASSERT_TRUE(application.WaitWorker(10000));
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::Run\tDEBUG\tStop requested, start-up ended"));
    EXPECT_TRUE(SarConfigSets().empty()) << "no initial SAR configuration";
    EXPECT_FALSE(CLogCapture::Has("CWWANFoxconn::Initialize")) << "no initialisation";
    EXPECT_FALSE(CLogCapture::Has("CWatcherPSensor running"));
}

TEST_F(WorkerStartUp, ResumeReplacesTheWatchersWhileTheyAreRead) {
    CObservedApplication application;
    application.Start();
    ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
    size_t initSars = SarConfigSets().size();

    // Readers on other threads while the watchers are replaced.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            application.NotifyState(2);
            application.NotifyChange();
        }
    });
    for (int restart = 0; restart < 3; ++restart) {
        application.SignalRestart();
        // Each restart starts a new watcher of each kind, the P-sensor's first.
        const size_t started = static_cast<size_t>(restart) + 2;
        ASSERT_TRUE(WaitForLine("CWatcherPSensor running", started));
        ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tCwatcherThermova Entry", started));
    }
    reading = false;
    reader.join();
    EXPECT_GE(CLogCapture::Count("CWatcherPSensor running"), 4u);
    EXPECT_GE(CLogCapture::Count("CWatcherPSensor Exit"), 3u) << "the old watchers ended";
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            size_t inits = 0;
            for (const simmodem::Bytes& set : SarConfigSets()) inits += set[4] == 0 && set[20] == 0 && set[24] == 1;
            return inits >= 4;
        },
        std::chrono::milliseconds(5000)))
        << "each restart sends the initial SAR configuration again";
    EXPECT_GT(SarConfigSets().size(), initSars);
    application.Stop();
}

namespace {
const char kNotification[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";

// The sensor as a user moves it: the driver's reading, then "Type2" (bit 25 set is away).
void Sensor(bool objectNear) {
    simpm::SetPSensor(true, objectNear);
    testsupport::SetDword(kNotification, "Type2", objectNear ? 0 : 0x2000000);
}

DWORD CurrentStatus() {
    DWORD status = 0;
    testsupport::GetDword(kParameters, "CurrentStatus", status);
    return status;
}

// Back-off status and index of a SAR configuration set; the Foxconn module's
// on (1, 2) and off (1, 1), and the initial configuration (0, 1).
struct SarSet {
    uint32_t backOff;
    uint32_t index;
    bool operator==(const SarSet& other) const { return backOff == other.backOff && index == other.index; }
};
const SarSet kOn = {1, 2};
const SarSet kOff = {1, 1};
const SarSet kInitial = {0, 1};

SarSet FieldsOf(const simmodem::Bytes& payload) {
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 | payload[at + 3] << 24);
    };
    return payload.size() >= 28 ? SarSet{u32(4), u32(24)} : SarSet{0xFFFFFFFF, 0xFFFFFFFF};
}

// The fields of the sets from index from on.
std::vector<SarSet> SetsFrom(const std::vector<simmodem::Bytes>& sets, size_t from) {
    std::vector<SarSet> fields;
    for (size_t i = from; i < sets.size(); ++i) fields.push_back(FieldsOf(sets[i]));
    return fields;
}
}  // namespace

// Steps that change what the modem holds outside a decision (the initial
// configuration after a resume, a set answered after the service stopped
// waiting, the modem arriving again): afterwards the modem holds what the
// sensor calls for, and "CurrentStatus" says so.
TEST_F(WorkerStartUp, TheModemHoldsWhatTheInputsCallForAfterStepsOutsideADecision) {
    enum class Step { Resume, LateAnswer, Arrival };
    struct Case {
        const char* name;
        Step step;
        bool objectNear;              // where the sensor ends
        std::vector<SarSet> setsAfter;  // what the modem receives from the step on (first and last only, with a try)
        SarSet stored;
        DWORD status;
        bool tried;  // the unanswered set is tried again meanwhile, as often as the timing gives
    } cases[] = {
        {"near, resume", Step::Resume, true, {kInitial, kOn}, kOn, 0x11, false},
        {"away, resume", Step::Resume, false, {kInitial}, kInitial, 0x0, false},
        {"on, then off answered past the bound, then near", Step::LateAnswer, true, {kOff, kOn}, kOn, 0x11, true},
        {"near, the interface removed and arriving again", Step::Arrival, true, {kOn}, kOn, 0x11, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CObservedApplication application;
        StartFresh(application, !c.objectNear);
        // The sensor moves to where the case has it: the watcher's decision, and its bit.
        Sensor(c.objectNear);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return CurrentStatus() == (c.objectNear ? 0x11u : 0x0u); },
                                           std::chrono::milliseconds(5000)))
            << std::hex << CurrentStatus();

        const size_t before = SarConfigSets().size();
        switch (c.step) {
        case Step::Resume:
            application.SignalRestart();
            break;
        case Step::LateAnswer:
            // Away: the modem carries the off command out and answers after the bound (2 s at this divisor).
            ASSERT_TRUE(sim.AddFault(FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, 3000, 1, SIMMODEM_OP_SET)));
            Sensor(false);
            ASSERT_TRUE(WaitForLine("MBSar::EnableTarvo\tERROR\t 0x800705b4 - "));
            Sensor(true);
            break;
        case Step::Arrival:
            ASSERT_TRUE(sim.RemoveInterface(0));
            ASSERT_TRUE(sim.ArriveInterface(0));
            break;
        }
        std::vector<SarSet> after;
        SimModemSarConfig stored = {};
        const bool settled = testsupport::WaitUntil(
            [&] {
                after = SetsFrom(SarConfigSets(), before);
                const bool sent = c.tried ? after.size() >= 2 && after.front() == c.setsAfter.front() &&
                                                after.back() == c.setsAfter.back()
                                          : after == c.setsAfter;
                return sent && sim.GetSarConfig(0, stored) &&
                       SarSet{stored.backOffStatus, stored.states[0].backOffIndex} == c.stored &&
                       CurrentStatus() == c.status;
            },
            std::chrono::milliseconds(10000));
        sim.GetSarConfig(0, stored);
        EXPECT_TRUE(settled) << after.size() << " sets; stored " << stored.backOffStatus << "/"
                             << stored.states[0].backOffIndex << "; status 0x" << std::hex << CurrentStatus();
        application.Stop();
        sim.ClearFaults();
    }
}

// A change made while the radio is off is not sent; when the radio comes on
// again, by the hardware switch or by another program's software radio (no
// request of the service's own), the state is decided again and sent, also
// after the tries of the change that could not be sent have stopped.
TEST_F(WorkerStartUp, TheRadioOnAgainSendsWhatTheSensorCallsFor) {
    enum class Switch { Hardware, Software };
    struct Case {
        const char* name;
        Switch radio;
        bool objectNear;  // where the sensor goes while the radio is off
    } cases[] = {
        {"hardware switch off, near, on", Switch::Hardware, true},
        {"software radio off, near, on", Switch::Software, true},
        {"hardware switch off, away, on", Switch::Hardware, false},
        {"software radio off, away, on", Switch::Software, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CObservedApplication application;
        StartFresh(application, false);
        // The sensor starts where the case does not end, told by the watcher with its bit.
        if (!c.objectNear) Sensor(true);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return CurrentStatus() == (c.objectNear ? 0x0u : 0x11u); },
                                           std::chrono::milliseconds(5000)))
            << std::hex << CurrentStatus();

        auto setRadio = [&](int on) {
            return c.radio == Switch::Hardware ? sim.SetRadio(0, on) : sim.SetRadio(0, -1, on);
        };
        ASSERT_TRUE(setRadio(0));
        Sensor(c.objectNear);
        ASSERT_TRUE(WaitForLine("MBSar::EnableTarvo\tERROR\tRadio state is Off."));
        // Its tries find the radio off too, until they stop.
        ASSERT_TRUE(WaitForLine("Back-off not taken by the modem after 8 tries, waiting for the next change"));
        const size_t before = SarConfigSets().size();
        ASSERT_TRUE(setRadio(1));

        const SarSet wanted = c.objectNear ? kOn : kOff;
        SimModemSarConfig stored = {};
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] {
                const std::vector<simmodem::Bytes> sets = SarConfigSets();
                return sets.size() == before + 1 && FieldsOf(sets.back()) == wanted && sim.GetSarConfig(0, stored) &&
                       SarSet{stored.backOffStatus, stored.states[0].backOffIndex} == wanted &&
                       CurrentStatus() == (c.objectNear ? 0x11u : 0x0u);
            },
            std::chrono::milliseconds(10000)))
            << SarConfigSets().size() - before << " sets; status 0x" << std::hex << CurrentStatus();
        application.Stop();
    }
}

namespace {
// The worker's next allocation of a pointer-sized block fails, once: the room
// for a watcher in the retired list. 0 for none.
std::atomic<DWORD> g_failRetiredEntryOn{0};
bool FailTheRetiredEntry(std::size_t size) {
    DWORD target = g_failRetiredEntryOn.load();
    return size == sizeof(void*) && target != 0 && target == ::GetCurrentThreadId() &&
           g_failRetiredEntryOn.compare_exchange_strong(target, 0);
}
// The resume's first sleep, on the worker: from here on its allocations are watched.
void ArmAtTheResume(DWORD ms) {
    if (ms == 10000 && g_failRetiredEntryOn.load() == 0) g_failRetiredEntryOn = ::GetCurrentThreadId();
}
}  // namespace

// Memory runs out as a resume replaces the watchers: that resume ends there,
// the worker serves the next one, and no watcher is left attached to the
// application once it is deleted.
TEST_F(WorkerStartUp, AnAllocationFailureWhileTheWatchersAreReplacedLeavesNoneAttached) {
    auto application = std::make_unique<CObservedApplication>();
    application->Start();
    ASSERT_TRUE(WaitForLine("CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo", 2));
    // Kept alive past the application, to count what stays attached to it.
    CWatcherPSensor* psensor = application->PSensorWatcher();
    CWatcherThermova* thermova = application->ThermovaWatcher();
    ASSERT_TRUE(psensor && thermova);
    psensor->AddReference();
    thermova->AddReference();

    testalloc::SetRule(&FailTheRetiredEntry);
    CClock::SetObserver(&ArmAtTheResume);
    application->SignalRestart();
    ASSERT_TRUE(WaitForLine("CTarvoApplication::Run\tERROR\tstd::bad_alloc")) << "the worker logs it";
    testalloc::SetRule(nullptr);
    CClock::SetObserver(nullptr);
    EXPECT_FALSE(application->WorkerDone());
    const size_t initial = CLogCapture::Count("MBSar::InitSAR\tINFO\tBack off disabled");
    application->SignalRestart();
    EXPECT_TRUE(WaitForLine("MBSar::InitSAR\tINFO\tBack off disabled", initial + 1))
        << "the next resume sends the initial configuration again";

    application->Stop();
    application.reset();
    EXPECT_EQ(psensor->ObserverCount(), 0u);
    EXPECT_EQ(thermova->ObserverCount(), 0u);
    psensor->ReleaseReference();
    thermova->ReleaseReference();
}

namespace {
DWORD Display(CTarvoApplication* application, BYTE state) {
    POWERBROADCAST_SETTING setting = {};
    setting.DataLength = 1;
    setting.Data[0] = state;
    return CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &setting, application);
}
}  // namespace

// The driver holds a request (its hold fault) while the service needs it: the
// control handler never waits for it, a decision that waits for it ends within
// the request's bound (2 s at this clock), and what waits behind it (the
// resume's restart, a display state, the next change) is carried out after.
TEST_F(WorkerStartUp, AHeldDriverRequestHoldsNothingPastItsBound) {
    enum class Kind { Resume, Recheck, DisplayWhileHeld };
    struct Case {
        const char* name;
        Kind kind;
        bool release;  // the driver answers; else the bound ends the request
    } cases[] = {
        {"a resume while the radio switch is held, then answered", Kind::Resume, true},
        {"a resume while the radio switch is held to its bound", Kind::Resume, false},
        {"a re-evaluation while the P-sensor reading is held", Kind::Recheck, false},
        {"display off while a re-evaluation's P-sensor reading is held", Kind::DisplayWhileHeld, false},
    };
    const std::string timedOut = "CDriverRequest::Send\tERROR\tDriver request 0x222690 input 0x0 not answered within 3 s";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CObservedApplication application;
        StartFresh(application, true);
        // The initial state: back-off on in the modem (the sensor's own bit comes with its first change).
        ASSERT_TRUE(testsupport::WaitUntil([&] { return CurrentStatus() == 0x10; }, std::chrono::milliseconds(5000)));
        const size_t before = SarConfigSets().size();
        CLogCapture::Clear();

        if (c.kind == Kind::Resume) {
            ASSERT_TRUE(simpm::HoldRequest(SIMPM_IOCTL_RADIO, 0x10100));
            const ULONGLONG start = GetTickCount64();
            EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, &application),
                      static_cast<DWORD>(NO_ERROR));
            EXPECT_LT(GetTickCount64() - start, 500u) << "the handler does not wait for the driver";
            EXPECT_TRUE(simpm::WaitForHeld(1, 5000)) << "the radio switch waits for the driver";
            ASSERT_TRUE(simpm::ClearFaults());
            if (c.release) {
                EXPECT_TRUE(simpm::ReleaseHeld());
                EXPECT_TRUE(WaitForLine("CTarvoApplication::SetWWANRadioState\tDEBUG\tWWAN Radio is set to ON"));
            } else {
                EXPECT_TRUE(WaitForLine(
                    "CTarvoApplication::SetWWANRadioState\tERROR\tPM Driver WWAN Radio set failed Error: 1460 bResult: 0"));
                EXPECT_GE(GetTickCount64() - start, 1900u);
            }
            // The resume's work: new watchers, the initial configuration, then the decision in its place.
            EXPECT_TRUE(WaitForLine("CWatcherPSensor running"));
            // The new Thermova watcher past its hold, so that its re-evaluation is not the next case's.
            EXPECT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
            EXPECT_TRUE(testsupport::WaitUntil([&] { return SetsFrom(SarConfigSets(), before) == std::vector<SarSet>{kInitial, kOn}; },
                                               std::chrono::milliseconds(5000)));
        } else {
            ASSERT_TRUE(simpm::HoldRequest(SIMPM_IOCTL_PSENSOR));
            // A re-evaluation on another thread (as the Thermova watcher's), which reads the P-sensor.
            const ULONGLONG start = GetTickCount64();
            std::thread recheck([&] { application.NotifyState(2); });
            EXPECT_TRUE(simpm::WaitForHeld(1, 5000)) << "the decision waits for the driver";
            if (c.kind == Kind::DisplayWhileHeld) {
                const ULONGLONG handed = GetTickCount64();
                EXPECT_EQ(Display(&application, 0), static_cast<DWORD>(NO_ERROR));
                EXPECT_LT(GetTickCount64() - handed, 500u) << "the handler does not wait for the decision";
                // The display's own decision reads the driver as it answers again.
                EXPECT_TRUE(simpm::ClearFaults());
                EXPECT_TRUE(testsupport::WaitUntil([&] { return SetsFrom(SarConfigSets(), before) == std::vector<SarSet>{kOff}; },
                                                   std::chrono::milliseconds(5000)))
                    << "the display off is carried out";
                EXPECT_GE(GetTickCount64() - start, 1900u) << "after the held decision's bound";
            }
            recheck.join();
            const ULONGLONG took = GetTickCount64() - start;
            EXPECT_LT(took, 3500u) << "the decision ends within its bound";
            EXPECT_TRUE(CLogCapture::Has(timedOut));
            if (c.kind == Kind::DisplayWhileHeld) {
                // The display's own decision came after the held one and read the sensor.
                EXPECT_TRUE(WaitForLine("CWatcherPSensor::GetState\tDEBUG\tPSENSOR Detection State is ON"));
                const std::vector<std::string> lines = CLogCapture::All();
                auto at = [&](const std::string& text) {
                    return std::find_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) { return line.find(text) != std::string::npos; });
                };
                EXPECT_LT(at(timedOut), at("PSENSOR Detection State is ON"));
            } else {
                // The reading failed: the modem object is handed no state it can send.
                EXPECT_TRUE(CLogCapture::Has("CWWANFoxconn::RunTarvoHandler\tERROR\tMB SAR enable Tarvo failed"));
                EXPECT_EQ(SarConfigSets().size(), before) << "nothing is sent for the failed reading";
                // The driver answers again, and the next change is decided.
                ASSERT_TRUE(simpm::ClearFaults());
                Sensor(false);
                EXPECT_TRUE(testsupport::WaitUntil([&] { return SetsFrom(SarConfigSets(), before) == std::vector<SarSet>{kOff}; },
                                                   std::chrono::milliseconds(5000)));
                EXPECT_TRUE(testsupport::WaitUntil([&] { return CurrentStatus() == 0x0; }, std::chrono::milliseconds(5000)));
            }
        }
        DWORD held = 1;
        EXPECT_TRUE(simpm::GetHeldCount(held));
        EXPECT_EQ(held, 0u);
        application.Stop();
        simpm::ClearFaults();
    }
}

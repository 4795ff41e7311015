// The order in which back-off decisions reach the modem, with the real policy
// object, the Foxconn modem object and the simulated modem: display controls
// carried out off the control handler's thread, and changes of several
// sources on several threads while a command is on its way.
#include "AllocationFailure.h"
#include "CClock.h"
#include "CDecisionRetry.h"
#include "CService.h"
#include "CSimModemControl.h"
#include "CWWANFoxconn.h"
#include "LogCapture.h"
#include "MBSar.h"
#include "PolicyFakes.h"
#include "ServiceStatusCapture.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using simmodem::FaultSpec;

namespace {
// The Foxconn back-off indices: 2 on, 1 off (back-off status stays 1 for both).
const uint32_t kIndexOn = 2;
const uint32_t kIndexOff = 1;

// The policy object with a factory, the Foxconn modem object over the
// simulated modem, and a P-sensor watcher (not started) whose reading comes
// from the simulated driver.
class COrderApplication : public CTestApplication {
public:
    COrderApplication() {
        m_pDeviceFactory = new CFakeFactory();
        m_pWWANDeviceObj = new CWWANFoxconn(L"Qualcomm Snapdragon X55 5G");
        WithWatchers(true, false);
    }
    bool RetryPending() { return m_decisionRetry.IsPending(); }
};

class DecisionOrder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
        ASSERT_TRUE(CSimModemControl::Register());
        ASSERT_TRUE(sim.Load());
        simmodem::StartState state;
        state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
        ASSERT_TRUE(sim.Reset(state));
        g_modem = SarGetDefaultModem();
        g_dwCurrentTarvoState = 0;
        CTarvoApplication::SetLastDeviceReady(0);
    }
    void TearDown() override {
        CClock::SetDivisor(1);
        simpm::ClearFaults();
        g_modem.reset();
    }

    static DWORD Display(CTarvoApplication* application, BYTE state) {
        POWERBROADCAST_SETTING setting = {};
        setting.DataLength = 1;
        setting.Data[0] = state;
        return CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &setting, application);
    }
    // The back-off index of the SAR configuration sets the modem received, in order.
    std::vector<uint32_t> SentIndices() {
        std::vector<uint32_t> indices;
        for (const simmodem::LogEntry& e : sim.Log())
            if (e.op == SIMMODEM_OP_SET && e.cid == 1 && e.payload.size() >= 28)
                indices.push_back(e.payload[24] | e.payload[25] << 8);
        return indices;
    }
    // The back-off index the modem holds now.
    uint32_t StoredIndex() {
        SimModemSarConfig config = {};
        return sim.GetSarConfig(0, config) ? config.states[0].backOffIndex : 0;
    }
    bool WaitForStoredIndex(uint32_t index, DWORD ms = 5000) {
        return testsupport::WaitUntil([&] { return StoredIndex() == index; }, std::chrono::milliseconds(ms));
    }

    static std::string LastDisplayLine() {
        std::string last;
        for (const std::string& line : CLogCapture::All())
            if (line.find("CTarvoApplication::MonitorPower") != std::string::npos) last = line;
        return last;
    }

    CSimModemControl sim;
    CLogCapture capture;
    CServiceStatusCapture status;
};
}  // namespace

TEST_F(DecisionOrder, DisplayControlsDoNotWaitForASilentModem) {
    CClock::SetDivisor(1);  // the real 30 s bound on the modem's answer
    auto* application = new COrderApplication();
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    application->NotifyState(1);
    ASSERT_TRUE(WaitForStoredIndex(kIndexOn));
    ASSERT_TRUE(sim.AddFault(FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, 1, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)));

    DWORD start = ::GetTickCount();
    EXPECT_EQ(Display(application, 0), static_cast<DWORD>(NO_ERROR));
    EXPECT_LT(::GetTickCount() - start, 1000u) << "the handler does not wait for the modem's answer";
    ASSERT_TRUE(testsupport::WaitUntil([&] { return SentIndices().size() == 2; }, std::chrono::milliseconds(5000)))
        << "the off command is on its way";
    EXPECT_EQ(SentIndices().back(), kIndexOff);

    // The stop control comes while the modem keeps the command unanswered, and
    // what ServiceMain does after it ends within 5 s.
    start = ::GetTickCount();
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, application), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(CServiceStatusCapture::StopSet());
    CService::StopApplication(application);
    EXPECT_LT(::GetTickCount() - start, 5000u);
    ASSERT_FALSE(CServiceStatusCapture::Reports().empty());
    EXPECT_EQ(CServiceStatusCapture::Reports().front().dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tDEBUG\tStop requested, SAR command wait ended"));
}

TEST_F(DecisionOrder, DisplayStatesInQuickSuccessionLeaveTheLastOne) {
    CClock::SetDivisor(1000);
    ASSERT_TRUE(simpm::SetPSensor(true, true));  // an object near: display on means back-off on
    struct Case {
        const char* name;
        bool startOn;
        std::vector<BYTE> states;
        uint32_t index;
    } cases[] = {
        {"off then on", true, {0, 1}, kIndexOn},
        {"on then off", false, {1, 0}, kIndexOff},
        {"off, on, off, dimmed", true, {0, 1, 0, 2}, kIndexOn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto application = std::make_unique<COrderApplication>();
        if (c.startOn)
            application->MonitorPowerOn();
        else
            application->MonitorPowerOff();
        CLogCapture::Clear();
        for (BYTE state : c.states) EXPECT_EQ(Display(application.get(), state), static_cast<DWORD>(NO_ERROR));
        // The latest state is always carried out, so once its line is the last
        // display line, nothing handed over is left.
        const std::string last = c.states.back() == 0 ? "Monitor Off, send Tarvo Off" : "Monitor On";
        EXPECT_TRUE(testsupport::WaitUntil([&] { return LastDisplayLine().find(last) != std::string::npos; },
                                           std::chrono::milliseconds(5000)));
        EXPECT_TRUE(WaitForStoredIndex(c.index));
        // Deleting joins the display thread: nothing comes after this.
        application.reset();
        EXPECT_EQ(StoredIndex(), c.index);
        ASSERT_FALSE(SentIndices().empty());
        EXPECT_EQ(SentIndices().back(), c.index);
    }
}

// Display states handed over while the modem holds a command are carried out
// after it, each in its turn: off, on, off gives three commands and, for each,
// the display line and the command line, in that order.
TEST_F(DecisionOrder, DisplayStatesHandedOverMeanwhileAreEachCarriedOutInOrder) {
    CClock::SetDivisor(1000);
    ASSERT_TRUE(simpm::SetPSensor(true, true));  // near: display on means back-off on
    auto application = std::make_unique<COrderApplication>();
    application->MonitorPowerOn();
    ASSERT_TRUE(WaitForStoredIndex(kIndexOn));
    const size_t sentBefore = SentIndices().size();
    ASSERT_TRUE(sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)));
    CLogCapture::Clear();

    EXPECT_EQ(Display(application.get(), 0), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(sim.WaitForHeld(1));
    EXPECT_EQ(Display(application.get(), 1), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(Display(application.get(), 0), static_cast<DWORD>(NO_ERROR));
    sim.ReleaseHeld();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return SentIndices().size() == sentBefore + 3; },
                                       std::chrono::milliseconds(5000)));
    EXPECT_TRUE(WaitForStoredIndex(kIndexOff));
    application.reset();  // joins the display thread

    const std::vector<uint32_t> sent = SentIndices();
    EXPECT_EQ(std::vector<uint32_t>(sent.begin() + sentBefore, sent.end()),
              (std::vector<uint32_t>{kIndexOff, kIndexOn, kIndexOff}));
    std::vector<std::string> lines;
    for (const std::string& line : CLogCapture::All())
        if (line.find("CTarvoApplication::MonitorPower") != std::string::npos ||
            line.find("CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo") != std::string::npos)
            lines.push_back(line.substr(line.find("CT") == std::string::npos ? 0 : line.find("C")));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CTarvoApplication::MonitorPowerOff\tDEBUG\tMonitor Off, send Tarvo Off",
                         "CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo Off",
                         "CTarvoApplication::MonitorPowerOn\tDEBUG\tMonitor On",
                         "CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo on",
                         "CTarvoApplication::MonitorPowerOff\tDEBUG\tMonitor Off, send Tarvo Off",
                         "CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo Off",
                     }));
}

// The lid opens or closes: the display and the sensor change at once, their
// notifications come on two threads, and the first one's command is on its way
// (held by the modem) when the second comes. The second is decided after the
// first command's answer, on the inputs then, and its command comes last.
TEST_F(DecisionOrder, DisplayAndSensorTogetherLeaveWhatTheFinalInputsCallFor) {
    CClock::SetDivisor(1000);
    struct Case {
        const char* name;
        bool displayFirst;
    } cases[] = {
        // Display on and the sensor near; the sensor's on command goes first, then the display goes off.
        {"the sensor's command first", false},
        // Display off and the sensor near; the display goes on (back-off on), then the object goes away.
        {"the display's command first", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto application = std::make_unique<COrderApplication>();
        ASSERT_TRUE(simpm::SetPSensor(true, c.displayFirst));
        g_dwCurrentTarvoState = 1;  // so the starting state's off command is sent whatever came before
        if (c.displayFirst)
            application->MonitorPowerOff();
        else
            application->MonitorPowerOn();
        ASSERT_TRUE(WaitForStoredIndex(kIndexOff));
        const size_t sentBefore = SentIndices().size();
        ASSERT_TRUE(sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)));
        CLogCapture::Clear();

        std::thread sensor;
        if (c.displayFirst) {
            Display(application.get(), 1);  // the sensor still reads near: back-off on
            ASSERT_TRUE(sim.WaitForHeld(1));
            ASSERT_TRUE(simpm::SetPSensor(true, false));
            sensor = std::thread([&] { application->NotifyState(0); });  // the watcher's away
        } else {
            ASSERT_TRUE(simpm::SetPSensor(true, true));
            sensor = std::thread([&] { application->NotifyState(1); });  // the watcher's proximity
            ASSERT_TRUE(sim.WaitForHeld(1));
            Display(application.get(), 0);
            EXPECT_TRUE(testsupport::WaitUntil([&] { return LastDisplayLine().find("Monitor Off") != std::string::npos; },
                                               std::chrono::milliseconds(5000)));
        }
        EXPECT_EQ(SentIndices().size(), sentBefore + 1) << "the second waits for the first command's answer";
        sim.ReleaseHeld();
        sensor.join();
        EXPECT_TRUE(WaitForStoredIndex(kIndexOff));
        application.reset();  // joins the display thread
        ASSERT_EQ(SentIndices().size(), sentBefore + 2);
        EXPECT_EQ(SentIndices()[sentBefore], kIndexOn);
        EXPECT_EQ(SentIndices()[sentBefore + 1], kIndexOff) << "the last command is the final inputs' own";
        EXPECT_EQ(StoredIndex(), kIndexOff);
        sim.ClearFaults();
    }
}

namespace {
// The thread whose next allocation fails, once; 0 for none.
std::atomic<DWORD> g_failNextAllocationOn{0};
bool FailTheNextAllocationOfTheThread(std::size_t) {
    DWORD target = g_failNextAllocationOn.load();
    return target != 0 && target == ::GetCurrentThreadId() && g_failNextAllocationOn.compare_exchange_strong(target, 0);
}
// The thread that carries the display states out, as its first line shows it.
std::atomic<DWORD> g_displayThread{0};
void NoteDisplayThread(const char* line) {
    if (std::strstr(line, "CTarvoApplication::MonitorPowerOff")) g_displayThread = ::GetCurrentThreadId();
}
}  // namespace

// Memory runs out while the display thread carries a state out (the modem's
// answer is read into a buffer): that state ends there, and the next one is
// carried out as usual.
TEST_F(DecisionOrder, AnAllocationFailureInADisplayStateEndsThatStateAlone) {
    CClock::SetDivisor(1000);
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    auto application = std::make_unique<COrderApplication>();
    application->MonitorPowerOn();
    ASSERT_TRUE(WaitForStoredIndex(kIndexOn));
    ASSERT_TRUE(sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)));
    CLogCapture::SetLineHook(&NoteDisplayThread);
    EXPECT_EQ(Display(application.get(), 0), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(sim.WaitForHeld(1));
    CLogCapture::SetLineHook(nullptr);
    ASSERT_NE(g_displayThread.load(), 0u);
    // The thread's next allocation is the answer's buffer, once the modem answers.
    testalloc::SetRule(&FailTheNextAllocationOfTheThread);
    g_failNextAllocationOn = g_displayThread.load();
    sim.ReleaseHeld();
    EXPECT_TRUE(testsupport::WaitUntil([] { return CLogCapture::Has("CDisplayStateThread::Run\tERROR\tstd::bad_alloc"); },
                                       std::chrono::milliseconds(5000)));
    EXPECT_EQ(g_failNextAllocationOn.load(), 0u) << "the allocation failed";
    testalloc::SetRule(nullptr);

    EXPECT_EQ(Display(application.get(), 1), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return SentIndices().back() == kIndexOn; }, std::chrono::milliseconds(5000)))
        << "the next state reaches the modem";
    EXPECT_TRUE(WaitForStoredIndex(kIndexOn));
    application.reset();
}

// A stop while a decision waits (the display thread's, for the P-sensor
// reading): when the driver holds the reading, the stop cancels it and the
// service stops at once; when a modem object keeps the decision past every
// stop (a test double: the system's own waits all end at the stop), the SCM
// still hears a pending stop at least every wait hint, with check points that
// only rise (a shutdown control meanwhile reports nothing), SERVICE_STOPPED
// comes within the stop's bound, and what the decision uses is freed only after it.
TEST_F(DecisionOrder, AStopWhileADecisionWaitsIsReportedUntilStopped) {
    CClock::SetDivisor(1000);  // the stop's bound: its floor of 2 s
    struct Case {
        const char* name;
        bool driverHolds;  // else the modem object holds the decision
    } cases[] = {{"the driver holds the P-sensor reading", true}, {"the modem object ignores the stop", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CServiceStatusCapture::Clear();
        CService::g_bServiceStopRequested = false;
        if (!CService::g_hServiceStopEvent) CService::g_hServiceStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        CUniqueHandle modemHold(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        CTarvoApplication* application = nullptr;
        if (c.driverHolds) {
            ASSERT_TRUE(simpm::SetPSensor(true, true));
            application = new COrderApplication();
            application->MonitorPowerOn();
            ASSERT_TRUE(WaitForStoredIndex(kIndexOn));
            ASSERT_TRUE(simpm::HoldRequest(SIMPM_IOCTL_PSENSOR));
            EXPECT_EQ(Display(application, 0), static_cast<DWORD>(NO_ERROR));
            ASSERT_TRUE(simpm::WaitForHeld(1, 5000)) << "the decision waits for the driver";
        } else {
            auto* fake = new CTestApplication();
            fake->WithModem();
            fake->modem->hold = modemHold.Get();
            application = fake;
            EXPECT_EQ(Display(application, 0), static_cast<DWORD>(NO_ERROR));
            ASSERT_TRUE(testsupport::WaitUntil([&] { return fake->modem->holding.load(); }, std::chrono::milliseconds(5000)))
                << "the decision waits for the modem object";
        }

        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, application), static_cast<DWORD>(NO_ERROR));
        std::thread serviceMain([&] { CService::FinishStop(application); });
        EXPECT_TRUE(testsupport::WaitUntil([] { return CServiceStatusCapture::Copy().size() >= 2; },
                                           std::chrono::milliseconds(5000)));
        EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, application), static_cast<DWORD>(NO_ERROR));
        serviceMain.join();
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_LT(took, c.driverHolds ? 2000u : 5000u);

        const std::vector<SERVICE_STATUS> reports = CServiceStatusCapture::Copy();
        const std::vector<ULONGLONG> times = CServiceStatusCapture::Times();
        ASSERT_GE(reports.size(), c.driverHolds ? 2u : 3u);
        EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        ULONGLONG last = start;
        for (size_t i = 0; i + 1 < reports.size(); ++i) {
            EXPECT_EQ(reports[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << i;
            EXPECT_EQ(reports[i].dwCheckPoint, i + 1) << "check points rise, one per report";
            EXPECT_LE(times[i] - last, static_cast<ULONGLONG>(reports[i].dwWaitHint)) << "no gap past the wait hint";
            last = times[i];
        }
        EXPECT_LE(times.back() - last, 3000u);

        if (c.driverHolds) {
            EXPECT_FALSE(CService::IsStopUnfinished()) << "the stop ended the decision's request";
            EXPECT_FALSE(CLogCapture::Has("CService::FinishStop\tERROR\tStop not ended"));
            EXPECT_TRUE(CLogCapture::Has(
                "CDriverRequest::Send\tDEBUG\tStop requested, driver request 0x222690 input 0x0 cancelled"));
            DWORD held = 1;
            EXPECT_TRUE(simpm::GetHeldCount(held));
            EXPECT_EQ(held, 0u);
            ASSERT_TRUE(simpm::ClearFaults());
        } else {
            EXPECT_TRUE(CService::IsStopUnfinished()) << "the stop waits on for the decision";
            EXPECT_TRUE(CLogCapture::Has("CService::FinishStop\tERROR\tStop not ended after 120 s"));
            // The modem object returns: the decision ends, and only then is the application deleted.
            SetEvent(modemHold.Get());
            EXPECT_TRUE(
                testsupport::WaitUntil([] { return !CService::IsStopUnfinished(); }, std::chrono::milliseconds(5000)));
        }
    }
}

namespace {
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
const char kNotTaken[] = "CWWANFoxconn::RunTarvoHandler\tERROR\tMB SAR enable Tarvo failed";
const char kGivenUp[] = "CDecisionRetry::Schedule\tERROR\tBack-off not taken by the modem after 8 tries, waiting for the next change";

// What the modem does with the SAR set that fails: busy, a refusal, no answer
// at all, or a platform call that fails before anything is sent.
enum class Fault { Busy, Refused, Unanswered, CallFails };
const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::Busy: return "busy";
    case Fault::Refused: return "status 5";
    case Fault::Unanswered: return "never answered";
    case Fault::CallFails: return "the set call failing";
    }
    return "";
}
FaultSpec SarSetFault(Fault fault, uint32_t count) {
    switch (fault) {
    case Fault::Busy: return FaultSpec::Busy(SIMMODEM_SERVICE_MS_SAR, 1, count, SIMMODEM_OP_SET);
    case Fault::Refused: return FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5, count, SIMMODEM_OP_SET);
    case Fault::Unanswered: return FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, 1, count, SIMMODEM_OP_SET);
    case Fault::CallFails: return FaultSpec::Fail(SIMMODEM_METHOD_SET_COMMAND, E_FAIL, count);
    }
    return FaultSpec();
}
const Fault kFaults[] = {Fault::Busy, Fault::Refused, Fault::Unanswered, Fault::CallFails};

// A decision whose command did not reach the modem, or whose outcome is not
// known, is decided again by itself, from the inputs as they are, with a pause
// that grows; the clock runs fast (a 60 s pause takes 60 ms).
class DecisionRetry : public DecisionOrder {
protected:
    void SetUp() override {
        DecisionOrder::SetUp();
        CClock::SetDivisor(1000);
        testsupport::SetDword(kParameters, "CurrentStatus", 0);
    }
    static DWORD ModemBit() {
        DWORD status = 0;
        testsupport::GetDword(kParameters, "CurrentStatus", status);
        return status & 0x10;
    }
    // The object near or away, as the driver reads it and as the watcher tells it.
    static void Decide(CTarvoApplication& application, bool objectNear) {
        ASSERT_TRUE(simpm::SetPSensor(true, objectNear));
        application.NotifyState(objectNear ? 1 : 0);
    }
    // The modem made to hold the other state than the one a case sends, by an ordinary decision.
    void Hold(CTarvoApplication& application, bool objectNear) {
        MBSar::ForgetTarvoState();
        Decide(application, objectNear);
        ASSERT_TRUE(WaitForStoredIndex(objectNear ? kIndexOn : kIndexOff));
        ASSERT_EQ(ModemBit(), objectNear ? 0x10u : 0u);
    }
};
}  // namespace

TEST_F(DecisionRetry, ACommandThatFailsOnceIsTriedAgainUntilTheModemHoldsIt) {
    for (Fault fault : kFaults) {
        for (bool objectNear : {true, false}) {
            SCOPED_TRACE(std::string(FaultName(fault)) + (objectNear ? ", back-off on" : ", back-off off"));
            auto application = std::make_unique<COrderApplication>();
            Hold(*application, !objectNear);
            const size_t before = SentIndices().size();
            CLogCapture::Clear();
            ASSERT_TRUE(sim.AddFault(SarSetFault(fault, 1)));
            Decide(*application, objectNear);

            // No input changes from here on: the try alone brings the modem where the sensor is.
            const uint32_t wanted = objectNear ? kIndexOn : kIndexOff;
            EXPECT_TRUE(testsupport::WaitUntil(
                [&] { return StoredIndex() == wanted && ModemBit() == (objectNear ? 0x10u : 0u); },
                std::chrono::milliseconds(10000)));
            EXPECT_EQ(CLogCapture::Count(kNotTaken), 1u);
            EXPECT_TRUE(CLogCapture::Has(
                "CDecisionRetry::Schedule\tDEBUG\tBack-off not taken by the modem, deciding again in 1000 ms (try 1 of 8)"));
            EXPECT_TRUE(testsupport::WaitUntil([&] { return !application->RetryPending(); },
                                               std::chrono::milliseconds(5000)));
            application.reset();  // joins the retry thread: nothing comes after this
            const std::vector<uint32_t> sent = SentIndices();
            for (size_t i = before; i < sent.size(); ++i) EXPECT_EQ(sent[i], wanted) << "set " << i;
            EXPECT_EQ(StoredIndex(), wanted);
            sim.ClearFaults();
        }
    }
}

TEST_F(DecisionRetry, ACommandThatAlwaysFailsIsTriedItsNumberOfTimesThenTheNextChangeSends) {
    for (Fault fault : kFaults) {
        SCOPED_TRACE(FaultName(fault));
        auto application = std::make_unique<COrderApplication>();
        Hold(*application, false);
        CLogCapture::Clear();
        ASSERT_TRUE(sim.AddFault(SarSetFault(fault, SIMMODEM_ALWAYS)));
        Decide(*application, true);
        // The decision and its eight tries, each with the lines of a decision and its command.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return CLogCapture::Has(kGivenUp); }, std::chrono::milliseconds(60000)));
        EXPECT_EQ(CLogCapture::Count(kNotTaken), 9u);
        EXPECT_EQ(CLogCapture::Count("CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo on"), 9u);
        for (int n = 1; n <= 8; ++n)
            EXPECT_EQ(CLogCapture::Count("deciding again in " + std::to_string(CDecisionRetry::DelayBeforeTry(n)) +
                                         " ms (try " + std::to_string(n) + " of 8)"),
                      1u)
                << n;
        EXPECT_FALSE(application->RetryPending());
        EXPECT_EQ(StoredIndex(), kIndexOff);

        // The next change of an input is decided and sent as any.
        sim.ClearFaults();
        Decide(*application, false);
        Decide(*application, true);
        EXPECT_TRUE(WaitForStoredIndex(kIndexOn));
        EXPECT_EQ(ModemBit(), 0x10u);
        EXPECT_EQ(CLogCapture::Count(kNotTaken), 9u);
    }
}

TEST(DecisionRetryPauses, GrowFromOneSecondAndDoubleUpToAMinute) {
    const DWORD expected[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (int n = 1; n <= 8; ++n) EXPECT_EQ(CDecisionRetry::DelayBeforeTry(n), expected[n - 1]) << n;
}

TEST_F(DecisionRetry, AStopOrAnInputDuringAPause) {
    enum class Then { Stop, Input };
    for (Then then : {Then::Stop, Then::Input}) {
        SCOPED_TRACE(then == Then::Stop ? "a stop" : "an input");
        CClock::SetDivisor(1);  // the real 1 s, 2 s, ... pauses
        auto application = std::make_unique<COrderApplication>();
        Hold(*application, false);
        CLogCapture::Clear();
        ASSERT_TRUE(sim.AddFault(SarSetFault(Fault::Busy, SIMMODEM_ALWAYS)));
        Decide(*application, true);
        // In the second pause (2 s).
        ASSERT_TRUE(testsupport::WaitUntil([&] { return CLogCapture::Has("(try 2 of 8)"); },
                                           std::chrono::milliseconds(5000)));
        const size_t sent = SentIndices().size();
        const ULONGLONG start = GetTickCount64();
        if (then == Then::Stop) {
            // The stop ends the pause at once: the deletion joins the retry thread.
            application->Stop();
            application.reset();
            EXPECT_LT(GetTickCount64() - start, 1000u);
            EXPECT_EQ(SentIndices().size(), sent) << "no try after the stop";
        } else {
            // The input's decision takes the pending try's place: it is sent
            // now, and once the modem holds it nothing is pending any more.
            sim.ClearFaults();
            Decide(*application, false);
            EXPECT_FALSE(application->RetryPending());
            Decide(*application, true);
            EXPECT_LT(GetTickCount64() - start, 1000u) << "without waiting for the pause";
            EXPECT_TRUE(WaitForStoredIndex(kIndexOn));
            EXPECT_FALSE(application->RetryPending());
            application.reset();
            EXPECT_EQ(CLogCapture::Count("(try 3 of 8)"), 0u);
        }
        sim.ClearFaults();
    }
}

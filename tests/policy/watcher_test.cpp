// The P-sensor and Thermova watchers on their own threads, against the real
// registry keys of the power-management service and the simulated driver.
#include "CClock.h"
#include "CHelpers.h"
#include "CSystem.h"
#include "CWatcherPSensor.h"
#include "CWatcherThermova.h"
#include "LogCapture.h"
#include "PSensorRule.h"
#include "PlatformFlags.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {
const char kPSensorKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";
const char kThermovaKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
const DWORD kBit25 = 0x2000000;
const DWORD kBit26 = 0x4000000;

// The outcome lines of one P-sensor change.
const char kHandler[] = "CWatcherPSensor::HandlePSensorNotificationEvent";
const std::string kProximity = std::string(kHandler) + "\tDEBUG\tP-Sensor detects the proximity of object.\n";
const std::string kAway = std::string(kHandler) + "\tDEBUG\tP-Sensor detects that object gets out from sensing area.\n";
const std::string kUnknown = std::string(kHandler) + "\tDEBUG\tP-Sensor detects Unknown change.";
const std::string kIgnored = std::string(kHandler) + "\tDEBUG\tNo WWAN card detected, p-sensor event ignored!";

// Records each NotifyState with the "CurrentStatus" word seen at that moment.
class CObserver : public IObsvrPSensor {
public:
    struct Call {
        int state;
        DWORD status;
    };
    void NotifyState(int state) override {
        DWORD status = 0;
        testsupport::GetDword(kParameters, "CurrentStatus", status);
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.push_back({state, status});
    }
    std::vector<int> States() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<int> states;
        for (const Call& call : m_calls) states.push_back(call.state);
        return states;
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    bool WaitFor(size_t count, int ms = 3000) {
        return testsupport::WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(m_lock);
                return m_calls.size() >= count;
            },
            std::chrono::milliseconds(ms));
    }

private:
    std::mutex m_lock;
    std::vector<Call> m_calls;
};

// Holds the watcher's thread inside the notifications the test asks it to hold
// (HoldNext), as an observer waiting for the modem's answer does, until Release.
class CHeldObserver : public CObserver {
public:
    CHeldObserver() : m_entered(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_release(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CHeldObserver() {
        CloseHandle(m_entered);
        CloseHandle(m_release);
    }
    void NotifyState(int state) override {
        CObserver::NotifyState(state);
        const bool atIndex = m_holdIndex.load() >= 0 && Calls().size() == static_cast<size_t>(m_holdIndex.load()) + 1;
        if (!m_holdNext.exchange(false) && !atIndex) return;
        SetEvent(m_entered);
        WaitForSingleObject(m_release, 10000);
    }
    void HoldNext() {
        ResetEvent(m_entered);
        ResetEvent(m_release);
        m_holdNext = true;
    }
    // Holds the notification with this index (0: the first), whenever it comes.
    void HoldCall(int index) {
        ResetEvent(m_entered);
        ResetEvent(m_release);
        m_holdIndex = index;
    }
    bool WaitEntered() { return WaitForSingleObject(m_entered, 5000) == WAIT_OBJECT_0; }
    void Release() { SetEvent(m_release); }

private:
    HANDLE m_entered;
    HANDLE m_release;
    std::atomic<bool> m_holdNext{false};
    std::atomic<int> m_holdIndex{-1};
};

DWORD Status() {
    DWORD status = 0;
    testsupport::GetDword(kParameters, "CurrentStatus", status);
    return status;
}

bool WaitForLine(const std::string& text, size_t count = 1, int ms = 3000) {
    return testsupport::WaitUntil([&] { return CLogCapture::Count(text) >= count; }, std::chrono::milliseconds(ms));
}

class Watchers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
        testsupport::DeleteTree("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR");
        ASSERT_TRUE(testsupport::SetDword(kPSensorKey, "Type2", 0));
        ASSERT_TRUE(testsupport::SetDword(kThermovaKey, "Type22", 0));
        ASSERT_TRUE(testsupport::SetDword(kParameters, "CurrentStatus", 0));
        CClock::SetDivisor(1000);
        g_strWWANDeviceName.clear();
    }
    void TearDown() override {
        CClock::SetDivisor(1);
        simpm::ClearFaults();
    }

    // A started P-sensor watcher whose notification is armed.
    CWatcherPSensor* StartPSensor(CObserver& observer, bool probe = true) {
        CWatcherPSensor* watcher = CWatcherPSensor::Create();
        watcher->Attach(&observer);
        watcher->Start();
        EXPECT_TRUE(WaitForLine(" cSystemInfoObj.HasPSensor() "));
        if (!probe) {
            Sleep(100);
            return watcher;
        }
        Settle();
        CLogCapture::Clear();
        return watcher;
    }
    // Waits until the watcher thread is armed again: a change that lands
    // between its read and its next arming goes unseen, so another value under
    // the key is changed until the thread has handled such a wake-up to its
    // end (a probe lost in that window is simply repeated). The probe leaves
    // "Type2" as it is, so it never reaches the observers.
    static size_t ProbeEnds() {
        return CLogCapture::Count("P-Sensor detects Unknown change.") +
               CLogCapture::Count("No WWAN card detected, p-sensor event ignored!");
    }
    static void Settle() {
        static DWORD probe = 0;
        bool armed = false;
        for (int attempt = 0; attempt < 50 && !armed; ++attempt) {
            size_t before = ProbeEnds();
            testsupport::SetDword(kPSensorKey, "Probe", ++probe);
            armed = testsupport::WaitUntil([&] { return ProbeEnds() > before; }, std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(armed);
        // From its last line to its next arming the thread only returns.
        Sleep(20);
    }
    // One change of "Type2", handled, and the thread armed again. Returns the
    // outcome line of the handling that read the new value: the settling
    // probes write outcome lines of their own, so only this one tells what the
    // change itself gave.
    static std::string Change(DWORD value) { return Write("Type2", value, value); }
    // One value under the key written with the thread armed; the outcome line
    // of the handling that then read "Type2" as type2.
    static std::string Write(const char* name, DWORD value, DWORD type2) {
        size_t from = CLogCapture::All().size();
        std::string outcome;
        EXPECT_TRUE(testsupport::SetDword(kPSensorKey, name, value));
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !(outcome = OutcomeOf(from, type2)).empty(); },
                                           std::chrono::milliseconds(3000)))
            << name << " " << std::hex << value;
        Settle();
        return outcome;
    }
    // The outcome line of the first handling, from line `from` on, that read "Type2" as value.
    static std::string OutcomeOf(size_t from, DWORD value) {
        char current[64];
        std::snprintf(current, sizeof(current), "\tINFO\t------m_dwCurrentNotificationValue => 0x%2x",
                      static_cast<unsigned>(value));
        std::vector<std::string> lines = CLogCapture::All();
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].find(current) == std::string::npos) continue;
            for (size_t j = i + 1; j < lines.size(); ++j)
                if (lines[j].rfind(kHandler, 0) == 0 && lines[j].find("\tDEBUG\t") != std::string::npos)
                    return lines[j];
            return std::string();
        }
        return std::string();
    }
    // A Thermova watcher with the observer attached, started.
    static CWatcherThermova* StartThermova(CObserver& observer) {
        CWatcherThermova* watcher = CWatcherThermova::Create();
        watcher->Attach(&observer);
        watcher->Start();
        return watcher;
    }
    static void Finish(CWatcherPSensor* watcher) {
        watcher->Stop();
        delete watcher;
    }

    CLogCapture capture;
};

void WriteType2(DWORD value) { ASSERT_TRUE(testsupport::SetDword(kPSensorKey, "Type2", value)); }
void WriteType22(DWORD value) { ASSERT_TRUE(testsupport::SetDword(kThermovaKey, "Type22", value)); }
}  // namespace

TEST_F(Watchers, PSensorLevelRuleOfTheFoxconnModel) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    CObserver observer;
    CWatcherPSensor* watcher = StartPSensor(observer);
    EXPECT_EQ(Change(kBit25), kAway);
    ASSERT_TRUE(observer.WaitFor(1));
    EXPECT_EQ(Status(), 0u);
    EXPECT_EQ(Change(0), kProximity);
    ASSERT_TRUE(observer.WaitFor(2));
    EXPECT_EQ(Status(), 1u);
    std::vector<CObserver::Call> calls = observer.Calls();
    EXPECT_EQ(calls[0].state, 0) << "bit 25 set: away";
    EXPECT_EQ(calls[1].state, 1) << "bit 25 cleared: proximity";
    EXPECT_EQ(calls[1].status, 0u) << "observers are called before the state is written";

    // Bit 26 alone, another bit, or bit 25 set before and after: unknown.
    struct Step {
        DWORD value;
        const std::string& outcome;
    } steps[] = {{kBit26, kUnknown}, {kBit26 | 0x1u, kUnknown}, {kBit25 | kBit26, kAway}, {kBit25 | 0x10u, kUnknown}};
    for (const Step& step : steps) EXPECT_EQ(Change(step.value), step.outcome) << std::hex << step.value;
    EXPECT_EQ(observer.States(), (std::vector<int>{0, 1, 0})) << "bit 25 set by the third write is the only event";
    Finish(watcher);
}

TEST_F(Watchers, PSensorToggleRuleOfTheNuvikModel) {
    g_strWWANDeviceName = L"Nuvik HX730R-GL";
    CObserver observer;
    CWatcherPSensor* watcher = StartPSensor(observer);
    // The driver's reading moves with the sensor, as on the machine; it decides
    // only where the toggles do not tell.
    struct Step {
        DWORD value;
        bool objectNear;
        int expected;  // -1: unknown
    } steps[] = {
        {kBit25, true, 1},          // bit 25 toggled
        {0, true, 1},               // toggled back while near: the driver still reads near
        {kBit26, false, 0},         // bit 26 alone toggled: away
        {kBit25, true, 1},          // both toggled: the driver reads near
        {kBit25 | 0x80, true, -1},  // neither
    };
    std::vector<int> expected;
    for (const Step& step : steps) {
        ASSERT_TRUE(simpm::SetPSensor(true, step.objectNear));
        const std::string& outcome = step.expected < 0 ? kUnknown : step.expected == 1 ? kProximity : kAway;
        EXPECT_EQ(Change(step.value), outcome) << std::hex << step.value;
        if (step.expected >= 0) expected.push_back(step.expected);
        ASSERT_TRUE(observer.WaitFor(expected.size()));
    }
    EXPECT_EQ(observer.States(), expected);
    Finish(watcher);
}

// The Nuvik rule on the bits alone, against the state last notified; the
// driver's reading is asked only where they cannot tell.
TEST(PSensorRuleOfNuvik, TheLastStateWinsWhateverTheToggles) {
    const DWORD b25 = kBit25;
    const DWORD b26 = kBit26;
    const auto P = PSensorOutcome::Proximity;
    const auto A = PSensorOutcome::Away;
    const auto U = PSensorOutcome::Unknown;
    struct Case {
        const char* name;
        DWORD prev, cur;
        int last;     // 1 near, 0 away, -1 nothing notified yet
        int reading;  // the driver's, -2: must not be asked
        PSensorOutcome outcome;
    } cases[] = {
        {"an approach from away", 0, b25, 0, -2, P},
        {"an approach, nothing told yet", b25, 0, -1, -2, P},
        {"a departure from near", b25, b25 | b26, 1, -2, A},
        {"a departure, nothing told yet", 0, b26, -1, -2, A},
        {"neither bit", b25, b25 | 0x80, 1, -2, U},
        {"away, then near and away: both toggled", 0, b25 | b26, 0, 0, A},
        {"near, then away and near: both toggled", b26, b25, 1, 1, P},
        {"away, then near, away and near: bit 26 alone", b26, 0, 0, 1, P},
        {"near, then away, near and away: bit 25 alone", 0, b25, 1, 0, A},
        {"both toggled, no answer: proximity first", 0, b25 | b26, 0, -1, P},
        {"bit 26 alone while away, no answer: away", 0, b26, 0, -1, A},
    };
    for (const Case& c : cases) {
        bool asked = false;
        PSensorOutcome outcome = ClassifyPSensorChange(PSensorRule::NuvikToggle, c.prev, c.cur, c.last, [&] {
            asked = true;
            return c.reading;
        });
        EXPECT_EQ(outcome, c.outcome) << c.name;
        EXPECT_EQ(asked, c.reading != -2) << c.name;
    }
    EXPECT_EQ(PSensorRuleOf(L"Nuvik HX730R-GL rev B"), PSensorRule::NuvikToggle);
    EXPECT_EQ(PSensorRuleOf(L"Nuvik HX730R"), PSensorRule::None) << "shorter than the name";
    EXPECT_EQ(PSensorRuleOf(L"Qualcomm Snapdragon X55 5G"), PSensorRule::FoxconnLevel);
}

TEST_F(Watchers, PSensorIgnoresOtherModelsButTracksTheValue) {
    CObserver observer;
    for (const wchar_t* model : {L"", L"Nuvik HX730R", L"Qualcomm Snapdragon X55", L"Fibocom L860-GL"}) {
        g_strWWANDeviceName = model;
        CLogCapture::Clear();
        CWatcherPSensor* watcher = StartPSensor(observer);
        EXPECT_EQ(Change(kBit25), kIgnored);
        EXPECT_EQ(watcher->m_dwPrevNotificationValue, kBit25) << "the new value still becomes the previous one";
        Finish(watcher);
        WriteType2(0);
    }
    EXPECT_TRUE(observer.States().empty());
    // A name that continues the literal counts as the model.
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G (rev 2)";
    CWatcherPSensor* watcher = StartPSensor(observer);
    EXPECT_EQ(Change(kBit25), kAway);
    ASSERT_TRUE(observer.WaitFor(1));
    Finish(watcher);
}

TEST_F(Watchers, PSensorValueLinesAndFirstComparison) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    testsupport::DeleteValue(kPSensorKey, "Type2");
    CObserver observer;
    CWatcherPSensor* watcher = StartPSensor(observer, false);
    EXPECT_EQ(watcher->m_dwPrevNotificationValue, 0u) << "missing at start: 0";
    WriteType2(kBit25);
    ASSERT_TRUE(observer.WaitFor(1));
    EXPECT_TRUE(CLogCapture::Has("CWatcherPSensor::HandlePSensorNotificationEvent\tINFO\t------m_dwPrevNotificationValue => 0x 0"));
    EXPECT_TRUE(CLogCapture::Has("\tINFO\t------m_dwCurrentNotificationValue => 0x2000000"));
    // Another value under the key wakes the thread too; the bits are unchanged.
    Settle();
    EXPECT_EQ(Write("Other", 5, kBit25), kUnknown);
    Finish(watcher);
}

TEST_F(Watchers, PSensorStartStopAndPause) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    CObserver observer;
    CWatcherPSensor* watcher = StartPSensor(observer);
    watcher->Start();
    EXPECT_EQ(CLogCapture::Count("CWatcherPSensor::Start\tINFO\tPSensorWatcherobj->Start()"), 1u);
    EXPECT_EQ(CLogCapture::Count("CWatcherPSensor running"), 0u) << "a second Start only logs";

    watcher->Resume();
    ASSERT_TRUE(WaitForLine("CWatcherPSensor::Run\tDEBUG\tPSensorWatcher thread Reset Resume Event."));
    watcher->Pause();
    Sleep(50);
    watcher->Resume();
    ASSERT_TRUE(WaitForLine("PSensorWatcher thread has been resumed due to Tablet mode switch event."));
    watcher->Pause();
    Sleep(50);
    watcher->Stop();
    ASSERT_TRUE(WaitForLine("CWatcherPSensor::HandlePauseEvent\tDEBUG\tPSensorWatcher thread terminate event triggered."));
    ASSERT_TRUE(WaitForLine("CWatcherPSensor::Run\tERROR\tPSensorWatcher thread Handle Pause Event failed."));
    ASSERT_TRUE(WaitForLine("CWatcherPSensor Exit"));
    // The line is written just before Run returns; the thread ends right after.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return watcher->IsThreadFinished(); }, std::chrono::milliseconds(2000)));

    // Started again, its thread leaves at the first wait: the stop event stays set.
    watcher->Start();
    ASSERT_TRUE(WaitForLine("CWatcherPSensor Exit", 2));
    WriteType2(kBit25);
    Sleep(100);
    EXPECT_TRUE(observer.States().empty());
    Finish(watcher);
}

TEST_F(Watchers, PSensorChangeBeforeStopIsServedFirst) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    // An observer that holds the thread inside a notification while a change and the stop arrive.
    class CSlowObserver : public CObserver {
    public:
        HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        void NotifyState(int state) override {
            CObserver::NotifyState(state);
            SetEvent(entered);
            WaitForSingleObject(release, 5000);
        }
    } observer;
    CWatcherPSensor* watcher = StartPSensor(observer);
    WriteType2(kBit25);
    ASSERT_EQ(WaitForSingleObject(observer.entered, 3000), WAIT_OBJECT_0);
    // Both become signalled while the thread is busy: the change is armed again only after.
    ResetEvent(observer.entered);
    watcher->Stop();
    SetEvent(observer.release);
    ASSERT_TRUE(WaitForLine("CWatcherPSensor Exit"));
    EXPECT_EQ(observer.States(), std::vector<int>{0});
    delete watcher;
    CloseHandle(observer.entered);
    CloseHandle(observer.release);
}

TEST_F(Watchers, PSensorWithoutSensorEndsAndFreesItself) {
    simpm::SetPSensor(false, false);
    CObserver observer;
    CWatcherPSensor* watcher = CWatcherPSensor::Create();
    watcher->Attach(&observer);
    watcher->Start();
    ASSERT_TRUE(WaitForLine("CWatcherPSensor::Run\tERROR\tPSensorWatcher thread cannot be started. System has no PSensor installed."));
    ASSERT_TRUE(WaitForLine("CWatcherPSensor Exit"));
    EXPECT_TRUE(watcher->IsRunning()) << "the flag says only that Start succeeded";
    ASSERT_TRUE(testsupport::WaitUntil([&] { return watcher->IsThreadFinished(); }, std::chrono::milliseconds(2000)));
    // The thread has ended: handing the watcher over frees it now instead of never.
    watcher->SetAutoDelete();
}

TEST_F(Watchers, ThermovaHoldThenDecisions) {
    CClock::SetDivisor(100);  // a 900 ms hold, long enough to look inside
    simpm::SetThermova(true, false);
    CObserver observer;
    CWatcherThermova* watcher = StartThermova(observer);
    ASSERT_TRUE(observer.WaitFor(1));
    EXPECT_EQ(observer.States(), std::vector<int>{2}) << "one re-evaluation at the start of the hold";
    CLogCapture::Clear();
    EXPECT_EQ(watcher->GetState(), 0) << "held: unstable without asking the driver";
    EXPECT_TRUE(CLogCapture::All().empty());
    WriteType22(0x80);  // absorbed by the read after the hold, without a decision
    ASSERT_TRUE(observer.WaitFor(2, 5000));
    EXPECT_EQ(observer.States(), (std::vector<int>{2, 0})) << "stable at the end of the hold";
    ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
    EXPECT_EQ(watcher->m_dwPrevNotificationValue, 0x80u);
    EXPECT_EQ(Status(), 0u) << "the hold writes no state";

    struct Step {
        DWORD value;
        const char* driver;  // "stable", "unstable", "failure"
        int notified;        // -1: unknown change
        DWORD status;
    } steps[] = {
        {0x00, "unstable", 2, 0x1000},
        {0x80, "stable", 0, 0x0},
        {0x81, "unstable", -1, 0x0},
        {0x01, "failure", 0, 0x0},
        {0x81, "unstable", 2, 0x1000},
    };
    std::vector<int> expected = observer.States();
    for (const Step& step : steps) {
        simpm::ClearFaults();
        std::string driver = step.driver;
        if (driver == "failure")
            simpm::FailRequest(TARVO_IOCTL_THERMOVA, 2);
        else
            simpm::SetThermova(true, driver == "unstable");
        size_t before = CLogCapture::Count("ThermovaWatcher thread Thermova Event Detected.");
        WriteType22(step.value);
        ASSERT_TRUE(WaitForLine("ThermovaWatcher thread Thermova Event Detected.", before + 1));
        if (step.notified >= 0) expected.push_back(step.notified);
        ASSERT_TRUE(observer.WaitFor(expected.size()));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return Status() == step.status; }, std::chrono::milliseconds(2000)))
            << std::hex << step.value;
    }
    EXPECT_EQ(observer.States(), expected);
    EXPECT_TRUE(CLogCapture::Has("CWatcherThermova::HandleThermovaNotificationEvent\tDEBUG\tThermova detects Unknown change."));
    EXPECT_TRUE(CLogCapture::Has("\tDEBUG\tThermova detects the status change.\n"));
    watcher->Stop();
    delete watcher;
}

TEST_F(Watchers, ThermovaHoldEndsWithNothingWhenUnstableOrUnreadable) {
    for (const char* driver : {"unstable", "failure"}) {
        simpm::ClearFaults();
        simpm::SetThermova(true, true);
        if (std::string(driver) == "failure") simpm::FailRequest(TARVO_IOCTL_THERMOVA, 2);
        CObserver observer;
        CLogCapture::Clear();
        CWatcherThermova* watcher = StartThermova(observer);
        ASSERT_TRUE(WaitForLine("Entry Do loop"));
        EXPECT_EQ(observer.States(), std::vector<int>{2}) << driver;
        watcher->Stop();
        delete watcher;
    }
}

// The hold watches no stop: a stop during it lets it run to its end, but a
// stopped watcher tells nothing more (a replaced one must not decide for the
// current one); the process's end (it ends the test program's holds for good,
// so it comes last) ends it at once, and its thread is gone before the
// runtime's static objects would be.
TEST_F(Watchers, ThermovaHoldEndsWithItsTimeOrTheProcessNotTheStop) {
    struct Case {
        const char* name;
        bool processEnds;
        std::vector<int> told;
    } cases[] = {
        {"a stop: the hold runs to its end and tells nothing", false, {2}},
        {"the process's end", true, {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogCapture::Clear();
        CClock::SetDivisor(c.processEnds ? 1 : 100);  // the process's end within the real 90 s
        simpm::SetThermova(true, false);
        CObserver observer;
        CWatcherThermova* watcher = StartThermova(observer);
        ASSERT_TRUE(observer.WaitFor(1));
        watcher->Stop();
        const ULONGLONG start = GetTickCount64();
        if (c.processEnds) {
            watcher->SetAutoDelete();  // as the application leaves it
            CClock::SignalProcessEnd();
            EXPECT_TRUE(CThread::WaitForAllThreadsToEnd(5000));
            EXPECT_LT(GetTickCount64() - start, 5000u);
        } else {
            // Deleting waits for the thread, which finishes the hold first.
            delete watcher;
        }
        EXPECT_EQ(observer.States(), c.told);
        EXPECT_TRUE(CLogCapture::Has("CwatcherThermova Exit"));
    }
}

// A watcher replaced at a resume while both are in the start-up hold, the mode
// stable: the replaced one ends its hold without a word, so the back-off is
// not forced off before the current watcher's own hold ends.
TEST_F(Watchers, AReplacedThermovaWatcherTellsNothingWhenItsHoldEnds) {
    class CThreadObserver : public CObserver {
    public:
        void NotifyState(int state) override {
            {
                std::lock_guard<std::mutex> guard(m_threadsLock);
                m_threads.push_back({state, GetCurrentThreadId()});
            }
            CObserver::NotifyState(state);
        }
        std::vector<std::pair<int, DWORD>> Told() {
            std::lock_guard<std::mutex> guard(m_threadsLock);
            return m_threads;
        }

    private:
        std::mutex m_threadsLock;
        std::vector<std::pair<int, DWORD>> m_threads;
    } observer;
    CClock::SetDivisor(100);  // holds of 900 ms
    simpm::SetThermova(true, false);
    CWatcherThermova* replaced = StartThermova(observer);
    ASSERT_TRUE(observer.WaitFor(1));
    const DWORD replacedThread = replaced->GetThreadId();
    // As the application's resume does it: the old one stopped and left attached, a new one started.
    replaced->Stop();
    CWatcherThermova* current = StartThermova(observer);
    ASSERT_TRUE(observer.WaitFor(2));
    const DWORD currentThread = current->GetThreadId();

    // The replaced watcher's hold ends first; it leaves, having told nothing more.
    EXPECT_EQ(WaitForSingleObject(replaced->GetThreadHandle(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(observer.WaitFor(3, 5000)) << "the current watcher's hold ends, the mode stable";
    const std::vector<std::pair<int, DWORD>> told = observer.Told();
    EXPECT_EQ(told, (std::vector<std::pair<int, DWORD>>{{2, replacedThread}, {2, currentThread}, {0, currentThread}}));
    EXPECT_EQ(CLogCapture::Count("CWatcherThermova::GetState\tDEBUG\tThermova State is Stable"), 1u)
        << "the replaced one does not even ask the driver";
    EXPECT_EQ(Status() & 0x1000, 0u);
    current->Stop();
    delete current;
    delete replaced;
}

// What one change raises in an observer ends that change alone: the thread
// goes on and the next change is told.
TEST_F(Watchers, AnObserverThatThrowsOnceLosesNoLaterChange) {
    class CThrowingObserver : public CObserver {
    public:
        void NotifyState(int state) override {
            CObserver::NotifyState(state);
            if (!m_thrown.exchange(true)) throw std::runtime_error("observer failed");
        }

    private:
        std::atomic<bool> m_thrown{false};
    } observer;
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";  // the level rule of bit 25
    CWatcherPSensor* watcher = StartPSensor(observer);
    EXPECT_EQ(Change(kBit25), kAway);
    EXPECT_TRUE(CLogCapture::Has("CWatcherPSensor::Run\tERROR\tobserver failed"));
    EXPECT_EQ(Change(0), kProximity);
    EXPECT_EQ(observer.States(), (std::vector<int>{0, 1}));
    EXPECT_FALSE(watcher->IsThreadFinished());
    EXPECT_EQ(Status() & 0x1, 0x1u) << "the change after it is recorded";
    Finish(watcher);
}

// A watcher thread's own driver request (here its presence probe) that the
// driver holds ends with the process, long before its bound (3 s at the real
// clock), even when the watcher's stop came first; the driver holds nothing after.
// The process's end is for good: the test program ends with it.
TEST_F(Watchers, AWatchersHeldRequestEndsWithTheProcess) {
    CClock::SetDivisor(1);
    ASSERT_TRUE(simpm::HoldRequest(SIMPM_IOCTL_PSENSOR));
    CWatcherPSensor* watcher = CWatcherPSensor::Create();
    watcher->Start();
    ASSERT_TRUE(simpm::WaitForHeld(1, 5000)) << "the presence probe waits for the driver";
    watcher->Stop();
    watcher->SetAutoDelete();  // as the application leaves it
    const ULONGLONG start = GetTickCount64();
    CClock::SignalProcessEnd();
    EXPECT_TRUE(CThread::WaitForAllThreadsToEnd(5000));
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_TRUE(CLogCapture::Has("CDriverRequest::Send\tDEBUG\tStop requested, driver request 0x222690 input 0x0 cancelled"));
    DWORD held = 1;
    EXPECT_TRUE(simpm::GetHeldCount(held));
    EXPECT_EQ(held, 0u);
}

TEST_F(Watchers, ThermovaWithoutFeatureOrKey) {
    simpm::SetThermova(false, false);
    CWatcherThermova* watcher = CWatcherThermova::Create();
    watcher->Start();
    ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tERROR\tThermovaWatcher thread cannot be started. System has no Thermova installed."));
    ASSERT_TRUE(WaitForLine("CwatcherThermova Exit"));
    watcher->Stop();
    delete watcher;

    simpm::SetThermova(true, false);
    testsupport::DeleteTree("SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2");
    CLogCapture::Clear();
    watcher = CWatcherThermova::Create();
    watcher->Start();
    ASSERT_TRUE(WaitForLine("CwatcherThermova Exit"));
    EXPECT_TRUE(CLogCapture::Has("CWatcherThermova::Run\tDEBUG\tThermova registry access FAIL"));
    watcher->Stop();
    delete watcher;
}

TEST_F(Watchers, PSensorChangesWhileANotificationIsHeldAreServedAfterIt) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    // Written while the observer holds the away notification of bit 25 set;
    // what the observer gets after it, from the level "Type2" ends at.
    struct Case {
        const char* name;
        std::vector<DWORD> meanwhile;
        std::vector<int> after;
    } cases[] = {
        {"near again", {0}, {1}},
        {"near and away again: no net change", {0, kBit25}, {}},
        {"another bit, then near", {kBit25 | 0x1u, 0x1u}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteType2(0);
        CHeldObserver observer;
        CWatcherPSensor* watcher = StartPSensor(observer);
        observer.HoldNext();
        WriteType2(kBit25);
        ASSERT_TRUE(observer.WaitEntered());
        for (DWORD value : c.meanwhile) WriteType2(value);
        const DWORD last = c.meanwhile.back();
        CLogCapture::Clear();
        observer.Release();
        // The change written last is read and compared with the one handled.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return watcher->m_dwPrevNotificationValue == last; },
                                           std::chrono::milliseconds(3000)));
        std::vector<int> expected = {0};
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        ASSERT_TRUE(observer.WaitFor(expected.size()));
        EXPECT_TRUE(WaitForLine(c.after.empty() ? kUnknown : kProximity));
        Finish(watcher);
        EXPECT_EQ(observer.States(), expected);
    }
}

// Nuvik: the sensor moves several times while the observer holds the
// notification of a change; the toggles then read together tell the state only
// with the state last told, or the driver's reading where they do not.
TEST_F(Watchers, NuvikChangesWhileANotificationIsHeldEndWhereTheSensorIs) {
    g_strWWANDeviceName = L"Nuvik HX730R-GL";
    struct Case {
        const char* name;
        std::vector<bool> meanwhile;  // true an approach (bit 25 toggles), false a departure (bit 26)
    } cases[] = {
        {"near, away", {true, false}},
        {"near, away, near", {true, false, true}},
        {"away, near", {false, true}},
        {"near, away, near, away", {true, false, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteType2(0);
        CHeldObserver observer;
        CWatcherPSensor* watcher = StartPSensor(observer);
        // The held change is the one before the first of the sequence.
        DWORD value = 0;
        auto move = [&](bool objectNear) {
            ASSERT_TRUE(simpm::SetPSensor(true, objectNear));
            value ^= objectNear ? kBit25 : kBit26;
            WriteType2(value);
        };
        observer.HoldNext();
        move(!c.meanwhile.front());
        ASSERT_TRUE(observer.WaitEntered());
        for (bool objectNear : c.meanwhile) move(objectNear);
        const size_t from = CLogCapture::All().size();
        observer.Release();
        // The turn after the held one reads the value the sensor ended at, and has ended.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !OutcomeOf(from, value).empty(); },
                                           std::chrono::milliseconds(3000)));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return watcher->m_dwPrevNotificationValue == value; },
                                           std::chrono::milliseconds(3000)));
        const int last = c.meanwhile.back() ? 1 : 0;
        ASSERT_FALSE(observer.States().empty());
        EXPECT_EQ(observer.States().back(), last) << "the last notification";
        EXPECT_EQ(Status() & 0x1, static_cast<DWORD>(last)) << "the P-sensor's bit";
        Finish(watcher);
    }
}

// A change of the mode while the observer holds the stable notification (the
// modem's answer to it) is served after it: at the end of the hold, whose
// notification comes once the watcher watches, and after a change.
TEST_F(Watchers, ThermovaChangeWhileANotificationIsHeldIsServedAfterIt) {
    struct Case {
        const char* name;
        bool endOfHold;
    } cases[] = {{"the end of the hold", true}, {"a change", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogCapture::Clear();
        WriteType22(0);
        CClock::SetDivisor(c.endOfHold ? 100 : 1000);
        simpm::SetThermova(true, !c.endOfHold);
        CHeldObserver observer;
        if (c.endOfHold) observer.HoldCall(1);  // the stable notification after the hold's re-evaluation
        CWatcherThermova* watcher = StartThermova(observer);
        DWORD type22 = 0;
        if (!c.endOfHold) {
            ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
            ASSERT_EQ(observer.States(), std::vector<int>{2}) << "the hold's re-evaluation only";
            simpm::SetThermova(true, false);
            observer.HoldNext();
            WriteType22(type22 ^= 0x80);
        }
        ASSERT_TRUE(observer.WaitEntered());
        // Unstable again while the stable notification is held: bit 7 toggles.
        simpm::SetThermova(true, true);
        WriteType22(type22 ^= 0x80);
        observer.Release();
        ASSERT_TRUE(observer.WaitFor(3));
        EXPECT_EQ(observer.States(), (std::vector<int>{2, 0, 2}));
        EXPECT_TRUE(testsupport::WaitUntil([] { return Status() == 0x1000; }, std::chrono::milliseconds(3000)))
            << "the last change's state is the one recorded";
        watcher->Stop();
        delete watcher;
        testsupport::SetDword(kParameters, "CurrentStatus", 0);
    }
}

namespace {
// The value a line hook writes, and the line of the watcher's thread it writes it at.
std::atomic<const char*> g_hookLine{nullptr};
std::atomic<const char*> g_hookKey{nullptr};
std::atomic<const char*> g_hookValueName{nullptr};
std::atomic<DWORD> g_hookValue{0};

void WriteAtLine(const char* text) {
    const char* line = g_hookLine.load();
    if (line && std::string(text).find(line) != std::string::npos && g_hookLine.exchange(nullptr))
        testsupport::SetDword(g_hookKey.load(), g_hookValueName.load(), g_hookValue.load());
}

void WriteWhenLogged(const char* line, const char* key, const char* name, DWORD value) {
    g_hookKey = key;
    g_hookValueName = name;
    g_hookValue = value;
    g_hookLine = line;
    CLogCapture::SetLineHook(&WriteAtLine);
}
}  // namespace

TEST_F(Watchers, PSensorChangeDuringTheResumeTurnIsServed) {
    g_strWWANDeviceName = L"Qualcomm Snapdragon X55 5G";
    CObserver observer;
    CWatcherPSensor* watcher = StartPSensor(observer);
    // Written by the watcher's own thread inside its resume turn, after the wake-up.
    WriteWhenLogged("PSensorWatcher thread Reset Resume Event.", kPSensorKey, "Type2", kBit25);
    watcher->Resume();
    ASSERT_TRUE(observer.WaitFor(1));
    EXPECT_EQ(observer.States(), std::vector<int>{0});
    Finish(watcher);
}

TEST_F(Watchers, ThermovaChangeDuringThePauseOrResumeTurnIsServed) {
    struct Case {
        const char* name;
        const char* line;  // of the turn, on the watcher's thread
        bool pause;
    } cases[] = {
        {"resume turn", "ThermovaWatcher thread Reset Resume Event.", false},
        {"pause turn", "ThermovaWatcher thread Handle Pause Event.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogCapture::Clear();
        WriteType22(0);
        simpm::SetThermova(true, true);
        CObserver observer;
        CWatcherThermova* watcher = StartThermova(observer);
        ASSERT_TRUE(WaitForLine("CWatcherThermova::Run\tDEBUG\tEntry Do loop"));
        simpm::SetThermova(true, false);
        WriteWhenLogged(c.line, kThermovaKey, "Type22", 0x80);
        if (c.pause) {
            watcher->Pause();
            // The hook has written by the time the line is captured; the thread pauses next.
            ASSERT_TRUE(WaitForLine(c.line));
            watcher->Resume();
        } else {
            watcher->Resume();
        }
        ASSERT_TRUE(observer.WaitFor(2));
        EXPECT_EQ(observer.States(), (std::vector<int>{2, 0}));
        watcher->Stop();
        delete watcher;
    }
}

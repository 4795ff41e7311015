// The back-off decision of the policy engine, with a recording modem object,
// real watcher objects (their threads not started) and the simulated driver
// behind the watchers' readings.
#include "CClock.h"
#include "CSystem.h"
#include "LogCapture.h"
#include "MBSar.h"
#include "PlatformFlags.h"
#include "PolicyFakes.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {
class Decision : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
        CTarvoApplication::SetLastDeviceReady(0);
    }
    void TearDown() override { simpm::ClearFaults(); }

    // P-sensor detection and Thermova mode as the driver reports them.
    static void Sensors(bool detection, bool thermovaUnstable) {
        ASSERT_TRUE(simpm::SetPSensor(true, detection));
        ASSERT_TRUE(simpm::SetThermova(true, thermovaUnstable));
    }
};
}  // namespace

TEST_F(Decision, DisplayAndThermovaRules) {
    struct Case {
        const char* name;
        bool displayOff;
        const char* thermova;  // "stable", "unstable", "hold", "failure", "none"
        int notified;
        bool detection;
        int sent;
    } cases[] = {
        {"display off", true, "unstable", 1, true, 0},
        {"display off, re-evaluate", true, "unstable", 2, true, 0},
        {"Thermova stable", false, "stable", 1, true, 0},
        {"Thermova unstable", false, "unstable", 1, false, 1},
        {"Thermova unstable, clear", false, "unstable", 0, true, 0},
        {"re-evaluate reads the P-sensor", false, "unstable", 2, true, 1},
        {"re-evaluate, away", false, "unstable", 2, false, 0},
        {"start-up hold", false, "hold", 1, false, 1},
        {"Thermova read failure", false, "failure", 1, false, 1},
        {"no Thermova watcher", false, "none", 2, true, 1},
    };
    for (const Case& c : cases) {
        simpm::ClearFaults();
        std::string thermova = c.thermova;
        Sensors(c.detection, thermova != "stable");
        CTestApplication application;
        application.WithModem();
        application.WithWatchers(true, thermova != "none");
        if (thermova == "hold") application.Thermova()->m_bStartupHold = true;
        if (thermova == "failure") simpm::FailRequest(TARVO_IOCTL_THERMOVA, 2);
        if (c.displayOff) application.MonitorPowerOff();
        application.modem->ClearStates();
        application.NotifyState(c.notified);
        EXPECT_EQ(application.modem->States(), std::vector<int>{c.sent}) << c.name;
    }
}

TEST_F(Decision, ReadFailuresReachTheModemAsFF) {
    Sensors(true, true);
    CTestApplication application;
    application.WithModem();
    application.WithWatchers(true, true);
    simpm::FailRequest(TARVO_IOCTL_PSENSOR);
    application.NotifyState(2);
    EXPECT_EQ(application.modem->States(), std::vector<int>{0xFF});

    CTestApplication noPSensor;
    noPSensor.WithModem();
    noPSensor.NotifyState(2);
    EXPECT_EQ(noPSensor.modem->States(), std::vector<int>{0}) << "no P-sensor watcher reads as away";
}

TEST_F(Decision, ReadinessMemorySendsOneOffCommand) {
    Sensors(true, true);
    CTestApplication application;
    application.WithModem();
    application.WithWatchers(true, true);
    CFakeModem& modem = *application.modem;

    modem.ready = 0;
    application.NotifyState(1);
    EXPECT_TRUE(modem.States().empty()) << "never ready: nothing";
    modem.ready = 1;
    application.NotifyState(1);
    modem.ready = 0;
    application.NotifyState(1);
    application.NotifyState(1);
    application.NotifyState(2);
    EXPECT_EQ(modem.States(), (std::vector<int>{1, 0})) << "one off command when it stops being ready";
    modem.ready = 1;
    application.NotifyState(1);
    EXPECT_EQ(modem.States(), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(CTarvoApplication::GetLastDeviceReady(), 1);
}

// An arrival or a radio switched on: what the modem held is forgotten, and the
// inputs as they are decide, with every rule of a re-evaluation.
TEST_F(Decision, NotifyChangeDecidesAgainOnTheInputs) {
    Sensors(true, true);
    CTestApplication application;
    application.WithModem();
    g_dwCurrentTarvoState = 1;
    application.NotifyChange();
    EXPECT_TRUE(application.modem->States().empty()) << "no P-sensor watcher";
    EXPECT_EQ(g_dwCurrentTarvoState, 1u) << "nothing is forgotten without a decision";
    application.WithWatchers(true, true);
    struct Case {
        const char* name;
        bool detection;
        bool thermovaUnstable;
        bool displayOff;
        int sent;
    } cases[] = {
        {"near", true, true, false, 1},
        {"away", false, true, false, 0},
        {"near, Thermova stable", true, false, false, 0},
        {"near, display off", true, true, true, 0},
    };
    for (const Case& c : cases) {
        Sensors(c.detection, c.thermovaUnstable);
        if (c.displayOff) application.MonitorPowerOff();
        application.modem->ClearStates();
        g_dwCurrentTarvoState = static_cast<uint32_t>(c.sent);  // the memory says the modem holds it already
        application.NotifyChange();
        EXPECT_EQ(application.modem->States(), std::vector<int>{c.sent}) << c.name;
        EXPECT_EQ(g_dwCurrentTarvoState, kTarvoStateUnknown) << c.name << ": the next command is sent";
    }

    CTestApplication noModem;
    noModem.WithWatchers(true, true);
    noModem.NotifyChange();
    noModem.NotifyState(1);
    noModem.MonitorPowerOff();
}

TEST_F(Decision, DisplayOffAndOn) {
    Sensors(true, true);
    CTestApplication application;
    application.WithModem();
    application.WithWatchers(true, true);
    CLogCapture capture;
    application.MonitorPowerOff();
    EXPECT_TRUE(application.MonitorOff());
    application.NotifyState(1);
    application.MonitorPowerOn();
    EXPECT_FALSE(application.MonitorOff());
    EXPECT_EQ(application.modem->States(), (std::vector<int>{0, 0, 1})) << "on re-reads the P-sensor";
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::MonitorPowerOff\tDEBUG\tMonitor Off, send Tarvo Off"));
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::MonitorPowerOn\tDEBUG\tMonitor On"));
}

TEST_F(Decision, InitialStateSkipsTheThermovaRuleAndTheMemory) {
    Sensors(true, false);  // Thermova stable would force 0 in NotifyState
    CTestApplication application;
    application.WithModem();
    application.WithWatchers(true, true);
    application.ApplyInitialState();
    EXPECT_EQ(application.modem->States(), (std::vector<int>{0, 1}))
        << "MonitorPowerOn's decision, then the P-sensor reading as it stands";
    application.modem->ClearStates();
    application.modem->ready = 0;
    application.ApplyInitialState();
    EXPECT_EQ(application.modem->States(), (std::vector<int>{0, 0})) << "not ready: 0 is sent all the same";
}

TEST_F(Decision, RestartOnlyWithAFactory) {
    class CRestartProbe : public CTestApplication {
    public:
        bool Signalled() { return WaitForSingleObject(m_hRestartEvent, 0) == WAIT_OBJECT_0; }
    } application;
    application.SignalRestart();
    EXPECT_FALSE(application.Signalled());
    application.WithModem();
    application.SignalRestart();
    application.SignalRestart();
    EXPECT_TRUE(application.Signalled());
    EXPECT_FALSE(application.Signalled()) << "auto-reset: several resumes collapse into one";
}

TEST(PlatformChoice, BiosIdAndMachineType) {
    const char* bios = "HARDWARE\\DESCRIPTION\\System\\BIOS";
    struct Case {
        const char* biosVersion;
        const char* board;
        bool factory;
        bool lumo;
        bool dovra;
        const char* line;
    } cases[] = {
        {"Q47XV 1.0", "7KQA01", true, true, false, "This is Lumo Platform!"},
        {"Q48XV", "7KQB", true, true, false, "This is Lumo Platform!"},
        {"Q47XV", "7KQC", true, false, true, "This is Dovra Vardo Platform!"},
        {"Q48XV", "7KQD", true, false, true, "This is Dovra Vardo Platform!"},
        {"Q47XV", "8ABC", true, false, true, "This is Dovra Ombra Platform!"},
        {"Q47XV", "", true, false, true, "This is Dovra Ombra Platform!"},
        {"Q47X", "7KQA", false, false, false, "Does not find target system on Windows 7 or later"},
        {"q47xv", "7KQA", false, false, false, "Does not find target system on Windows 7 or later"},
        {"X11AB", "7KQA", false, false, false, "Does not find target system on Windows 7 or later"},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, bios, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegCloseKey(key);
        testsupport::SetString(bios, "BIOSVersion", c.biosVersion);
        testsupport::SetString(bios, "BaseBoardProduct", c.board);
        g_bLumoPlatform = false;
        g_bDovraPlatform = false;
        CLogCapture capture;
        CTarvoApplication application;
        CTarvoDeviceFactory* factory = application.CreateDeviceSpecificFactory();
        EXPECT_EQ(factory != nullptr, c.factory) << c.biosVersion << "/" << c.board;
        if (factory) {
            EXPECT_EQ(factory->GetBIOSID(), std::string(c.biosVersion).substr(0, 5));
        }
        delete factory;
        EXPECT_EQ(g_bLumoPlatform, c.lumo) << c.board;
        EXPECT_EQ(g_bDovraPlatform, c.dovra) << c.board;
        EXPECT_TRUE(CLogCapture::Has(std::string("CTarvoApplication::CreateDeviceSpecificFactory\tDEBUG\t") + c.line))
            << c.biosVersion << "/" << c.board;
        EXPECT_TRUE(CLogCapture::Has("Inside Inside device factory"));
    }
}

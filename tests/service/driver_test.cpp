// Machine probes and the application's radio and WLAN requests against the
// simulated power-management driver.
#include "CClock.h"
#include "CHelpers.h"
#include "CService.h"
#include "CSystem.h"
#include "CTarvoApplication.h"
#include "CWatcherPSensor.h"
#include "CWatcherThermova.h"
#include "LogCapture.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";

class DriverRequests : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpm::Install(), 0u);
        ASSERT_EQ(simpm::Start(), 0u);
        ASSERT_TRUE(simpm::Reset());
    }
    void TearDown() override { simpm::ClearFaults(); }
};
}  // namespace

TEST_F(DriverRequests, PresenceProbes) {
    CSystem system;
    ASSERT_TRUE(simpm::SetPSensor(true, true));  // answers 0x3
    EXPECT_EQ(system.HasPSensor(), 1);
    ASSERT_TRUE(simpm::SetPSensor(false, true));
    EXPECT_EQ(system.HasPSensor(), 0);
    ASSERT_TRUE(simpm::AnswerRequest(TARVO_IOCTL_THERMOVA, 3, 0x20001));
    EXPECT_EQ(system.HasThermova(), 1);
    ASSERT_TRUE(simpm::AnswerRequest(TARVO_IOCTL_THERMOVA, 3, 0x1));
    EXPECT_EQ(system.HasThermova(), 0);
    ASSERT_TRUE(simpm::FailRequest(TARVO_IOCTL_PSENSOR));
    EXPECT_EQ(system.HasPSensor(), 0);

    CLogCapture capture;
    ASSERT_EQ(simpm::Stop(), 0u);
    EXPECT_EQ(system.HasPSensor(), 0);
    EXPECT_EQ(system.HasThermova(), 0);
    EXPECT_TRUE(CLogCapture::All().empty()) << "the probes log nothing";
}

TEST_F(DriverRequests, WwanRadioState) {
    CTarvoApplication application;
    struct Case {
        const char* setup;
        int expected;
        std::vector<std::string> lines;
    } cases[] = {
        {"on", 1,
         {"DEBUG\tEntering CTarvoApplication::GetWWANRadioState", "CTarvoApplication::GetWWANRadioState\tDEBUG\tRadio status = 0x100",
          "CTarvoApplication::GetWWANRadioState\tDEBUG\tWWAN Radio is ON", "Exiting CTarvoApplication::GetWWANRadioState"}},
        {"off", 0,
         {"DEBUG\tEntering CTarvoApplication::GetWWANRadioState", "CTarvoApplication::GetWWANRadioState\tDEBUG\tRadio status = 0x10",
          "CTarvoApplication::GetWWANRadioState\tDEBUG\tWWAN Radio is OFF", "Exiting CTarvoApplication::GetWWANRadioState"}},
        {"odd", -1,
         {"DEBUG\tEntering CTarvoApplication::GetWWANRadioState", "CTarvoApplication::GetWWANRadioState\tDEBUG\tRadio status = 0x5",
          "CTarvoApplication::GetWWANRadioState\tERROR\tWWAN Radio get failed", "Exiting CTarvoApplication::GetWWANRadioState"}},
        {"fail", -1,
         {"DEBUG\tEntering CTarvoApplication::GetWWANRadioState",
          "CTarvoApplication::GetWWANRadioState\tERROR\tPM Driver WWAN Radio get failed Error: 31 bResult: 0",
          "Exiting CTarvoApplication::GetWWANRadioState"}},
        {"stopped", -1, {"DEBUG\tEntering CTarvoApplication::GetWWANRadioState"}},
    };
    for (const Case& c : cases) {
        simpm::Start();
        simpm::ClearFaults();
        std::string setup = c.setup;
        if (setup == "on") simpm::SetRadio(true);
        if (setup == "off") simpm::SetRadio(false);
        if (setup == "odd") simpm::AnswerRequest(TARVO_IOCTL_RADIO, 0, 0x5);
        if (setup == "fail") simpm::FailRequest(TARVO_IOCTL_RADIO, 0);
        if (setup == "stopped") simpm::Stop();
        CLogCapture capture;
        EXPECT_EQ(application.GetWWANRadioState(), c.expected) << c.setup;
        EXPECT_EQ(CLogCapture::All(), c.lines) << c.setup;
    }
}

TEST_F(DriverRequests, WwanRadioSwitch) {
    CTarvoApplication application;
    bool on = false;
    CLogCapture capture;
    simpm::SetRadio(false);
    EXPECT_EQ(application.SetWWANRadioState(1), 1);
    ASSERT_TRUE(simpm::GetRadio(on));
    EXPECT_TRUE(on);
    EXPECT_TRUE(CLogCapture::Has("CTarvoApplication::SetWWANRadioState\tDEBUG\tWWAN Radio is set to ON"));
    EXPECT_EQ(application.SetWWANRadioState(7), 0) << "any value but 1 switches off";
    ASSERT_TRUE(simpm::GetRadio(on));
    EXPECT_FALSE(on);
    EXPECT_TRUE(CLogCapture::Has("WWAN Radio is set to OFF"));
    simpm::FailRequest(TARVO_IOCTL_RADIO, 0x10100);
    EXPECT_EQ(application.SetWWANRadioState(1), -1);
    EXPECT_TRUE(CLogCapture::Has("PM Driver WWAN Radio set failed Error: 31 bResult: 0"));
}

TEST_F(DriverRequests, WlanTransmitPower) {
    testsupport::SetDword(kParameters, "CurrentStatus", 0x1);
    CTarvoApplication application;
    CLogCapture capture;
    EXPECT_EQ(application.GetWLANTxState(), 1);
    EXPECT_EQ(application.SetWLANTxState(1), 0);
    DWORD status = 0;
    ASSERT_TRUE(testsupport::GetDword(kParameters, "CurrentStatus", status));
    EXPECT_EQ(status, 0x101u);
    EXPECT_EQ(application.GetWLANTxState(), 0);
    EXPECT_TRUE(CLogCapture::Has("WLAN Tx Power is REDUCED"));
    EXPECT_EQ(application.SetWLANTxState(0), 1);
    ASSERT_TRUE(testsupport::GetDword(kParameters, "CurrentStatus", status));
    EXPECT_EQ(status, 0x1u);
    // An answer other than 0 to a set is a failure; the state word stays.
    simpm::AnswerRequest(TARVO_IOCTL_RADIO, 0x30010, 0x7);
    EXPECT_EQ(application.SetWLANTxState(1), -1);
    EXPECT_TRUE(CLogCapture::Has("WLAN Tx Power set failed, ulOut: 0x00000007"));
    ASSERT_TRUE(testsupport::GetDword(kParameters, "CurrentStatus", status));
    EXPECT_EQ(status, 0x1u);
    simpm::FailRequest(TARVO_IOCTL_RADIO, 0x20000);
    CLogCapture::Clear();
    EXPECT_EQ(application.GetWLANTxState(), -1);
    EXPECT_TRUE(CLogCapture::All().empty()) << "a failed request has no line";
    simpm::Stop();
    EXPECT_EQ(application.SetWLANTxState(1), -1);
}

TEST_F(DriverRequests, WatcherStateQueries) {
    CWatcherPSensor* psensor = CWatcherPSensor::Create();
    CWatcherThermova* thermova = CWatcherThermova::Create();
    CLogCapture capture;
    simpm::SetPSensor(true, true);
    EXPECT_EQ(psensor->GetState(), 1);
    EXPECT_TRUE(CLogCapture::Has("CWatcherPSensor::GetState\tDEBUG\tPSENSOR Detection State is ON"));
    simpm::SetPSensor(true, false);
    EXPECT_EQ(psensor->GetState(), 0);
    EXPECT_TRUE(CLogCapture::Has("PSENSOR Detection State is OFF"));

    simpm::SetThermova(true, true);
    CLogCapture::Clear();
    EXPECT_EQ(thermova->GetState(), 0);
    EXPECT_EQ(CLogCapture::All(), (std::vector<std::string>{"CWatcherThermova::GetState\tDEBUG\tulOut: 0x00020000 ",
                                                            "CWatcherThermova::GetState\tDEBUG\tThermova State is Unstable"}));
    simpm::SetThermova(true, false);
    EXPECT_EQ(thermova->GetState(), 1);
    EXPECT_TRUE(CLogCapture::Has("Thermova State is Stable"));
    simpm::FailRequest(TARVO_IOCTL_THERMOVA, 2);
    CLogCapture::Clear();
    EXPECT_EQ(thermova->GetState(), -1);
    EXPECT_EQ(CLogCapture::All(), (std::vector<std::string>{"CWatcherThermova::GetState\tDEBUG\tulOut: 0x00000000 "}))
        << "the value line comes also when the request fails";
    thermova->m_bStartupHold = true;
    CLogCapture::Clear();
    EXPECT_EQ(thermova->GetState(), 0) << "held: unstable without asking";
    EXPECT_TRUE(CLogCapture::All().empty());

    simpm::Stop();
    CLogCapture::Clear();
    EXPECT_EQ(psensor->GetState(), -1);
    thermova->m_bStartupHold = false;
    EXPECT_EQ(thermova->GetState(), -1);
    EXPECT_TRUE(CLogCapture::All().empty());
    psensor->SetAutoDelete();
    thermova->SetAutoDelete();
}

// A request that the driver holds ends within its bound, or at once when the
// calling thread's stop comes, with the caller's failure result and line; the
// cancel takes it out of the driver, and one let go in time is answered as usual.
TEST_F(DriverRequests, AHeldRequestEndsWithinItsBoundOrAtTheStop) {
    CClock::SetDivisor(1000);  // the bound's floor: 2 s
    CTarvoApplication application;
    CWatcherPSensor* psensor = CWatcherPSensor::Create();
    CWatcherThermova* thermova = CWatcherThermova::Create();
    CSystem system;
    enum class End { Bound, Stop, Release };
    struct Case {
        const char* name;
        DWORD code;
        DWORD input;
        End end;
        std::function<int()> call;
        int expected;
        const char* line;  // the caller's failure line, if it has one
    } cases[] = {
        {"radio state, the bound", TARVO_IOCTL_RADIO, 0x00000, End::Bound, [&] { return application.GetWWANRadioState(); },
         -1, "CTarvoApplication::GetWWANRadioState\tERROR\tPM Driver WWAN Radio get failed Error: 1460 bResult: 0"},
        {"P-sensor state, the bound", TARVO_IOCTL_PSENSOR, 0, End::Bound, [&] { return psensor->GetState(); }, -1,
         nullptr},
        {"radio switch, the stop", TARVO_IOCTL_RADIO, 0x10100, End::Stop, [&] { return application.SetWWANRadioState(1); },
         -1, "CTarvoApplication::SetWWANRadioState\tERROR\tPM Driver WWAN Radio set failed Error: 995 bResult: 0"},
        {"Thermova state, the stop", TARVO_IOCTL_THERMOVA, 2, End::Stop, [&] { return thermova->GetState(); }, -1,
         "CWatcherThermova::GetState\tDEBUG\tulOut: 0x00000000 "},
        {"P-sensor presence, the stop", TARVO_IOCTL_PSENSOR, 0, End::Stop, [&] { return system.HasPSensor(); }, 0,
         nullptr},
        {"WLAN power, the stop", TARVO_IOCTL_RADIO, 0x30010, End::Stop, [&] { return application.SetWLANTxState(1); }, -1,
         nullptr},
        {"P-sensor state, let go in time", TARVO_IOCTL_PSENSOR, 0, End::Release, [&] { return psensor->GetState(); }, 1,
         "CWatcherPSensor::GetState\tDEBUG\tPSENSOR Detection State is ON"},
    };
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(simpm::HoldRequest(c.code, c.input));
        CUniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        CLogCapture capture;
        int result = 0;
        // Before the request: the bound is measured from no later than its start.
        const ULONGLONG begin = GetTickCount64();
        std::thread caller([&] {
            CClock::CThreadStopScope scope(stop.Get());
            result = c.call();
        });
        // Not ASSERT: the caller's thread is joined on every path.
        EXPECT_TRUE(simpm::WaitForHeld(1, 5000));
        const ULONGLONG held = GetTickCount64();
        if (c.end == End::Stop) SetEvent(stop.Get());
        if (c.end == End::Release) {
            EXPECT_TRUE(simpm::ReleaseHeld());
        }
        caller.join();
        const ULONGLONG took = GetTickCount64() - held;
        EXPECT_EQ(result, c.expected);
        if (c.end == End::Bound) {
            EXPECT_GE(GetTickCount64() - begin, 1950u);
            EXPECT_LT(took, 4000u) << "within the bound";
            EXPECT_TRUE(CLogCapture::Has("CDriverRequest::Send\tERROR\tDriver request 0x"));
            EXPECT_TRUE(CLogCapture::Has("not answered within 3 s, cancelled"));
        } else {
            EXPECT_LT(took, 1000u);
        }
        if (c.end == End::Stop) {
            EXPECT_TRUE(CLogCapture::Has("CDriverRequest::Send\tDEBUG\tStop requested, driver request"));
        }
        if (c.line) {
            EXPECT_TRUE(CLogCapture::HasLine(c.line)) << c.line;
        }
        DWORD count = 1;
        EXPECT_TRUE(simpm::GetHeldCount(count));
        EXPECT_EQ(count, 0u) << "the cancel took the request out of the driver";
        ASSERT_TRUE(simpm::ClearFaults());
    }
    CClock::SetDivisor(1);
    psensor->SetAutoDelete();
    thermova->SetAutoDelete();
}

TEST_F(DriverRequests, ResumeControlSwitchesTheRadioOn) {
    simpm::SetRadio(false);
    CService::g_hServiceStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CTarvoApplication application;
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, &application),
              static_cast<DWORD>(NO_ERROR));
    bool on = false;
    // Switched on the application's display thread, after the handler returned.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return simpm::GetRadio(on) && on; }, std::chrono::milliseconds(5000)));
    // A suspend leaves it alone.
    simpm::SetRadio(false);
    CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, &application);
    ASSERT_TRUE(simpm::GetRadio(on));
    EXPECT_FALSE(on);
    CloseHandle(CService::g_hServiceStopEvent);
    CService::g_hServiceStopEvent = nullptr;
}

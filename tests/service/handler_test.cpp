#include "CService.h"
#include "CTarvoApplication.h"
#include "LogCapture.h"
#include "ServiceStatusCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {
std::vector<SERVICE_STATUS>& g_reports = CServiceStatusCapture::Reports();

class CObservedApplication : public CTarvoApplication {
public:
    bool MonitorOff() const { return m_bMonitorOff; }
};

struct DisplaySetting {
    POWERBROADCAST_SETTING header;  // Data[0] is the display state
};

class ServiceHandler : public ::testing::Test {
protected:
    CServiceStatusCapture status;
    static bool StopSet() { return CServiceStatusCapture::StopSet(); }
    static DWORD Display(CTarvoApplication* application, BYTE state) {
        DisplaySetting setting = {};
        setting.header.DataLength = 4;
        setting.header.Data[0] = state;
        return CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &setting, application);
    }
};
}  // namespace

TEST_F(ServiceHandler, StopShutdownAndPreshutdownReportStopPendingAndSetTheEvent) {
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN}) {
        CServiceStatusCapture::Clear();
        ResetEvent(CService::g_hServiceStopEvent);
        CService::g_bServiceStopRequested = false;
        EXPECT_EQ(CService::ServiceHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        ASSERT_EQ(g_reports.size(), 1u);
        const SERVICE_STATUS& s = g_reports[0];
        EXPECT_EQ(s.dwServiceType, 0x10u);
        EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(s.dwCheckPoint, 1u);
        EXPECT_EQ(s.dwControlsAccepted, 0x4E5u);
        EXPECT_EQ(s.dwWaitHint, 3000u);
        EXPECT_EQ(s.dwWin32ExitCode, 0u);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
        EXPECT_TRUE(StopSet());
    }
}

// Once a stop is taken, ServiceMain's own reports rise from check point 2 to
// SERVICE_STOPPED: a later control (another stop, a shutdown, a pause) must
// not report an earlier check point or a state after them, nor touch the event.
TEST_F(ServiceHandler, ControlsAfterTheStopReportNothing) {
    CObservedApplication application;
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, &application), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(g_reports.size(), 1u);
    CServiceStatusCapture::Clear();
    ResetEvent(CService::g_hServiceStopEvent);
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN,
                          SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}) {
        EXPECT_EQ(CService::ServiceHandler(control, 0, nullptr, &application), static_cast<DWORD>(NO_ERROR))
            << control;
    }
    EXPECT_TRUE(g_reports.empty());
    EXPECT_FALSE(StopSet()) << "the event is left as ServiceMain has it";
    // ServiceMain closes the event after the deletion: a control then still finds the stop.
    CloseHandle(CService::g_hServiceStopEvent);
    CService::g_hServiceStopEvent = nullptr;
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &application),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ServiceHandler, PauseAndContinueOnlyReport) {
    CLogCapture capture;
    CService::ServiceHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr);
    CService::ServiceHandler(SERVICE_CONTROL_CONTINUE, 0, nullptr, nullptr);
    std::vector<std::pair<DWORD, DWORD>> states;
    for (const SERVICE_STATUS& s : g_reports) states.emplace_back(s.dwCurrentState, s.dwCheckPoint);
    EXPECT_EQ(states, (std::vector<std::pair<DWORD, DWORD>>{{SERVICE_PAUSE_PENDING, 1},
                                                            {SERVICE_PAUSED, 0},
                                                            {SERVICE_CONTINUE_PENDING, 1},
                                                            {SERVICE_RUNNING, 0}}));
    EXPECT_TRUE(CLogCapture::Has("CService::ServiceHandler\tDEBUG\tSERVICE_CONTROL_PAUSE"));
    EXPECT_TRUE(CLogCapture::Has("CService::ServiceHandler\tDEBUG\tSERVICE_CONTROL_CONTINUE"));
    EXPECT_FALSE(StopSet());
}

TEST_F(ServiceHandler, StartPendingAcceptsNoControls) {
    CService::SetStatus(SERVICE_START_PENDING, NO_ERROR, 2);
    CService::SetStatus(SERVICE_RUNNING, NO_ERROR, 0);
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[0].dwControlsAccepted, 0u);
    EXPECT_EQ(g_reports[0].dwCheckPoint, 2u);
    EXPECT_EQ(g_reports[1].dwControlsAccepted, 0x4E5u);
}

TEST_F(ServiceHandler, UnhandledControlsReportNothing) {
    for (DWORD control : std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SESSIONCHANGE,
                                            SERVICE_CONTROL_PARAMCHANGE, 200u}) {
        EXPECT_EQ(CService::ServiceHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_TRUE(g_reports.empty());
    EXPECT_FALSE(StopSet());
}

TEST_F(ServiceHandler, DisplayStateDrivesTheMonitorFlag) {
    CLogCapture capture;
    CObservedApplication application;
    struct Case {
        BYTE state;
        bool off;
        const char* line;
    } cases[] = {{0, true, "Monitor Off, send Tarvo Off"}, {1, false, "Monitor On"}, {0, true, nullptr},
                 {2, false, "Monitor On"}};  // 2 is dimmed, which counts as on
    for (const Case& c : cases) {
        CLogCapture::Clear();
        EXPECT_EQ(Display(&application, c.state), static_cast<DWORD>(NO_ERROR));
        // Carried out on the application's display thread, after the handler returned.
        EXPECT_TRUE(testsupport::WaitUntil([&] { return application.MonitorOff() == c.off; },
                                           std::chrono::milliseconds(3000)))
            << int(c.state);
        if (c.line) {
            EXPECT_TRUE(testsupport::WaitUntil([&] { return CLogCapture::Has(c.line); },
                                               std::chrono::milliseconds(3000)))
                << c.line;
        }
    }
    // Without an application nothing happens.
    CLogCapture::Clear();
    EXPECT_EQ(Display(nullptr, 0), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(CLogCapture::All().empty());
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(ServiceHandler, SuspendOnlyLogsAndResumeSwitchesTheRadio) {
    CLogCapture capture;
    CObservedApplication application;
    CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, &application);
    EXPECT_EQ(CLogCapture::All(),
              (std::vector<std::string>{
                  "CService::ServiceHandler\tDEBUG\t!-!-! PBT_APMSUSPEND: Entering S4 or Fast shutdown !-!-!"}));
    CLogCapture::Clear();
    CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, nullptr, &application);
    EXPECT_TRUE(CLogCapture::All().empty());
    CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, &application);
    EXPECT_TRUE(CLogCapture::Has("!-!-! PBT_APMRESUMEAUTOMATIC !-!-!"));
    // On the application's display thread, after the handler returned.
    EXPECT_TRUE(testsupport::WaitUntil([] { return CLogCapture::Has("Entering CTarvoApplication::SetWWANRadioState"); },
                                       std::chrono::milliseconds(5000)));
}

TEST_F(ServiceHandler, TriggerEventAfterStopReturnsShutdownInProgress) {
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_TRIGGEREVENT, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_TRIGGEREVENT, 0, nullptr, nullptr), 1115u);
    CloseHandle(CService::g_hServiceStopEvent);
    CService::g_hServiceStopEvent = nullptr;
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_TRIGGEREVENT, 0, nullptr, nullptr), 1115u);
}

TEST_F(ServiceHandler, ControlsAfterTheStopLeaveTheApplicationAlone) {
    CLogCapture capture;
    CObservedApplication application;
    CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, &application);
    CLogCapture::Clear();
    Display(&application, 0);
    CService::ServiceHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, &application);
    EXPECT_FALSE(application.MonitorOff());
    EXPECT_FALSE(CLogCapture::Has("Monitor Off"));
    EXPECT_FALSE(CLogCapture::Has("SetWWANRadioState"));
}

// CPXService against real services in the prefix: the simulated "Pellarix" and
// "PellarixClient", which depends on it, on the fast clock.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "CClock.h"
#include "CPXService.h"
#include "Logger.h"
#include "SimPxControl.h"

#include <mutex>
#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace {

const std::string kStart = "CPXService::DoStartSvc\t";
const std::string kStop = "CPXService::DoStopSvc\t";

std::mutex g_linesLock;
std::vector<std::string> g_lines;

void CaptureLine(const char* text) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.emplace_back(text);
}

std::vector<std::string> TakeLines() {
    std::lock_guard<std::mutex> lock(g_linesLock);
    std::vector<std::string> lines;
    lines.swap(g_lines);
    return lines;
}

DWORD Count(bool (*read)(const char*, DWORD&), const char* name) {
    DWORD count = 0xFFFFFFFF;
    EXPECT_TRUE(read(name, count)) << name;
    return count;
}
DWORD StopRequests(const char* name) { return Count(simpx::GetStopRequests, name); }
DWORD ActiveDependentsAtStop(const char* name) { return Count(simpx::GetActiveDependentsAtStop, name); }

std::vector<DWORD> g_sleeps;
void RecordSleep(DWORD ms) { g_sleeps.push_back(ms); }

class PXService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(simpx::Install(), ERROR_SUCCESS);
        CClock::SetDivisor(1000);
        LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
        LogSetDebugSink(CaptureLine);
        g_pfnPXEnumDependentServices = simpx::EnumPellarixDependentServicesA;
        TakeLines();
    }
    void TearDown() override {
        CClock::SetObserver(nullptr);
        LogSetDebugSink(nullptr);
        LogSetFlags(0);
        EXPECT_EQ(simpx::Uninstall(), ERROR_SUCCESS);
    }

    static simpx::Behaviour StartPending(DWORD pendingMs, bool advancing) {
        simpx::Behaviour b;
        // A wait hint of 200 ms on the fast clock: longer than the service's 20 ms
        // between reports, shorter than a pending time of 600 ms.
        b.startPendingMs = pendingMs;
        b.startWaitHint = 200000;
        b.startCheckPointsAdvance = advancing;
        return b;
    }

    CPXService m_px;
};

TEST_F(PXService, StartOfARunningServiceChangesNothing) {
    ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
    m_px.DoStartSvc();
    EXPECT_THAT(TakeLines(), ElementsAre(kStart + "DEBUG\tCannot start the service because it is already running"));
    EXPECT_EQ(simpx::QueryState(SIMPX_PELLARIX), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(StopRequests(SIMPX_PELLARIX), 0u);
}

TEST_F(PXService, StartWaitsWhileTheCheckPointGrowsAndGivesUpWhenItStays) {
    struct Row {
        const char* what;
        simpx::Behaviour behaviour;
        const char* outcome;
        DWORD stateAfter;
    };
    simpx::Behaviour failing;
    failing.startFails = true;
    const Row rows[] = {
        {"starts at once", StartPending(0, true), "PX Service started successfully.", SERVICE_RUNNING},
        {"pending, check point grows", StartPending(600, true), "PX Service started successfully.", SERVICE_RUNNING},
        {"pending, check point stays", StartPending(600, false), "PX Service not started", SERVICE_START_PENDING},
        {"ends stopped", failing, "PX Service not started", SERVICE_STOPPED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(simpx::StopAll(), ERROR_SUCCESS);
        ASSERT_TRUE(simpx::Configure(SIMPX_PELLARIX, row.behaviour));
        m_px.DoStartSvc();
        EXPECT_THAT(TakeLines(), ElementsAre(kStart + "DEBUG\tService start pending...",
                                             kStart + "DEBUG\t" + row.outcome));
        EXPECT_EQ(simpx::QueryState(SIMPX_PELLARIX), row.stateAfter);
    }
}

TEST_F(PXService, StartOfAStoppingServiceWaitsForTheStopFirst) {
    struct Row {
        const char* what;
        bool advancing;
        std::vector<std::string> lines;
        DWORD stateAfter;
    };
    const Row rows[] = {
        {"check point grows", true,
         {kStart + "DEBUG\tService start pending...", kStart + "DEBUG\tPX Service started successfully."},
         SERVICE_RUNNING},
        {"check point stays", false, {kStart + "DEBUG\tTimeout waiting for service to stop"}, SERVICE_STOP_PENDING},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(simpx::StopAll(), ERROR_SUCCESS);
        simpx::Behaviour b = StartPending(0, true);
        b.stopPendingMs = 600;
        b.stopWaitHint = 200000;
        b.stopCheckPointsAdvance = row.advancing;
        ASSERT_TRUE(simpx::Configure(SIMPX_PELLARIX, b));
        ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
        ASSERT_EQ(simpx::RequestStop(SIMPX_PELLARIX), ERROR_SUCCESS);
        m_px.DoStartSvc();
        EXPECT_EQ(TakeLines(), row.lines);
        EXPECT_EQ(simpx::QueryState(SIMPX_PELLARIX), row.stateAfter);
    }
}

TEST_F(PXService, StartThatTheServiceManagerRefusesIsLogged) {
    ASSERT_TRUE(simpx::SetDisabled(SIMPX_PELLARIX, true));
    m_px.DoStartSvc();
    EXPECT_THAT(TakeLines(), ElementsAre(kStart + "ERROR\tStartService failed"));
}

TEST_F(PXService, MissingServiceIsLoggedByBothOperations) {
    ASSERT_EQ(simpx::Uninstall(), ERROR_SUCCESS);
    m_px.DoStartSvc();
    m_px.DoStopSvc();
    EXPECT_THAT(TakeLines(), ElementsAre(kStart + "ERROR\tOpenService failed", kStop + "ERROR\tOpenService failed"));
    EXPECT_EQ(g_hPXService, nullptr);
    EXPECT_EQ(g_hPXSCManager, nullptr);
}

TEST_F(PXService, StopOfAStoppedServiceStopsNoDependent) {
    // Wine starts a dependent without the service it depends on.
    ASSERT_EQ(simpx::Start(SIMPX_CLIENT), ERROR_SUCCESS);
    m_px.DoStopSvc();
    EXPECT_THAT(TakeLines(), ElementsAre(kStop + "DEBUG\tService is already stopped."));
    EXPECT_EQ(simpx::QueryState(SIMPX_CLIENT), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(StopRequests(SIMPX_CLIENT), 0u);
}

TEST_F(PXService, StopStopsTheActiveDependentFirst) {
    // Slower clock: both real stops must end within the 30000 ms limit.
    CClock::SetDivisor(100);
    ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
    ASSERT_EQ(simpx::Start(SIMPX_CLIENT), ERROR_SUCCESS);
    m_px.DoStopSvc();
    EXPECT_THAT(TakeLines(), ElementsAre(kStop + "DEBUG\tService stopped successfully"));
    EXPECT_EQ(simpx::QueryState(SIMPX_CLIENT), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(simpx::QueryState(SIMPX_PELLARIX), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(StopRequests(SIMPX_CLIENT), 1u);
    EXPECT_EQ(StopRequests(SIMPX_PELLARIX), 1u);
    EXPECT_EQ(ActiveDependentsAtStop(SIMPX_PELLARIX), 0u);
}

TEST_F(PXService, WithoutActiveDependentsStopDependentServicesSucceedsAtOnce) {
    ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);  // the client stays stopped
    g_hPXSCManager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    g_hPXService = ::OpenServiceA(g_hPXSCManager, SIMPX_PELLARIX, SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS);
    ASSERT_NE(g_hPXService, nullptr);
    g_sleeps.clear();
    CClock::SetObserver(RecordSleep);
    EXPECT_EQ(m_px.StopDependentServices(), 1);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(StopRequests(SIMPX_CLIENT), 0u);
    ::CloseServiceHandle(g_hPXService);
    ::CloseServiceHandle(g_hPXSCManager);
    g_hPXService = g_hPXSCManager = nullptr;
}

TEST_F(PXService, DependentThatDoesNotStopFailsStopDependentServicesAfterThirtySeconds) {
    simpx::Behaviour hung;
    hung.stopHangs = true;
    ASSERT_TRUE(simpx::Configure(SIMPX_CLIENT, hung));
    ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
    ASSERT_EQ(simpx::Start(SIMPX_CLIENT), ERROR_SUCCESS);
    g_hPXSCManager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    g_hPXService = ::OpenServiceA(g_hPXSCManager, SIMPX_PELLARIX, SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS);
    ASSERT_NE(g_hPXService, nullptr);
    ULONGLONG before = CClock::TickCount64();
    EXPECT_EQ(m_px.StopDependentServices(), 0);
    EXPECT_GT(CClock::TickCount64() - before, 30000u);
    EXPECT_EQ(simpx::QueryState(SIMPX_CLIENT), static_cast<DWORD>(SERVICE_STOP_PENDING));
    ::CloseServiceHandle(g_hPXService);
    ::CloseServiceHandle(g_hPXSCManager);
    g_hPXService = g_hPXSCManager = nullptr;
}

TEST_F(PXService, StopIsSentEvenWhenADependentDoesNotStop) {
    simpx::Behaviour hung;
    hung.stopHangs = true;
    ASSERT_TRUE(simpx::Configure(SIMPX_CLIENT, hung));
    // The overall limit has passed while the dependent was waited for: the own stop
    // is then seen through only when the first pause after it is long enough.
    simpx::Behaviour slowHint;
    slowHint.stopWaitHint = 100000;
    ASSERT_TRUE(simpx::Configure(SIMPX_PELLARIX, slowHint));
    ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
    ASSERT_EQ(simpx::Start(SIMPX_CLIENT), ERROR_SUCCESS);
    m_px.DoStopSvc();
    // Windows would refuse this stop with ERROR_DEPENDENT_SERVICES_RUNNING; Wine carries it out.
    EXPECT_THAT(TakeLines(), ElementsAre(kStop + "DEBUG\tService stopped successfully"));
    EXPECT_EQ(StopRequests(SIMPX_CLIENT), 1u);
    EXPECT_EQ(StopRequests(SIMPX_PELLARIX), 1u);
    EXPECT_EQ(ActiveDependentsAtStop(SIMPX_PELLARIX), 1u);
}

TEST_F(PXService, StopThatIsRefusedOrNeverEndsIsLogged) {
    struct Row {
        const char* what;
        simpx::Behaviour behaviour;
        std::string line;
    };
    simpx::Behaviour refusing;
    refusing.acceptStop = false;
    simpx::Behaviour hanging;
    hanging.stopHangs = true;
    const Row rows[] = {
        {"stop not accepted", refusing, kStop + "ERROR\tControlService failed"},
        {"stop never ends", hanging, kStop + "DEBUG\tWait timed out"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(simpx::StopAll(), ERROR_SUCCESS);
        ASSERT_TRUE(simpx::Configure(SIMPX_PELLARIX, row.behaviour));
        ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
        m_px.DoStopSvc();
        EXPECT_THAT(TakeLines(), ElementsAre(row.line));
    }
}

TEST_F(PXService, StopOfAStoppingServiceWaitsForItWithinThirtySeconds) {
    // Slower clock: the service's own stop takes real time.
    CClock::SetDivisor(100);
    struct Row {
        const char* what;
        bool hangs;
        std::string outcome;
    };
    const Row rows[] = {
        {"stops within the limit", false, kStop + "DEBUG\tPX Service stopped successfully."},
        {"does not stop", true, kStop + "DEBUG\tPX Service stop timed out."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(simpx::StopAll(), ERROR_SUCCESS);
        simpx::Behaviour b;
        b.stopPendingMs = 100;  // 10000 on this clock
        b.stopHangs = row.hangs;
        ASSERT_TRUE(simpx::Configure(SIMPX_PELLARIX, b));
        ASSERT_EQ(simpx::Start(SIMPX_PELLARIX), ERROR_SUCCESS);
        ASSERT_EQ(simpx::RequestStop(SIMPX_PELLARIX), ERROR_SUCCESS);
        DWORD stopsBefore = StopRequests(SIMPX_PELLARIX);
        m_px.DoStopSvc();
        std::vector<std::string> lines = TakeLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), row.outcome);
        lines.pop_back();
        for (const std::string& line : lines) EXPECT_EQ(line, kStop + "DEBUG\tService stop pending...");
        EXPECT_EQ(StopRequests(SIMPX_PELLARIX), stopsBefore);  // no second stop sent
    }
}

}  // namespace

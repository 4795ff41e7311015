// The service's stop while the Fibocom SAR table is being written: the worker
// finishes the write it has begun, and meanwhile ServiceMain's end tells the
// Service Control Manager, again and again, that the stop is pending.
#include <gtest/gtest.h>

#include "CClock.h"
#include "CService.h"
#include "CTarvoApplication.h"
#include "CWWANFibocom.h"
#include "FiboSarTables.h"
#include "FiboTestSupport.h"
#include "Handles.h"
#include "ServiceStatusCapture.h"

#include <vector>

using namespace fibotest;

namespace {
// The worker's start-up step on a Fibocom modem, the modem's Initialize under
// the worker's own stop, as the policy engine's worker runs it.
class CFiboWorkerApplication : public CTarvoApplication {
public:
    DWORD Run(void* param) override {
        CClock::CThreadStopScope stopScope(m_hStopEvent);
        CWWANFibocom(L"Fibocom L860-GL").Initialize();
        return 0;
    }
};
}  // namespace

TEST(FiboServiceStop, TheStopIsReportedPendingWhileTheClearedTableIsWritten) {
    CDllFolder folder(SimFolder());
    CFiboSim sim(SimFolder());
    ASSERT_TRUE(folder.IsAdded());
    ASSERT_TRUE(sim.IsLoaded());
    sim.Reset();
    for (const std::string& line : ToVector(fibo_sar_cmd_0, 4)) ASSERT_EQ(sim.LoadLine(line.c_str()), 0) << line;
    // The second line is refused three times: three 1 s retries after the 1 s pause.
    sim.SetFault("set_BodySarValue", 3, 1, 3);
    StartCapture();
    CServiceStatusCapture status;
    const std::vector<SERVICE_STATUS>& reports = CServiceStatusCapture::Reports();

    // Fast up to the clear, then the clock's real pace: the write after it takes seconds.
    CClock::SetDivisor(1000);
    CUniqueHandle cleared(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    SetLogHook([&cleared](const std::string& line) {
        if (line == "CFiboTarvoApi::SetBodySarClear\tDEBUG\tBody Sar cleared") {
            CClock::SetDivisor(1);
            ::SetEvent(cleared.Get());
        }
    });
    auto* application = new CFiboWorkerApplication();
    application->Start();
    ASSERT_EQ(::WaitForSingleObject(cleared.Get(), 10000), WAIT_OBJECT_0);

    CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, application);
    CService::StopApplication(application);
    SetLogHook(nullptr);

    // The handler's report, then ServiceMain's end while the write goes on.
    ASSERT_GE(reports.size(), 3u) << "reported while the worker wrote";
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(reports[i].dwCheckPoint, i + 1) << "a check point that rises at every report";
        EXPECT_EQ(reports[i].dwWaitHint, 3000u);
    }
    EXPECT_EQ(sim.AcceptedLines(), ToVector(fibo_sar_cmd_2, 4)) << "the whole new table";
    EXPECT_TRUE(Logged("CFiboTarvoApi::SetSarTableAny", "Set Sar table success."));

    StopCapture();
    CClock::SetDivisor(1);
}

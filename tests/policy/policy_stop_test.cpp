// A stop of the policy engine that lands while its worker sets up the event
// sources: the wireless notification manager must end up with nothing
// registered with the (simulated) modem and nothing of the modem's held;
// the same when an allocation failure ends the manager's start instead. And a
// stop that passes its bound: reported stopped before anything that can wait.
#include "AllocationFailure.h"
#include "CClock.h"
#include "CService.h"
#include "CSimModemControl.h"
#include "Handles.h"
#include "LogCapture.h"
#include "MBSar.h"
#include "Mbn.h"
#include "PolicyFakes.h"
#include "ServiceStatusCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {
// The thread whose next allocation fails, once; 0 for none.
std::atomic<DWORD> g_failNextAllocationOn{0};

bool FailTheNextAllocationOfTheThread(std::size_t) {
    DWORD target = g_failNextAllocationOn.load();
    return target != 0 && target == ::GetCurrentThreadId() && g_failNextAllocationOn.compare_exchange_strong(target, 0);
}
}  // namespace

namespace {
// Stands in front of the simulated modem's interface-manager class and holds
// the n-th creation until released: the worker stays inside the manager's
// Start, before the sinks of that kind are registered.
class CHeldClassFactory : public IClassFactory {
public:
    CHeldClassFactory(IClassFactory* real, int holdAt) : m_real(real), m_holdAt(holdAt) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (++m_calls == m_holdAt) {
            ::SetEvent(m_entered.Get());
            ::WaitForSingleObject(m_release.Get(), 10000);
        }
        return m_real->CreateInstance(outer, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return m_real->LockServer(lock); }

    bool WaitEntered(DWORD ms) { return ::WaitForSingleObject(m_entered.Get(), ms) == WAIT_OBJECT_0; }
    void Open() { ::SetEvent(m_release.Get()); }

private:
    IClassFactory* m_real;
    int m_holdAt;
    std::atomic<int> m_calls{0};
    CUniqueHandle m_entered{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle m_release{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

struct StopCase {
    const char* name;
    int holdAt;  // 0: the stop comes before the worker reaches AttachWatchers
    // Instead of a stop while held: the worker's next allocation fails once it
    // goes on (the sink of that kind), and the stop comes after.
    bool allocationFails = false;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopDuringAttach : public ::testing::TestWithParam<StopCase> {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(CSimModemControl::Register());
        ASSERT_TRUE(sim.Load());
        simmodem::StartState state;
        state.interfaces = {simmodem::InterfaceSpec::Qualcomm()};
        ASSERT_TRUE(sim.Reset(state));
        g_modem.reset();  // the default modem looked up at program start holds a manager of its own
        ASSERT_EQ(LiveManagers(), 0u);
        ASSERT_EQ(::CoGetClassObject(CLSID_MbnInterfaceManager, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(real.GetAddressOf())),
                  S_OK);
        held.reset(new CHeldClassFactory(real.Get(), GetParam().holdAt));
        ASSERT_EQ(::CoRegisterClassObject(CLSID_MbnInterfaceManager, held.get(), CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
    }
    void TearDown() override {
        if (cookie) ::CoRevokeClassObject(cookie);
    }
    uint32_t Advised() {
        return sim.AdvisedCount(SIMMODEM_SINK_RADIO) + sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER) +
               sim.AdvisedCount(SIMMODEM_SINK_REGISTRATION);
    }
    // Interface managers still alive: each connection point held keeps its manager.
    uint32_t LiveManagers() { return sim.ObjectCount(SIMMODEM_OBJECT_INTERFACE_MANAGER); }

    CSimModemControl sim;
    Microsoft::WRL::ComPtr<IClassFactory> real;
    std::unique_ptr<CHeldClassFactory> held;
    DWORD cookie = 0;
};
}  // namespace

TEST_P(StopDuringAttach, LeavesNothingRegisteredAndNothingHeld) {
    auto application = std::make_unique<CTestApplication>();
    application->WithModem();
    // The worker's step: the watchers and the wireless notification manager.
    auto attach = [&] { application->AttachWatchers(); };

    if (GetParam().allocationFails) {
        std::atomic<DWORD> workerId{0};
        bool threw = false;
        std::thread worker([&] {
            workerId = ::GetCurrentThreadId();
            try {
                attach();
            } catch (const std::bad_alloc&) {
                threw = true;  // the worker's body logs it and ends
            }
        });
        ASSERT_TRUE(held->WaitEntered(5000));
        testalloc::SetRule(&FailTheNextAllocationOfTheThread);
        g_failNextAllocationOn = workerId.load();
        held->Open();
        worker.join();
        EXPECT_TRUE(threw);
        EXPECT_EQ(g_failNextAllocationOn.load(), 0u) << "the sink's allocation failed";
        application->Stop();
    } else if (GetParam().holdAt == 0) {
        // Past the worker's last look at the stop request, before AttachWatchers.
        application->Stop();
        std::thread worker(attach);
        worker.join();
    } else {
        std::thread worker(attach);
        EXPECT_TRUE(held->WaitEntered(5000)) << "the worker is inside the manager's Start";
        DWORD start = ::GetTickCount();
        application->Stop();
        EXPECT_LT(::GetTickCount() - start, 1000u) << "the stop does not wait for the sinks' registration";
        held->Open();
        worker.join();
    }
    EXPECT_EQ(Advised(), 0u) << "once the stop and the worker's step have returned";
    EXPECT_EQ(LiveManagers(), 0u);

    application.reset();
    EXPECT_EQ(Advised(), 0u);
    EXPECT_EQ(LiveManagers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, StopDuringAttach,
                         ::testing::Values(StopCase{"StopBeforeAttach", 0}, StopCase{"StopWhileTheFirstKindRegisters", 1},
                                           StopCase{"StopAfterTheFirstKindRegistered", 2},
                                           StopCase{"AllocationFailureAfterTheFirstKindRegistered", 2, true}),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

namespace {
// A worker in a step that its stop does not end (a SAR table it has begun to
// write), until the test lets it go; the events outlive the application,
// which the stop deletes once the worker has ended.
CUniqueHandle g_workerEntered{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
CUniqueHandle g_workerRelease{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};

class CHeldWorkerApplication : public CTestApplication {
public:
    DWORD Run(void*) override {
        ::SetEvent(g_workerEntered.Get());
        ::WaitForSingleObject(g_workerRelease.Get(), 30000);
        return 0;
    }
};

// The stop's line past its bound, held as a line is held when the log waits:
// whether SERVICE_STOPPED was reported before it.
CUniqueHandle g_lineHeld{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
CUniqueHandle g_lineRelease{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
std::atomic<bool> g_stoppedBeforeTheLine{false};

void HoldTheStopLine(const char* text) {
    if (!std::strstr(text, "Stop not ended")) return;
    for (const SERVICE_STATUS& report : CServiceStatusCapture::Copy())
        if (report.dwCurrentState == SERVICE_STOPPED) g_stoppedBeforeTheLine = true;
    ::SetEvent(g_lineHeld.Get());
    ::WaitForSingleObject(g_lineRelease.Get(), 10000);
}
}  // namespace

// The stop passes its bound while the worker keeps to its step: SERVICE_STOPPED
// is reported before anything that can wait, the line that says so after it,
// and the application is deleted once the worker has left its step.
TEST(StopPastItsBound, IsReportedStoppedBeforeItsLine) {
    CClock::SetDivisor(1000);  // the stop's bound: its floor of 2 s
    CServiceStatusCapture status;
    CLogCapture capture;
    CLogCapture::SetLineHook(&HoldTheStopLine);
    auto* application = new CHeldWorkerApplication();
    application->Start();
    ASSERT_EQ(::WaitForSingleObject(g_workerEntered.Get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, application), static_cast<DWORD>(NO_ERROR));

    std::thread serviceMain([&] { CService::FinishStop(application); });
    const bool held = ::WaitForSingleObject(g_lineHeld.Get(), 10000) == WAIT_OBJECT_0;
    EXPECT_TRUE(held) << "the line past the bound";
    EXPECT_TRUE(g_stoppedBeforeTheLine.load());
    const std::vector<SERVICE_STATUS> reports = CServiceStatusCapture::Copy();
    ::SetEvent(g_lineRelease.Get());
    serviceMain.join();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "while the line waits";
    EXPECT_TRUE(CLogCapture::Has("CService::FinishStop\tERROR\tStop not ended after 120 s, the service stops without it"));

    EXPECT_TRUE(CService::IsStopUnfinished());
    ::SetEvent(g_workerRelease.Get());
    EXPECT_TRUE(testsupport::WaitUntil([] { return !CService::IsStopUnfinished(); }, std::chrono::milliseconds(5000)));
    CLogCapture::SetLineHook(nullptr);
    CClock::SetDivisor(1);
}

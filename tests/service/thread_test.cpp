#include "CThread.h"
#include "CWatchService.h"
#include "IObsvrPSensor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {
class CBlockingThread : public CThread {
public:
    std::atomic<int> runs{0};
    std::atomic<int> exits{0};
    DWORD Run(void* param) override {
        ++runs;
        WaitForSingleObject(m_hStopEvent, INFINITE);
        return 42;
    }
    void OnThreadExit() override { ++exits; }
    HANDLE Thread() const { return m_hThread; }
    HANDLE StopEvent() const { return m_hStopEvent; }
    DWORD ExitCode() const { return m_dwExitCode; }
};

class CRecorder : public IObsvrPSensor {
public:
    std::vector<int> states;
    void NotifyState(int state) override { states.push_back(state); }
};

class CTestSource : public CWatchService<IObsvrPSensor> {
public:
    void Notify(int state) {
        ForEachObserver([state](IObsvrPSensor* observer) { observer->NotifyState(state); });
    }
    size_t Count() const { return m_observers.size(); }
};
}  // namespace

TEST(Thread, ExitCodeIsAlwaysStillActive) {
    CBlockingThread thread;
    EXPECT_EQ(thread.ExitCode(), 0u);
    ASSERT_EQ(thread.Start(nullptr), 0u);
    EXPECT_EQ(thread.ExitCode(), 0xFFFFFFFFu);
    // Without waiting, a running thread reads 259.
    EXPECT_EQ(thread.Stop(false), static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_EQ(WaitForSingleObject(thread.Thread(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.runs, 1);
    EXPECT_EQ(thread.exits, 1);
    // Ended, the thread still reads 259, and the wait returns at once.
    DWORD start = GetTickCount();
    EXPECT_EQ(thread.Stop(true), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_LT(GetTickCount() - start, 250u);
}

TEST(Thread, StopWithoutThreadSetsTheEventAndReturnsZero) {
    CBlockingThread thread;
    EXPECT_EQ(thread.Stop(true), 0u);
    EXPECT_EQ(WaitForSingleObject(thread.StopEvent(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(thread.IsStopRequested());
    // The stop event stays set: a later Start runs a thread that ends at once.
    ASSERT_EQ(thread.Start(nullptr), 0u);
    ASSERT_EQ(WaitForSingleObject(thread.Thread(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.runs, 1);
    EXPECT_EQ(CThread::GetParam(nullptr), nullptr);
}

TEST(Thread, StopWithWaitIsBounded) {
    class CStubborn : public CThread {
    public:
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ~CStubborn() { CloseHandle(release); }
        DWORD Run(void*) override {
            WaitForSingleObject(release, INFINITE);
            return 0;
        }
    } thread;
    ASSERT_EQ(thread.Start(&thread), 0u);
    EXPECT_EQ(CThread::GetParam(&thread), &thread);
    DWORD start = GetTickCount();
    EXPECT_EQ(thread.Stop(true), static_cast<DWORD>(STILL_ACTIVE));
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 250u);
    EXPECT_LT(waited, 2000u);
    SetEvent(thread.release);
    WaitForSingleObject(thread.GetThreadHandle(), 5000);
}

TEST(WatchService, AttachDetachAndNotifyOrder) {
    CTestSource source;
    CRecorder a;
    CRecorder b;
    source.Attach(nullptr);
    EXPECT_EQ(source.Count(), 0u);
    source.Attach(&a);
    source.Attach(&b);
    source.Attach(&a);
    source.Notify(1);
    EXPECT_EQ(a.states, (std::vector<int>{1, 1})) << "listed twice, notified twice";
    EXPECT_EQ(b.states, (std::vector<int>{1}));
    source.Detach(&a);
    source.Notify(2);
    EXPECT_EQ(a.states, (std::vector<int>{1, 1, 2})) << "one Detach removes one entry";
    CRecorder stranger;
    source.Detach(&stranger);
    EXPECT_EQ(source.Count(), 2u);
}

TEST(WatchService, StartAndStopOnlyChangeState) {
    CTestSource source;
    CRecorder a;
    source.Attach(&a);
    source.Stop();
    EXPECT_EQ(source.Count(), 1u) << "Stop on a stopped source does nothing";
    source.Start();
    EXPECT_TRUE(source.IsRunning());
    source.Start();
    EXPECT_TRUE(source.IsRunning());
    EXPECT_EQ(source.Count(), 1u);
    source.StopWait(true);
    EXPECT_FALSE(source.IsRunning());
    EXPECT_EQ(source.Count(), 0u) << "a stop clears the observers";
}

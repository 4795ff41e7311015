// The binding's creation when memory runs out. The test program replaces the
// global allocation functions so that the binding's own allocation fails once,
// on one thread: no exception reaches the caller, the creation mutex is given
// back, and a later call creates the binding. And when another program took the
// creation mutex's name first: the binding is made all the same.
#include <gtest/gtest.h>

#include "CFiboTarvoApi.h"
#include "FiboTestSupport.h"
#include "AllocationFailure.h"
#include "Handles.h"

#include "CClock.h"

#include <chrono>
#include <new>
#include <string>
#include <thread>

namespace {
thread_local bool t_failBindingAllocation = false;

bool FailTheBindingOnce(std::size_t size) {
    if (!t_failBindingAllocation || size != sizeof(CFiboTarvoApi)) return false;
    t_failBindingAllocation = false;
    return true;
}
}  // namespace

TEST(FiboInstance, AllocationFailureLeavesNoBindingAndGivesTheMutexBack) {
    fibotest::StartCapture();
    testalloc::SetRule(&FailTheBindingOnce);
    // A handle of the test's own keeps the named mutex alive after GetInstance
    // closes its handle: an owner that never gave it back shows as abandoned.
    CUniqueHandle mutex(::CreateMutexA(nullptr, FALSE, "FiboTarvoApiCreateMutex"));
    ASSERT_TRUE(mutex.IsValid());

    CFiboTarvoApi* failed = reinterpret_cast<CFiboTarvoApi*>(&mutex);
    bool threw = false;
    std::thread caller([&] {
        t_failBindingAllocation = true;
        try {
            failed = CFiboTarvoApi::GetInstance();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        t_failBindingAllocation = false;
    });
    caller.join();
    EXPECT_FALSE(threw);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(fibotest::CountLogged("CFiboTarvoApi::GetInstance", "Fibocom Instance allocation failed"), 1);
    EXPECT_FALSE(fibotest::Logged("CFiboTarvoApi::GetInstance", "New Fibocom Instance"));
    EXPECT_EQ(::WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0) << "given back, not abandoned";
    ::ReleaseMutex(mutex.Get());

    CFiboTarvoApi* created = CFiboTarvoApi::GetInstance();
    EXPECT_NE(created, nullptr);
    EXPECT_EQ(CFiboTarvoApi::GetInstance(), created);
    EXPECT_EQ(fibotest::CountLogged("CFiboTarvoApi::GetInstance", "New Fibocom Instance"), 1);
    fibotest::StopCapture();
}

namespace {
struct Taken {
    const char* name;
    bool mutex;  // a mutex that another thread holds, else an event of the name
    const char* line;
};
void PrintTo(const Taken& c, std::ostream* out) { *out << c.name; }

class FiboCreationName : public ::testing::TestWithParam<Taken> {};
}  // namespace

// Another program made "FiboTarvoApiCreateMutex" first and keeps it: an event
// of the name, which no one can wait on as a mutex, or a mutex it holds, which
// is waited on for the bound (its floor of 2 s at this clock). Either way the
// binding is made, with one line, and a later call finds it.
TEST_P(FiboCreationName, TakenByAnotherProgramTheBindingIsMadeAllTheSame) {
    const Taken& c = GetParam();
    fibotest::StartCapture();
    CClock::SetDivisor(1000);
    CUniqueHandle taken;
    CUniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread holder;
    if (c.mutex) {
        CUniqueHandle held(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        holder = std::thread([&] {
            CUniqueHandle mutex(::CreateMutexA(nullptr, TRUE, "FiboTarvoApiCreateMutex"));
            ::SetEvent(held.Get());
            ::WaitForSingleObject(release.Get(), 20000);
            ::ReleaseMutex(mutex.Get());
        });
        ASSERT_EQ(::WaitForSingleObject(held.Get(), 5000), WAIT_OBJECT_0);
    } else {
        taken.Reset(::CreateEventA(nullptr, TRUE, FALSE, "FiboTarvoApiCreateMutex"));
        ASSERT_TRUE(taken.IsValid());
    }

    const auto start = std::chrono::steady_clock::now();
    CFiboTarvoApi* made = CFiboTarvoApi::GetInstance();
    const auto took = std::chrono::steady_clock::now() - start;
    ::SetEvent(release.Get());
    if (holder.joinable()) holder.join();
    EXPECT_NE(made, nullptr);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(fibotest::CountLogged("CFiboTarvoApi::GetInstance", c.line), 1);
    EXPECT_EQ(fibotest::CountLogged("CFiboTarvoApi::GetInstance", "New Fibocom Instance"), 1);
    EXPECT_EQ(CFiboTarvoApi::GetInstance(), made);
    EXPECT_EQ(fibotest::CountLogged("CFiboTarvoApi::GetInstance", "New Fibocom Instance"), 1);
    CClock::SetDivisor(1);
    fibotest::StopCapture();
}

INSTANTIATE_TEST_SUITE_P(
    Taken, FiboCreationName,
    ::testing::Values(Taken{"AnEvent", false, "FiboTarvoApiCreateMutex can be neither created nor opened, error 6, created without it"},
                      Taken{"AHeldMutex", true, "FiboTarvoApiCreateMutex not given within 10000 ms, created without it"}),
    [](const ::testing::TestParamInfo<Taken>& info) { return std::string(info.param.name); });

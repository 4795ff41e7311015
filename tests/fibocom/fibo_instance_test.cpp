// The binding's creation when memory runs out. The test program replaces the
// global allocation functions so that the binding's own allocation fails once,
// on one thread: no exception reaches the caller, the creation mutex is given
// back, and a later call creates the binding.
#include <gtest/gtest.h>

#include "CFiboTarvoApi.h"
#include "FiboTestSupport.h"
#include "AllocationFailure.h"
#include "Handles.h"

#include <new>
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

// The binding's creation under its named mutex. When memory runs out inside
// it (the test program replaces the global allocation functions so that, on one
// thread, the first allocation after the binding's own fails), the creation
// throws between the wait on "NuvikTarvoApiCreateMutex" and its release: the
// mutex must still be given back, and a later call must create the binding.
// When another account made the mutex, it is not waited on at all, and the
// binding is made without it.
#include <gtest/gtest.h>

#include "AllocationFailure.h"
#include "CNuvikTarvoApi.h"
#include "Handles.h"
#include "Logger.h"

#include <sddl.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {
// Set on the creating thread: the binding's allocation arms the failure of the next one.
thread_local bool t_failAfterBinding = false;
thread_local bool t_failNext = false;

bool FailTheAllocationAfterTheBinding(std::size_t size) {
    if (t_failNext) {
        t_failNext = false;
        return true;
    }
    if (t_failAfterBinding && size == sizeof(CNuvikTarvoApi)) {
        t_failAfterBinding = false;
        t_failNext = true;
    }
    return false;
}

std::mutex g_linesLock;
std::vector<std::string> g_lines;

void CaptureLine(const char* text) {
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.emplace_back(text);
}

int CountLines(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_linesLock);
    int count = 0;
    for (const std::string& line : g_lines)
        if (line == text) ++count;
    return count;
}
}  // namespace

TEST(NuvikInstance, AllocationFailureInsideTheCreationGivesTheMutexBack) {
    testalloc::SetRule(&FailTheAllocationAfterTheBinding);
    LogSetDebugSink(&CaptureLine);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
    // A handle of the test's own keeps the named mutex alive after the creating
    // thread ends: an owner that never gave it back shows as abandoned.
    CUniqueHandle mutex(::CreateMutexA(nullptr, FALSE, "NuvikTarvoApiCreateMutex"));
    ASSERT_TRUE(mutex.IsValid());

    CNuvikTarvoApi* failed = nullptr;
    bool threw = false;
    std::thread caller([&] {
        t_failAfterBinding = true;
        try {
            failed = CNuvikTarvoApi::GetInstance();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        t_failAfterBinding = false;
        t_failNext = false;
    });
    caller.join();
    // The failure is not ours to hide: it reaches the caller, with no binding stored.
    EXPECT_TRUE(threw);
    EXPECT_EQ(failed, nullptr);
    const DWORD wait = ::WaitForSingleObject(mutex.Get(), 0);
    EXPECT_EQ(wait, WAIT_OBJECT_0) << "given back, not abandoned (" << WAIT_ABANDONED << ")";
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(mutex.Get());

    CNuvikTarvoApi* created = CNuvikTarvoApi::GetInstance();
    EXPECT_NE(created, nullptr);
    EXPECT_EQ(CNuvikTarvoApi::GetInstance(), created);
    EXPECT_EQ(CountLines("CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance"), 1);
    EXPECT_EQ(::WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0);
    ::ReleaseMutex(mutex.Get());
    LogSetFlags(0);
    LogSetDebugSink(nullptr);
}

// A creation mutex that another account made and keeps: not waited on, and
// the binding is made all the same, with one line; a later call finds it.
TEST(NuvikInstance, ACreationMutexOfAnotherOwnerIsNotWaitedOnAndTheBindingIsMadeAllTheSame) {
    LogSetDebugSink(&CaptureLine);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
    CUniqueLocal descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     descriptor.Put(), nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    // Made and held by this thread: a caller that waited would wait out its bound.
    CUniqueHandle mutex(::CreateMutexA(&attributes, TRUE, "NuvikTarvoApiCreateMutex"));
    if (!mutex) GTEST_SKIP() << "this system gives an object no other owner, error " << GetLastError();

    CNuvikTarvoApi* made = nullptr;
    const auto start = std::chrono::steady_clock::now();
    std::thread caller([&] { made = CNuvikTarvoApi::GetInstance(); });
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(CountLines("CNuvikTarvoApi::GetInstance\tDEBUG\tNuvikTarvoApiCreateMutex exists with the owner "
                         "S-1-5-32-545, not waited on, created without it"),
              1);
    EXPECT_EQ(CountLines("CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance"), 1);
    EXPECT_EQ(CNuvikTarvoApi::GetInstance(), made);
    EXPECT_EQ(CountLines("CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance"), 1);
    ::ReleaseMutex(mutex.Get());
    LogSetFlags(0);
    LogSetDebugSink(nullptr);
}

// A call that may deadlock, run with a bound. A deadlocked library cannot be
// torn down: when the bound passes, the test fails and its process ends there.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace kessatest {

inline void EndAsDeadlocked(const std::string& what, std::chrono::milliseconds bound) {
    ADD_FAILURE() << what << " did not end within " << bound.count() << " ms: deadlock";
    std::fflush(stdout);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
}

// Runs body on a thread of its own and waits for it at most bound.
inline void RunBounded(const std::string& what, std::chrono::milliseconds bound, std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread runner([body, done] {
        body();
        done->set_value();
    });
    if (finished.wait_for(bound) != std::future_status::ready) {
        runner.detach();
        EndAsDeadlocked(what, bound);
    }
    // Joined, not left to finish on its own: a thread still ending while the
    // process exits can make the exit code of a passed test non-zero.
    runner.join();
}

// Polls pred every 2 ms until it holds; a bound that passes first ends the test as deadlocked.
inline void AwaitBounded(const std::string& what, std::chrono::milliseconds bound, const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) EndAsDeadlocked(what, bound);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace kessatest

// The simulator's delivery threads. Every completion, notification, removal
// and arrival is a task posted here with a delay and run on the primary
// thread, never on the caller's. When a task has not returned after the
// hand-over time (a client blocked in its sink waiting for another
// completion), the next due tasks run on a standby thread instead, as the
// platform's callback thread pool would do; with hand-over 0 there is only
// ever the primary thread.
//
// The threads live for the whole process (the DLL is never unloaded) and join
// the multithreaded apartment, as the platform's callback threads do.
#pragma once

#include <windows.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

class CSimScheduler {
public:
    using Task = std::function<void()>;

    CSimScheduler() = default;
    CSimScheduler(const CSimScheduler&) = delete;
    CSimScheduler& operator=(const CSimScheduler&) = delete;

    // Starts the primary and standby threads; returns once they run.
    void Start(size_t threadCount);
    void Post(uint32_t delayMs, Task task);
    void SetHandOver(uint32_t ms);
    // True once nothing is queued or running; false after the time-out, and at
    // once on a delivery thread (it would wait for itself).
    bool WaitIdle(uint32_t timeoutMs);
    DWORD PrimaryThreadId() const;
    bool IsDeliveryThread(DWORD threadId) const;

private:
    using Clock = std::chrono::steady_clock;
    void Run(size_t index);
    // With the lock held: may thread index take a due task now? Else the moment to look again.
    bool MayRun(size_t index, Clock::time_point now, Clock::time_point& recheck) const;

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::multimap<std::pair<Clock::time_point, uint64_t>, Task> m_queue;
    uint64_t m_nextSequence = 0;
    uint32_t m_handOverMs = 100;
    std::vector<DWORD> m_threadIds;
    std::vector<bool> m_active;
    std::vector<Clock::time_point> m_startedAt;
    size_t m_running = 0;
};

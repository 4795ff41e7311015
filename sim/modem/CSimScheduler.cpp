#include "CSimScheduler.h"

#include <objbase.h>
#include <thread>

void CSimScheduler::Start(size_t threadCount) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_threadIds.empty() || threadCount == 0) return;
    m_threadIds.assign(threadCount, 0);
    m_active.assign(threadCount, false);
    m_startedAt.assign(threadCount, Clock::time_point());
    for (size_t i = 0; i < threadCount; ++i) std::thread([this, i] { Run(i); }).detach();
    m_idle.wait(lock, [this] {
        for (DWORD id : m_threadIds)
            if (id == 0) return false;
        return true;
    });
}

void CSimScheduler::Post(uint32_t delayMs, Task task) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_queue.emplace(std::make_pair(Clock::now() + std::chrono::milliseconds(delayMs), m_nextSequence++),
                    std::move(task));
    m_wake.notify_all();
}

void CSimScheduler::SetHandOver(uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_handOverMs = ms;
    m_wake.notify_all();
}

bool CSimScheduler::WaitIdle(uint32_t timeoutMs) {
    if (IsDeliveryThread(::GetCurrentThreadId())) return false;
    std::unique_lock<std::mutex> lock(m_lock);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_queue.empty() && m_running == 0; });
}

DWORD CSimScheduler::PrimaryThreadId() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_threadIds.empty() ? 0 : m_threadIds[0];
}

bool CSimScheduler::IsDeliveryThread(DWORD threadId) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (DWORD id : m_threadIds)
        if (id == threadId && id != 0) return true;
    return false;
}

bool CSimScheduler::MayRun(size_t index, Clock::time_point now, Clock::time_point& recheck) const {
    // Idle: the primary delivers. Busy: a thread may step in only while every
    // running task has been stuck for the hand-over time.
    if (m_running == 0) return index == 0;
    if (m_handOverMs == 0) return false;
    Clock::time_point stuckAt = Clock::time_point::min();
    for (size_t i = 0; i < m_active.size(); ++i) {
        if (!m_active[i]) continue;
        Clock::time_point t = m_startedAt[i] + std::chrono::milliseconds(m_handOverMs);
        if (t > stuckAt) stuckAt = t;
    }
    if (stuckAt <= now) return true;
    recheck = stuckAt;
    return false;
}

void CSimScheduler::Run(size_t index) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_threadIds[index] = ::GetCurrentThreadId();
        m_idle.notify_all();
    }
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // joined before this thread takes its first task
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point due = m_queue.begin()->first.first;
        if (due > now) {
            m_wake.wait_until(lock, due);
            continue;
        }
        Clock::time_point recheck = Clock::time_point::max();
        if (!MayRun(index, now, recheck)) {
            if (recheck == Clock::time_point::max()) m_wake.wait(lock);
            else m_wake.wait_until(lock, recheck);
            continue;
        }
        Task task = std::move(m_queue.begin()->second);
        m_queue.erase(m_queue.begin());
        m_active[index] = true;
        m_startedAt[index] = now;
        ++m_running;
        lock.unlock();
        task();
        task = nullptr;  // what the task captured goes before the next one runs
        lock.lock();
        m_active[index] = false;
        --m_running;
        m_wake.notify_all();
        if (m_queue.empty() && m_running == 0) m_idle.notify_all();
    }
}

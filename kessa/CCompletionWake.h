// One wake of a caller that waits for an asynchronous completion. Each signal
// is counted: a caller takes a ticket before it sends its command, and its
// wait ends as soon as a signal came after the ticket, also one that came
// before the wait began; a wake-up without a new signal keeps it waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CCompletionWake {
public:
    using Ticket = uint64_t;

    // Taken before the command goes out: signals up to now do not count for it.
    Ticket Arm() const;
    // Counts `times` signals and wakes every waiter (0 does nothing).
    void Signal(uint32_t times = 1);
    // True when a signal came after the ticket, false when the time-out passed first.
    bool WaitSince(Ticket ticket, std::chrono::milliseconds timeout) const;
    // Signals so far.
    uint64_t SignalCount() const;
    // Wakes every waiter without a signal, as a spurious wake-up would; each
    // re-tests its ticket and keeps waiting.
    void Disturb();

private:
    mutable std::mutex m_csWake;
    mutable std::condition_variable m_cvWake;
    uint64_t m_qwSignals = 0;
};

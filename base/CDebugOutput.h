// The debugger output, sent after the log lock is left and in the lines' order.
// OutputDebugStringA waits on the debug viewers' objects: without end for their
// mutex, up to 10 s for a viewer to take the last text. A viewer that stops
// taking texts would hold every line, and every thread that logs, under the
// log lock; here it holds the one thread that sends, and the others queue.
#pragma once

#include <deque>
#include <mutex>
#include <string>

class CDebugOutput {
public:
    using SendFn = void (*)(const char* text);
    // At most maxQueued texts wait; beyond that they are dropped and counted,
    // and the count is sent once sending goes on.
    CDebugOutput(SendFn send, size_t maxQueued);
    CDebugOutput(const CDebugOutput&) = delete;
    CDebugOutput& operator=(const CDebugOutput&) = delete;

    // Under the log lock, so the texts keep the lines' order.
    void Queue(const char* text);
    // Outside the log lock: sends what waits, unless another thread is sending
    // already, which then sends it too.
    void Send();

private:
    SendFn m_pfnSend;
    size_t m_maxQueued;
    std::mutex m_lock;
    std::deque<std::string> m_queue;
    size_t m_dropped = 0;
    bool m_sending = false;
};

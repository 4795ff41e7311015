// The debugger output, sent by a thread of its own in the lines' order.
// OutputDebugStringA waits on the debug viewers' objects: without end for their
// mutex, up to 10 s for a viewer to take the last text. A viewer that stops
// taking texts holds that thread alone: a thread that logs only queues its
// text, and never waits for a send, whatever locks it holds.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

class CDebugOutput {
public:
    using SendFn = void (*)(const char* text);
    // At most maxQueued texts wait; beyond that they are dropped and counted,
    // and the count is sent once there is room again.
    CDebugOutput(SendFn send, size_t maxQueued);
    // Not for an object whose thread may still send: see Finish.
    ~CDebugOutput();
    CDebugOutput(const CDebugOutput&) = delete;
    CDebugOutput& operator=(const CDebugOutput&) = delete;

    // Under the log lock, so the texts keep the lines' order. Starts the
    // sending thread with the first text.
    void Queue(const char* text);
    // Where the thread sends from the next text on; null sends nothing.
    void SetSend(SendFn send);
    // The end of the process's output: the thread sends what waits and ends;
    // waits for that at most ms (real). True once the thread has ended (or never
    // ran); a text queued after this is dropped.
    bool Finish(DWORD ms);

private:
    static DWORD WINAPI ThreadProc(void* object);
    void SendQueued();
    // Under m_lock.
    bool StartThread();

    std::atomic<SendFn> m_pfnSend;
    size_t m_maxQueued;
    std::mutex m_lock;
    std::deque<std::string> m_queue;
    size_t m_dropped = 0;
    bool m_bFinishing = false;
    HANDLE m_hWake;  // auto-reset: a text is queued, or the end has come
    HANDLE m_hThread = nullptr;
};

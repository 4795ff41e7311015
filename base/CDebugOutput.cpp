#include "CDebugOutput.h"

#include <exception>

CDebugOutput::CDebugOutput(SendFn send, size_t maxQueued) : m_pfnSend(send), m_maxQueued(maxQueued) {}

void CDebugOutput::Queue(const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    // Out of memory the text is lost like one beyond the bound: a line never throws for it.
    try {
        if (m_queue.size() >= m_maxQueued) {
            ++m_dropped;
            return;
        }
        if (m_dropped != 0) {
            m_queue.push_back("CDebugOutput::Queue\tERROR\t" + std::to_string(m_dropped) +
                              " lines were not sent to the debugger output");
            m_dropped = 0;
        }
        m_queue.emplace_back(text ? text : "");
    } catch (const std::exception&) {
        ++m_dropped;
    }
}

void CDebugOutput::Send() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_sending) return;
        m_sending = true;
    }
    for (;;) {
        std::string text;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            // What another thread queues before this is seen is sent here; after it, by that thread.
            if (m_queue.empty()) {
                m_sending = false;
                return;
            }
            // Moved out, never copied: nothing here allocates.
            text.swap(m_queue.front());
            m_queue.pop_front();
        }
        m_pfnSend(text.c_str());
    }
}

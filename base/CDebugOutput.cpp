#include "CDebugOutput.h"

#include <exception>

CDebugOutput::CDebugOutput(SendFn send, size_t maxQueued)
    : m_pfnSend(send), m_maxQueued(maxQueued), m_hWake(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

CDebugOutput::~CDebugOutput() {
    Finish(INFINITE);
    if (m_hThread) ::CloseHandle(m_hThread);
    if (m_hWake) ::CloseHandle(m_hWake);
}

void CDebugOutput::Queue(const char* text) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // Out of memory the text is lost like one beyond the bound: a line never throws for it.
        try {
            if (m_bFinishing || m_queue.size() >= m_maxQueued) {
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
            return;
        }
        // Without a thread the texts wait, within the bound, for one that starts with a later text.
        if (!StartThread()) return;
    }
    ::SetEvent(m_hWake);
}

void CDebugOutput::SetSend(SendFn send) { m_pfnSend.store(send); }

bool CDebugOutput::Finish(DWORD ms) {
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bFinishing = true;
        thread = m_hThread;
    }
    if (!thread) return true;
    ::SetEvent(m_hWake);
    return ::WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
}

bool CDebugOutput::StartThread() {
    if (m_hThread) return true;
    if (!m_hWake) return false;
    m_hThread = ::CreateThread(nullptr, 0, &CDebugOutput::ThreadProc, this, 0, nullptr);
    return m_hThread != nullptr;
}

DWORD WINAPI CDebugOutput::ThreadProc(void* object) {
    CDebugOutput* output = static_cast<CDebugOutput*>(object);
    for (;;) {
        ::WaitForSingleObject(output->m_hWake, INFINITE);
        output->SendQueued();
        std::lock_guard<std::mutex> guard(output->m_lock);
        if (output->m_bFinishing && output->m_queue.empty()) return 0;
    }
}

void CDebugOutput::SendQueued() {
    for (;;) {
        std::string text;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_queue.empty()) return;
            // Moved out, never copied: nothing here allocates.
            text.swap(m_queue.front());
            m_queue.pop_front();
        }
        if (SendFn send = m_pfnSend.load()) send(text.c_str());
    }
}

#include "SarDeviceContext.h"

#include "KessaTrace.h"

#include <cstdlib>
#include <cstring>
#include <new>

void SarDeviceContext::FreeBuffer::operator()(uint8_t* p) const { std::free(p); }

std::shared_ptr<SarDeviceContext> SarDeviceContext::Create() {
    std::unique_ptr<SarDeviceContext> context(new (std::nothrow) SarDeviceContext());
    if (!context) return nullptr;
    // calloc: the system hands out large blocks already zeroed, page by page as they are used.
    context->m_pFrameBuffer.reset(static_cast<uint8_t*>(std::calloc(kBufferSize, 1)));
    context->m_pAccumBuffer.reset(static_cast<uint8_t*>(std::calloc(kBufferSize, 1)));
    if (!context->m_pFrameBuffer || !context->m_pAccumBuffer) return nullptr;
    return std::shared_ptr<SarDeviceContext>(context.release());
}

void SarDeviceContext::ClearAccumulation() {
    std::memset(m_pAccumBuffer.get(), 0, m_dwAccumLength);
    m_dwAccumLength = 0;
}

void SarDeviceContext::ClearFrame() {
    std::memset(m_pFrameBuffer.get(), 0, m_dwFrameLength);
    m_dwFrameLength = 0;
}

bool SarDeviceContext::QueueFrameForCallback(const uint8_t* frame, uint32_t length) {
    if (m_pfnCallback == nullptr || m_pCallbackUser == nullptr) return false;
    try {
        std::lock_guard<std::mutex> guard(m_csPendingFrames);
        m_pendingFrames.emplace_back(frame, frame + length);
    } catch (const std::bad_alloc&) {
        KessaPrint("SarDeviceContext::QueueFrameForCallback no memory for a frame of %u bytes\n",
                   static_cast<unsigned>(length));
        return false;
    }
    return true;
}

void SarDeviceContext::DeliverQueuedFrames() {
    std::unique_lock<std::mutex> pending(m_csPendingFrames);
    if (m_bDeliveringFrames) return;
    m_bDeliveringFrames = true;
    try {
        while (!m_pendingFrames.empty()) {
            std::vector<uint8_t> frame = std::move(m_pendingFrames.front());
            m_pendingFrames.pop_front();
            pending.unlock();
            {
                // Read again here: a callback cleared after the frame was queued is not called.
                std::lock_guard<std::recursive_mutex> guard(m_csCallback);
                SarValueCallback callback = m_pfnCallback;
                void* user = m_pCallbackUser;
                if (callback && user) callback(this, frame.data(), static_cast<uint32_t>(frame.size()), user);
            }
            pending.lock();
        }
    } catch (...) {
        // The next delivery thread takes over what is left.
        if (!pending.owns_lock()) pending.lock();
        m_bDeliveringFrames = false;
        throw;
    }
    m_bDeliveringFrames = false;
}

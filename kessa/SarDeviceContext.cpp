#include "SarDeviceContext.h"

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

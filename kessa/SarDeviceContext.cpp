#include "SarDeviceContext.h"

#include <cstring>
#include <new>

std::shared_ptr<SarDeviceContext> SarDeviceContext::Create() {
    std::unique_ptr<SarDeviceContext> context(new (std::nothrow) SarDeviceContext());
    if (!context) return nullptr;
    context->m_pFrameBuffer.reset(new (std::nothrow) uint8_t[kBufferSize]());
    context->m_pAccumBuffer.reset(new (std::nothrow) uint8_t[kBufferSize]());
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

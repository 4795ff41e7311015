// The device context behind a Kessa handle: one per client, holding the ids
// that completions are matched against, the locks that serialise its commands,
// the wakes of its waiting callers and the buffers of SAR data reads.
#pragma once

#include "CCompletionWake.h"
#include "Kessa.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

struct SarDeviceContext {
    static constexpr uint32_t kBufferSize = 0xA00000;  // 10 MiB

    // A context with both buffers allocated and zero-filled, or null when memory is short.
    static std::shared_ptr<SarDeviceContext> Create();

    SarDeviceContext(const SarDeviceContext&) = delete;
    SarDeviceContext& operator=(const SarDeviceContext&) = delete;

    // The request ids are written by the Mobile Broadband API through the
    // command's out-pointer and read by the completion threads.
    std::atomic<ULONG> m_dwRequestId1{0xFFFFFFFF};  // last command other than the device root
    std::atomic<ULONG> m_dwRequestId2{0};           // last CID_DEVICE_ROOT command
    // Last SAR data request. Its answer comes as a notification and nothing is
    // matched against this id; it is kept apart from request id 1 because a
    // read or write may run beside a command on the same context, and the data
    // request's completion must neither pass for the command's nor hide it.
    std::atomic<ULONG> m_dwDataRequestId{0};
    std::mutex m_csCommand;                         // enable, version, index and device-root commands
    CCompletionWake m_wakeCommand;
    CCompletionWake m_wakeSarSet;
    CCompletionWake m_wakeSarQuery;
    std::mutex m_csGetValue;
    CCompletionWake m_wakeGetValue;
    std::mutex m_csSetValue;
    CCompletionWake m_wakeSetValue;
    std::mutex m_csCallback;
    SarValueCallback m_pfnCallback = nullptr;
    void* m_pCallbackUser = nullptr;
    std::atomic<uint32_t> m_dwLastQueryValue{0};

    // Frames reach every context on the completion threads, possibly on
    // several at once: the read state below is guarded by m_csFrame.
    std::mutex m_csFrame;
    uint32_t m_dwBytesReceived = 0;
    int32_t m_iBytesRemaining = -1;
    struct FreeBuffer {
        void operator()(uint8_t* p) const;
    };
    using Buffer = std::unique_ptr<uint8_t[], FreeBuffer>;
    Buffer m_pFrameBuffer;
    uint32_t m_dwFrameLength = 0;
    Buffer m_pAccumBuffer;
    uint32_t m_dwAccumLength = 0;
    // A frame of the current read did not fit a buffer: the read fails.
    bool m_bReadOverflow = false;

    std::atomic<int32_t> m_iTableIndex{-1};
    std::atomic<int32_t> m_iBusy{-1};
    uint16_t m_wLastFileCrc = 0;
    std::atomic<int32_t> m_iSarBackoffIndex{-1};
    std::atomic<uint16_t> m_wTableCrc{0};

    // Empties the accumulation buffer (the part in use; the rest is still zero). Caller holds m_csFrame.
    void ClearAccumulation();
    // Empties the frame buffer the same way. Caller holds m_csFrame.
    void ClearFrame();

private:
    SarDeviceContext() = default;
};

static_assert(sizeof(std::atomic<ULONG>) == sizeof(ULONG) && std::atomic<ULONG>::is_always_lock_free,
              "the API writes request ids through a plain ULONG pointer");

// The device context behind a Kessa handle: one per client, holding the ids
// that completions are matched against, the locks that serialise its commands,
// the wakes of its waiting callers and the buffers of SAR data reads.
#pragma once

#include "CCompletionWake.h"
#include "Kessa.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

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
    // Held while the callback is set and while it runs, and by nothing else:
    // a callback may call any export on its own context. Recursive, so that
    // it may also set the callback again or clear it.
    std::recursive_mutex m_csCallback;
    // Written under m_csCallback; a delivery thread reads them without it only
    // to decide whether a frame is queued for the callback at all.
    std::atomic<SarValueCallback> m_pfnCallback{nullptr};
    std::atomic<void*> m_pCallbackUser{nullptr};
    // Frames for the callback, in the order they were applied to the read state.
    std::mutex m_csPendingFrames;
    std::deque<std::vector<uint8_t>> m_pendingFrames;
    bool m_bDeliveringFrames = false;  // a thread is handing the queue to the callback
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

    // Queues a copy of the frame when a callback is set; false when nothing
    // was queued. Caller holds m_csFrame, so the queue keeps arrival order.
    bool QueueFrameForCallback(const uint8_t* frame, uint32_t length);
    // Hands the queued frames to the callback one by one, under m_csCallback
    // alone, unless another thread is already at it: that thread takes these
    // too, so no frame passes an earlier one. Caller holds no lock of the context.
    void DeliverQueuedFrames();

private:
    SarDeviceContext() = default;
};

static_assert(sizeof(std::atomic<ULONG>) == sizeof(ULONG) && std::atomic<ULONG>::is_always_lock_free,
              "the API writes request ids through a plain ULONG pointer");

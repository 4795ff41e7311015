#include "SarCommands.h"

#include "CByteSafeArray.h"
#include "CNuvikMbimManager.h"
#include "Handles.h"
#include "KessaTrace.h"
#include "SarCrc.h"
#include "SarDeviceContext.h"
#include "SarMessage.h"
#include "SarPacket.h"

#include <chrono>
#include <cstring>
#include <vector>

using std::chrono::milliseconds;

namespace {
const milliseconds kCommandTimeout(1000);
const milliseconds kDeviceRootTimeout(2000);
const milliseconds kValueTimeout(2000);

enum class Service { Diag, Sar };
enum class Kind { Set, Query };
enum class Outcome { Completed, NotSent, TimedOut };

struct Command {
    Service service;
    uint32_t cid;
    Kind kind;
    const uint8_t* payload;
    size_t length;
    CCompletionWake& wake;
    std::atomic<ULONG>& requestId;
    milliseconds timeout;
};

CNuvikMbimManager::DeviceServicePtr ServiceFor(Service service) {
    CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
    if (manager == nullptr) return nullptr;
    return service == Service::Diag ? manager->GetDiagService() : manager->GetSarService();
}

// Sends one command and waits once for its wake. The ticket is taken by the
// caller before anything that a completion could change was looked at.
Outcome SendAndWait(const Command& command, CCompletionWake::Ticket ticket) {
    CNuvikMbimManager::DeviceServicePtr service = ServiceFor(command.service);
    if (!service) return Outcome::NotSent;
    CUniqueSafeArray array(MakeByteSafeArray(command.payload, command.length));
    if (!array) return Outcome::NotSent;
    // The API writes the request id straight into the context, before the
    // completion can arrive, so that the dispatch finds the context by it.
    ULONG* requestId = reinterpret_cast<ULONG*>(&command.requestId);
    if (command.kind == Kind::Set) {
        if (FAILED(service->SetCommand(command.cid, array.Get(), requestId))) return Outcome::NotSent;
    } else {
        // A query that cannot be sent simply times out.
        service->QueryCommand(command.cid, array.Get(), requestId);
    }
    return command.wake.WaitSince(ticket, command.timeout) ? Outcome::Completed : Outcome::TimedOut;
}

Outcome SendAndWait(const Command& command) { return SendAndWait(command, command.wake.Arm()); }

// The frame's result: 0 completed; a send that failed (or found no service)
// notSent; a time-out -2 after a busy answer, else -1.
int ResultOf(Outcome outcome, const SarDeviceContext& context, int notSent = -1) {
    switch (outcome) {
    case Outcome::Completed:
        return 0;
    case Outcome::NotSent:
        return notSent;
    case Outcome::TimedOut:
        break;
    }
    return context.m_iBusy == 1 ? -2 : -1;
}

const std::vector<uint8_t> kEmptyQuery;
}  // namespace

int SetSarEnableCmd(SarDeviceContext* context, uint8_t enable) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    const std::vector<uint8_t> payload = SarEnablePayload(enable);
    Outcome outcome = SendAndWait({Service::Diag, CID_SAR_ENABLE, Kind::Set, payload.data(), payload.size(),
                                   context->m_wakeCommand, context->m_dwRequestId1, kCommandTimeout});
    if (outcome == Outcome::TimedOut && context->m_iBusy != 1) KessaPrint("wait 1000ms\n");
    return ResultOf(outcome, *context);
}

int GetSarEnableCmd(SarDeviceContext* context, uint8_t* enabled) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    Outcome outcome = SendAndWait({Service::Diag, CID_SAR_ENABLE, Kind::Query, kEmptyQuery.data(), 0,
                                   context->m_wakeCommand, context->m_dwRequestId1, kCommandTimeout});
    if (outcome == Outcome::Completed) *enabled = context->m_dwLastQueryValue != 0 ? 1 : 0;
    if (outcome == Outcome::TimedOut) *enabled = 0;
    return ResultOf(outcome, *context);
}

int SetSarVersionCmd(SarDeviceContext* context, int32_t index, int32_t crc) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    const std::vector<uint8_t> payload = SarVersionPayload(index, crc);
    return ResultOf(SendAndWait({Service::Diag, CID_SAR_VERSION, Kind::Set, payload.data(), payload.size(),
                                 context->m_wakeCommand, context->m_dwRequestId1, kCommandTimeout}),
                    *context);
}

int GetSarVersionCmd(SarDeviceContext* context, int32_t* index, uint16_t* crc) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    Outcome outcome = SendAndWait({Service::Diag, CID_SAR_VERSION, Kind::Query, kEmptyQuery.data(), 0,
                                   context->m_wakeCommand, context->m_dwRequestId1, kCommandTimeout});
    if (outcome == Outcome::Completed) {
        *index = context->m_iTableIndex;
        *crc = context->m_wTableCrc;
    }
    // A time-out leaves the CRC as it was.
    if (outcome == Outcome::TimedOut) *index = -1;
    return ResultOf(outcome, *context);
}

int SetSarIndexCmd(SarDeviceContext* context, int32_t index) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    const std::vector<uint8_t> payload = SarConfigPayload(index);
    return ResultOf(SendAndWait({Service::Sar, MBIM_CID_MS_SAR_CONFIG, Kind::Set, payload.data(), payload.size(),
                                 context->m_wakeSarSet, context->m_dwRequestId1, kCommandTimeout}),
                    *context);
}

int GetSarIndexCmd(SarDeviceContext* context, int32_t* index) {
    // No busy reset here, and a time-out is -1 even after a busy answer.
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    Outcome outcome = SendAndWait({Service::Sar, MBIM_CID_MS_SAR_CONFIG, Kind::Query, kEmptyQuery.data(), 0,
                                   context->m_wakeSarQuery, context->m_dwRequestId1, kCommandTimeout});
    if (outcome == Outcome::Completed) {
        *index = context->m_iSarBackoffIndex;
        return 0;
    }
    if (outcome == Outcome::TimedOut) *index = -1;
    return -1;
}

int SetDeviceRootCmd(SarDeviceContext* context) {
    std::lock_guard<std::mutex> guard(context->m_csCommand);
    context->m_iBusy = -1;
    const std::vector<uint8_t> payload = DeviceRootPayload();
    return ResultOf(SendAndWait({Service::Diag, CID_DEVICE_ROOT, Kind::Set, payload.data(), payload.size(),
                                 context->m_wakeCommand, context->m_dwRequestId2, kDeviceRootTimeout}),
                    *context, -3);
}

int SetSarValueCmd(SarDeviceContext* context, const uint8_t* data, int32_t length) {
    if (length < 0 || (data == nullptr && length > 0)) {
        KessaPrint("SetSarValueCmd invalid data, length = %d\n", static_cast<int>(length));
        return -1;
    }
    std::lock_guard<std::mutex> guard(context->m_csSetValue);
    context->m_iBusy = -1;
    uint8_t raw[kSarRawPacketBufferSize] = {};
    uint8_t escaped[kSarEscapedPacketBufferSize] = {};
    for (const SarWriteChunk& chunk : PlanSarWrite(static_cast<size_t>(length))) {
        const size_t size = EncodeSarWritePacket(data == nullptr ? nullptr : data + chunk.offset, chunk.length,
                                                 chunk.flag, raw, sizeof(raw), escaped, sizeof(escaped));
        if (size == 0) return -1;
        Outcome outcome = SendAndWait({Service::Diag, CID_SAR_VALUE, Kind::Set, escaped, size,
                                       context->m_wakeSetValue, context->m_dwDataRequestId, kValueTimeout});
        if (outcome == Outcome::Completed) continue;
        if (outcome == Outcome::TimedOut && context->m_iBusy != 1 && length > static_cast<int32_t>(kSarChunkSize))
            KessaPrint("set value time out\n");
        return ResultOf(outcome, *context);
    }
    return 0;
}

int GetSarValueCmd(SarDeviceContext* context, uint8_t** data, int32_t* length) {
    std::lock_guard<std::mutex> guard(context->m_csGetValue);
    context->m_iBusy = -1;
    {
        std::lock_guard<std::mutex> frame(context->m_csFrame);
        context->ClearAccumulation();
        context->m_dwBytesReceived = 0;
        context->m_iBytesRemaining = -1;
        context->m_bReadOverflow = false;
    }
    for (;;) {
        uint8_t request[kSarReadRequestSize] = {};
        CCompletionWake::Ticket ticket;
        {
            // The ticket is taken with the state it was checked against: a frame
            // that arrives from here on ends the wait below.
            std::lock_guard<std::mutex> frame(context->m_csFrame);
            ticket = context->m_wakeGetValue.Arm();
            if (context->m_bReadOverflow) {
                context->ClearAccumulation();
                KessaPrint("GetSarValueCmd data exceed the read buffer\n");
                return -1;
            }
            if (context->m_iBytesRemaining == 0) {
                context->m_dwBytesReceived = 0;
                *data = context->m_pAccumBuffer.get();
                *length = static_cast<int32_t>(context->m_dwAccumLength);
                return 0;
            }
            // The request carries the low 16 bits of the count, and 0 asks for
            // the image from its start: past a multiple of 64 KiB the read
            // cannot go on without taking the image from the start again.
            if (context->m_dwBytesReceived != 0 && (context->m_dwBytesReceived & 0xFFFF) == 0) {
                context->ClearAccumulation();
                KessaPrint("GetSarValueCmd received count wraps to 0 at %u bytes\n",
                           static_cast<unsigned>(context->m_dwBytesReceived));
                return -1;
            }
            BuildSarReadRequest(static_cast<uint16_t>(context->m_dwBytesReceived), request, sizeof(request));
        }
        Outcome outcome = SendAndWait({Service::Diag, CID_SAR_VALUE, Kind::Set, request, sizeof(request),
                                       context->m_wakeGetValue, context->m_dwDataRequestId, kValueTimeout},
                                      ticket);
        if (outcome == Outcome::Completed) continue;
        if (outcome == Outcome::TimedOut) {
            std::lock_guard<std::mutex> frame(context->m_csFrame);
            context->ClearAccumulation();
        }
        return ResultOf(outcome, *context);
    }
}

int GetFileCrcCmd(SarDeviceContext* context, const uint8_t* data, uint16_t length, uint16_t* crc) {
    context->m_wLastFileCrc = 0;
    const uint16_t value = SarFileCrc(data, length);
    context->m_wLastFileCrc = value;
    *crc = value;
    return 0;
}

namespace {
enum class FrameOutcome {
    Ignored,   // wakes nobody
    Applied,   // the read state changed: wake the reader
    Queued     // the same, and the frame waits for the callback
};

// Applies one data frame to the context's read state. Caller holds m_csFrame.
FrameOutcome ApplyDataFrame(SarDeviceContext* context, const uint8_t* raw, size_t length) {
    context->ClearFrame();
    SarDataFrame frame;
    switch (ParseSarDataFrame(raw, length, context->m_pFrameBuffer.get(), SarDeviceContext::kBufferSize, frame)) {
        case SarFrameStatus::Malformed:
            return FrameOutcome::Ignored;
        case SarFrameStatus::TooLarge:
            // Rejected whole: the read in progress fails rather than deliver part of a frame.
            std::memset(context->m_pFrameBuffer.get(), 0, SarDeviceContext::kBufferSize);
            context->m_bReadOverflow = true;
            return FrameOutcome::Applied;
        case SarFrameStatus::Parsed:
            break;
    }
    context->m_dwFrameLength = static_cast<uint32_t>(frame.dataLength);
    if (!frame.complete) return FrameOutcome::Ignored;
    if (context->m_dwBytesReceived == 0) context->ClearAccumulation();
    if (frame.dataLength > SarDeviceContext::kBufferSize - context->m_dwAccumLength) {
        context->m_bReadOverflow = true;
        return FrameOutcome::Applied;
    }
    context->m_dwBytesReceived += frame.count;
    context->m_iBytesRemaining = frame.remaining;
    std::memcpy(context->m_pAccumBuffer.get() + context->m_dwAccumLength, context->m_pFrameBuffer.get(),
                frame.dataLength);
    context->m_dwAccumLength += static_cast<uint32_t>(frame.dataLength);
    return context->QueueFrameForCallback(context->m_pFrameBuffer.get(), context->m_dwFrameLength)
               ? FrameOutcome::Queued
               : FrameOutcome::Applied;
}
}  // namespace

void ParseSarValueResponse(SarDeviceContext* context, const uint8_t* raw, size_t length) {
    switch (ClassifySarMessage(raw, length)) {
        case SarMessageKind::WriteAck:
            if (IsValidSarWriteAck(raw, length)) context->m_wakeSetValue.Signal();
            return;
        case SarMessageKind::Ignored:
            return;
        case SarMessageKind::DataFrame:
            break;
    }
    FrameOutcome outcome;
    {
        std::lock_guard<std::mutex> frameGuard(context->m_csFrame);
        outcome = ApplyDataFrame(context, raw, length);
    }
    if (outcome == FrameOutcome::Ignored) return;
    // The reader is woken before the callback runs, and the callback runs
    // without the frame lock: a callback that reads on its own context, or
    // waits for the reader, must not wait for itself.
    context->m_wakeGetValue.Signal();
    if (outcome == FrameOutcome::Queued) context->DeliverQueuedFrames();
}

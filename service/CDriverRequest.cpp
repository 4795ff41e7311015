#include "CDriverRequest.h"

#include "CClock.h"
#include "Logger.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {
// A request's OVERLAPPED, words and event: the driver writes them until it
// completes the request, so they live on the heap, apart from the caller's frame.
struct CBlock {
    OVERLAPPED overlapped = {};
    DWORD input = 0;
    DWORD output = 0;
    HANDLE event = nullptr;

    ~CBlock() {
        if (event) ::CloseHandle(event);
    }
};

// Requests whose cancel the driver did not confirm in time: kept until it
// completes them (else to the process's end), never freed under it.
std::mutex g_inFlightLock;
std::vector<CBlock*> g_inFlight;

std::string Described(DWORD code, DWORD input) {
    char text[64];
    std::snprintf(text, sizeof(text), "request 0x%X input 0x%X", static_cast<unsigned>(code),
                  static_cast<unsigned>(input));
    return text;
}

void LeaveInFlight(CBlock* block) {
    std::lock_guard<std::mutex> guard(g_inFlightLock);
    try {
        g_inFlight.push_back(block);
    } catch (const std::exception&) {
        // No room to remember it: it is never freed, which is still safe.
    }
}

void FreeCompleted() {
    std::lock_guard<std::mutex> guard(g_inFlightLock);
    for (auto it = g_inFlight.begin(); it != g_inFlight.end();) {
        CBlock* block = *it;
        if (::WaitForSingleObject(block->event, 0) == WAIT_OBJECT_0) {
            delete block;
            it = g_inFlight.erase(it);
        } else {
            ++it;
        }
    }
}
}  // namespace

BOOL CDriverRequest::Send(HANDLE device, DWORD code, DWORD input, DWORD& output) {
    const char* fn = "CDriverRequest::Send";
    output = 0;
    FreeCompleted();
    std::unique_ptr<CBlock> block(new (std::nothrow) CBlock());
    if (!block) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    block->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!block->event) return FALSE;
    block->input = input;
    block->overlapped.hEvent = block->event;

    if (!::DeviceIoControl(device, code, &block->input, sizeof(block->input), &block->output, sizeof(block->output),
                           nullptr, &block->overlapped)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            ::SetLastError(error);
            return FALSE;
        }
        const CClock::WaitEnd end = CClock::WaitUnlessStopped(block->event, kBoundMs);
        if (end != CClock::WaitEnd::Signalled) {
            const bool timedOut = end == CClock::WaitEnd::TimedOut;
            ::CancelIoEx(device, &block->overlapped);
            // Real milliseconds: a driver with a cancel routine confirms at once.
            if (::WaitForSingleObject(block->event, kCancelBoundMs) != WAIT_OBJECT_0) {
                LogWrite(fn, "Driver " + Described(code, input) + " not ended by its cancel, left in flight", 2);
                LeaveInFlight(block.release());
                ::SetLastError(timedOut ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED);
                return FALSE;
            }
            DWORD returned = 0;
            if (!::GetOverlappedResult(device, &block->overlapped, &returned, FALSE)) {
                const DWORD failure = ::GetLastError();
                if (failure != ERROR_OPERATION_ABORTED) {
                    // The driver's own answer came before the cancel.
                    ::SetLastError(failure);
                    return FALSE;
                }
                if (timedOut)
                    LogWrite(fn,
                             "Driver " + Described(code, input) + " not answered within " + std::to_string(kBoundMs / 1000) +
                                 " s, cancelled",
                             2);
                else
                    LogWrite(fn, "Stop requested, driver " + Described(code, input) + " cancelled", 1);
                ::SetLastError(timedOut ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED);
                return FALSE;
            }
            // Answered as the wait ended: the answer holds.
            output = block->output;
            return TRUE;
        }
    }
    DWORD returned = 0;
    if (!::GetOverlappedResult(device, &block->overlapped, &returned, FALSE)) return FALSE;
    output = block->output;
    return TRUE;
}

// One request to the power-management driver that cannot outlive its bound: a
// driver that never answers, or one that answers after the service stopped
// waiting, holds neither the caller nor what the caller holds (a decision's
// lock, the service's stop).
#pragma once

#include <windows.h>

class CDriverRequest {
public:
    // How long the driver may take to answer (clock milliseconds, never below
    // the floor of CClock::ScaleBound): it answers in well under a millisecond.
    static const DWORD kBoundMs = 3000;
    // How long the driver may take to confirm a cancel (real milliseconds).
    static const DWORD kCancelBoundMs = 1000;

    // Sends one request with a 4-byte input and output word on a device opened
    // with FILE_FLAG_OVERLAPPED and waits for its answer at most kBoundMs,
    // ended early by the calling thread's stop (CClock::CThreadStopScope).
    // A request that the bound or the stop ends is cancelled and its cancel
    // awaited; it fails with ERROR_TIMEOUT or ERROR_OPERATION_ABORTED, unless
    // the driver answered meanwhile. FALSE with GetLastError as DeviceIoControl.
    static BOOL Send(HANDLE device, DWORD code, DWORD input, DWORD& output);
};

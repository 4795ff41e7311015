#include "CPXService.h"

#include "CClock.h"
#include "Handles.h"
#include "Logger.h"

#include <algorithm>

SC_HANDLE g_hPXSCManager = nullptr;
SC_HANDLE g_hPXService = nullptr;
PXEnumDependentServicesFn g_pfnPXEnumDependentServices = ::EnumDependentServicesA;

namespace {
const char kPellarix[] = "Pellarix";
const char kDoStartSvc[] = "CPXService::DoStartSvc";
const char kDoStopSvc[] = "CPXService::DoStopSvc";
constexpr ULONGLONG kStopLimitMs = 30000;

// Closes the process-wide handles on every way out of an operation.
class CPXHandlesGuard {
public:
    ~CPXHandlesGuard() {
        Close(g_hPXService);
        Close(g_hPXSCManager);
    }

private:
    static void Close(SC_HANDLE& handle) {
        if (handle) ::CloseServiceHandle(handle);
        handle = nullptr;
    }
};

class CProcessHeapBuffer {
public:
    explicit CProcessHeapBuffer(SIZE_T size) : m_p(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size)) {}
    ~CProcessHeapBuffer() {
        if (m_p) ::HeapFree(::GetProcessHeap(), 0, m_p);
    }
    CProcessHeapBuffer(const CProcessHeapBuffer&) = delete;
    CProcessHeapBuffer& operator=(const CProcessHeapBuffer&) = delete;
    void* Get() const { return m_p; }

private:
    void* m_p;
};

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                  &needed) != FALSE;
}

ULONGLONG ElapsedSince(ULONGLONG tick) { return CClock::TickCount64() - tick; }

// Stops one dependent and waits until it is stopped, at most until the limit
// counted from start has passed.
bool StopDependent(const char* name, ULONGLONG start) {
    CUniqueScHandle service(::OpenServiceA(g_hPXSCManager, name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS_PROCESS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, reinterpret_cast<LPSERVICE_STATUS>(&status)))
        return false;
    while (status.dwCurrentState != SERVICE_STOPPED) {
        CClock::Sleep(status.dwWaitHint);
        if (!QueryStatus(service.Get(), status)) return false;
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        if (ElapsedSince(start) > kStopLimitMs) return false;
    }
    return true;
}
}  // namespace

CPXService::CPXService() = default;

DWORD CPXService::WaitingStep(DWORD dwWaitHint) {
    return std::min<DWORD>(std::max<DWORD>(dwWaitHint / 10, 1000), 10000);
}

void CPXService::DoStartSvc() {
    CPXHandlesGuard handles;
    g_hPXSCManager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!g_hPXSCManager) {
        LogWrite(kDoStartSvc, "OpenSCManager failed", 2);
        return;
    }
    g_hPXService = ::OpenServiceA(g_hPXSCManager, kPellarix, SERVICE_ALL_ACCESS);
    if (!g_hPXService) {
        LogWrite(kDoStartSvc, "OpenService failed", 2);
        return;
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(g_hPXService, status)) {
        LogWrite(kDoStartSvc, "QueryServiceStatusEx failed", 2);
        return;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        LogWrite(kDoStartSvc, "Cannot start the service because it is already running", 1);
        return;
    }

    ULONGLONG startTick = CClock::TickCount64();
    DWORD oldCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        CClock::Sleep(WaitingStep(status.dwWaitHint));
        if (!QueryStatus(g_hPXService, status)) {
            LogWrite(kDoStartSvc, "QueryServiceStatusEx failed", 2);
            return;
        }
        if (status.dwCheckPoint > oldCheckPoint) {
            startTick = CClock::TickCount64();
            oldCheckPoint = status.dwCheckPoint;
        } else if (status.dwCurrentState == SERVICE_STOP_PENDING && ElapsedSince(startTick) > status.dwWaitHint) {
            // Only while still pending: a stopped status has check point and wait hint 0.
            LogWrite(kDoStartSvc, "Timeout waiting for service to stop", 1);
            return;
        }
    }

    if (!::StartServiceA(g_hPXService, 0, nullptr)) {
        LogWrite(kDoStartSvc, "StartService failed", 2);
        return;
    }
    LogWrite(kDoStartSvc, "Service start pending...", 1);
    if (!QueryStatus(g_hPXService, status)) {
        LogWrite(kDoStartSvc, "QueryServiceStatusEx failed", 2);
        return;
    }

    startTick = CClock::TickCount64();
    oldCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        CClock::Sleep(WaitingStep(status.dwWaitHint));
        if (!QueryStatus(g_hPXService, status)) {
            LogWrite(kDoStartSvc, "QueryServiceStatusEx failed", 2);
            break;
        }
        if (status.dwCheckPoint > oldCheckPoint) {
            startTick = CClock::TickCount64();
            oldCheckPoint = status.dwCheckPoint;
        } else if (ElapsedSince(startTick) > status.dwWaitHint) {
            break;
        }
    }

    if (status.dwCurrentState == SERVICE_RUNNING)
        LogWrite(kDoStartSvc, "PX Service started successfully.", 1);
    else
        LogWrite(kDoStartSvc, "PX Service not started", 1);
}

void CPXService::DoStopSvc() {
    ULONGLONG startTime = CClock::TickCount64();
    CPXHandlesGuard handles;
    g_hPXSCManager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!g_hPXSCManager) {
        LogWrite(kDoStopSvc, "OpenSCManager failed", 2);
        return;
    }
    g_hPXService =
        ::OpenServiceA(g_hPXSCManager, kPellarix, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS);
    if (!g_hPXService) {
        LogWrite(kDoStopSvc, "OpenService failed", 2);
        return;
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(g_hPXService, status)) {
        LogWrite(kDoStopSvc, "QueryServiceStatusEx failed ", 2);
        return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        LogWrite(kDoStopSvc, "Service is already stopped.", 1);
        return;
    }

    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        LogWrite(kDoStopSvc, "Service stop pending...", 1);
        CClock::Sleep(WaitingStep(status.dwWaitHint));
        if (!QueryStatus(g_hPXService, status)) {
            LogWrite(kDoStopSvc, "QueryServiceStatusEx failed ", 2);
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            LogWrite(kDoStopSvc, "PX Service stopped successfully.", 1);
            return;
        }
        if (ElapsedSince(startTime) > kStopLimitMs) {
            LogWrite(kDoStopSvc, "PX Service stop timed out.", 1);
            return;
        }
    }

    StopDependentServices();

    if (!::ControlService(g_hPXService, SERVICE_CONTROL_STOP, reinterpret_cast<LPSERVICE_STATUS>(&status))) {
        LogWrite(kDoStopSvc, "ControlService failed", 2);
        return;
    }
    while (status.dwCurrentState != SERVICE_STOPPED) {
        CClock::Sleep(status.dwWaitHint);
        if (!QueryStatus(g_hPXService, status)) {
            LogWrite(kDoStopSvc, "QueryServiceStatusEx failed", 2);
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        if (ElapsedSince(startTime) > kStopLimitMs) {
            LogWrite(kDoStopSvc, "Wait timed out", 1);
            return;
        }
    }
    LogWrite(kDoStopSvc, "Service stopped successfully", 1);
}

int CPXService::StopDependentServices() {
    ULONGLONG startTime = CClock::TickCount64();
    DWORD bytesNeeded = 0;
    DWORD count = 0;
    if (g_pfnPXEnumDependentServices(g_hPXService, SERVICE_ACTIVE, nullptr, 0, &bytesNeeded, &count)) return 1;
    if (::GetLastError() != ERROR_MORE_DATA) return 0;

    const DWORD bufferSize = bytesNeeded;
    CProcessHeapBuffer buffer(bufferSize);
    if (!buffer.Get()) return 0;
    auto* dependencies = static_cast<LPENUM_SERVICE_STATUSA>(buffer.Get());
    if (!g_pfnPXEnumDependentServices(g_hPXService, SERVICE_ACTIVE, dependencies, bufferSize, &bytesNeeded, &count))
        return 0;
    // Never more records than the buffer holds.
    count = std::min<DWORD>(count, bufferSize / sizeof(ENUM_SERVICE_STATUSA));
    for (DWORD i = 0; i < count; ++i)
        if (!StopDependent(dependencies[i].lpServiceName, startTime)) return 0;
    return 1;
}

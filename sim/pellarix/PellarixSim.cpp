// A small real Windows service for the Wine service manager, standing in for the
// machine maker's "Pellarix" service and for a service that depends on it. The
// first argument names the service (one exe serves both); its behaviour while
// starting and stopping comes from DWORD values under its service key.
#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "SimPxNames.h"
#include "SimServiceDependents.h"

namespace {

constexpr DWORD kReportIntervalMs = 20;

std::string g_name = SIMPX_PELLARIX;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
CRITICAL_SECTION g_statusLock;
HANDLE g_stopEvent = nullptr;
DWORD g_controlsAccepted = SERVICE_ACCEPT_STOP;

std::string ServiceKey() { return SIMPX_SERVICES_KEY + g_name; }

DWORD ReadValue(const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, ServiceKey().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
        return fallback;
    return value;
}

void WriteValue(const char* name, DWORD value) {
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKey().c_str(), 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS)
        return;
    ::RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Wine's service manager keeps the last status of a process that was ended, so a
// hung service is told to end through the registry instead.
bool Released() { return ReadValue(SIMPX_VALUE_RELEASE, 0) != 0; }

// Both the service thread and the control handler report; the check point only grows.
void Report(DWORD state, DWORD waitHint, bool nextCheckPoint, DWORD exitCode = NO_ERROR) {
    ::EnterCriticalSection(&g_statusLock);
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    if (!pending)
        g_status.dwCheckPoint = 0;
    else if (g_status.dwCurrentState != state)
        g_status.dwCheckPoint = 1;
    else if (nextCheckPoint)
        ++g_status.dwCheckPoint;
    g_status.dwCurrentState = state;
    g_status.dwWaitHint = pending ? waitHint : 0;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? g_controlsAccepted : 0;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0;
    ::SetServiceStatus(g_statusHandle, &g_status);
    ::LeaveCriticalSection(&g_statusLock);
}

// Stays in a pending state for the given time (until released when hang),
// reporting every few milliseconds with a growing or a stuck check point.
// False when released.
bool StayPending(DWORD state, DWORD durationMs, DWORD waitHint, bool advancing, bool hang) {
    ULONGLONG end = ::GetTickCount64() + durationMs;
    Report(state, waitHint, false);
    while (hang || ::GetTickCount64() < end) {
        if (Released()) return false;
        ::Sleep(kReportIntervalMs);
        Report(state, waitHint, advancing);
    }
    return true;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        WriteValue(SIMPX_VALUE_STOP_REQUESTS, ReadValue(SIMPX_VALUE_STOP_REQUESTS, 0) + 1);
        // Windows refuses to stop a service whose dependents still run; Wine does
        // not, so the service notes what a caller left running.
        std::vector<simpx::Dependent> active;
        if (simpx::FindDependents(g_name.c_str(), SERVICE_ACTIVE, active))
            WriteValue(SIMPX_VALUE_ACTIVE_DEPENDENTS_AT_STOP, static_cast<DWORD>(active.size()));
        Report(SERVICE_STOP_PENDING, ReadValue(SIMPX_VALUE_STOP_WAIT_HINT, 2000), false);
        ::SetEvent(g_stopEvent);
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_statusHandle = ::RegisterServiceCtrlHandlerExA(g_name.c_str(), ControlHandler, nullptr);
    if (!g_statusHandle) return;
    WriteValue(SIMPX_VALUE_RELEASE, 0);
    g_controlsAccepted = ReadValue(SIMPX_VALUE_ACCEPT_STOP, 1) ? SERVICE_ACCEPT_STOP : 0;

    bool released = !StayPending(SERVICE_START_PENDING, ReadValue(SIMPX_VALUE_START_PENDING_MS, 0),
                                 ReadValue(SIMPX_VALUE_START_WAIT_HINT, 30000),
                                 ReadValue(SIMPX_VALUE_START_CHECK_POINTS, 1) != 0, false);
    if (!released && ReadValue(SIMPX_VALUE_START_FAILS, 0)) {
        Report(SERVICE_STOPPED, 0, false, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    if (!released) {
        Report(SERVICE_RUNNING, 0, false);
        while (::WaitForSingleObject(g_stopEvent, kReportIntervalMs) == WAIT_TIMEOUT && !(released = Released())) {
        }
    }
    if (!released)
        StayPending(SERVICE_STOP_PENDING, ReadValue(SIMPX_VALUE_STOP_PENDING_MS, 0),
                    ReadValue(SIMPX_VALUE_STOP_WAIT_HINT, 2000), ReadValue(SIMPX_VALUE_STOP_CHECK_POINTS, 1) != 0,
                    ReadValue(SIMPX_VALUE_STOP_HANGS, 0) != 0);
    Report(SERVICE_STOPPED, 0, false);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_name = argv[1];
    ::InitializeCriticalSection(&g_statusLock);
    g_stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{&g_name[0], ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) return static_cast<int>(::GetLastError());
    return 0;
}

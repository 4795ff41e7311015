// Starts and stops the machine maker's "Pellarix" service through the service
// manager, waiting for each transition and stopping its dependents first.
// Nothing in the system calls it.
#pragma once

#include <windows.h>
#include <winsvc.h>

// Opened at the start of each operation and closed before it returns; not valid
// between calls, and shared, so the operations must not run on two threads at once.
extern SC_HANDLE g_hPXSCManager;
extern SC_HANDLE g_hPXService;

// EnumDependentServicesA; replaceable because Wine's reports no dependents at
// all, so tests put in one that finds them the way Windows does.
using PXEnumDependentServicesFn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPENUM_SERVICE_STATUSA, DWORD, LPDWORD, LPDWORD);
extern PXEnumDependentServicesFn g_pfnPXEnumDependentServices;

class CPXService {
public:
    CPXService();

    void DoStartSvc();
    void DoStopSvc();
    // 1 when every active dependent of g_hPXService stopped (or there was none), else 0.
    int StopDependentServices();

    // The pause between two status queries: a tenth of the wait hint, kept within 1 s to 10 s.
    static DWORD WaitingStep(DWORD dwWaitHint);
};

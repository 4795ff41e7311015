// The process entry's service side: command-line switches that install,
// remove, start and stop the service through the Service Control Manager, and
// the service main function with its control handler.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <atomic>

class CTarvoApplication;

class CService {
public:
    explicit CService(const char* argument);
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    int Execute();
    int CmdInstall();
    int CmdRemove();
    int CmdStart();
    int CmdStop();

    static BOOL SetStatus(DWORD state, DWORD win32ExitCode, DWORD checkPoint);
    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static DWORD WINAPI ServiceHandler(DWORD control, DWORD eventType, void* eventData, void* context);
    static void SetTriggerInfo(SC_HANDLE service);
    // ServiceMain's end: stops the application, waits for its worker and
    // deletes it, all on a thread of its own while telling the SCM that the
    // stop is pending. Past a bound the stop is left to its thread (see
    // IsStopUnfinished) and the result is false. Null does nothing.
    static bool StopApplication(CTarvoApplication* application);
    // A stop that StopApplication left unfinished still runs: a thread of the
    // application may still wake into its objects, so the process must end
    // without running its static destructors.
    static bool IsStopUnfinished();
    // ServiceMain's end once the stop is requested: StopApplication, the stop
    // event closed, SERVICE_STOPPED reported; a stop left to its thread is
    // logged after the report.
    static void FinishStop(CTarvoApplication* application);
    static BOOL SetFailureActions();

    static SERVICE_STATUS_HANDLE g_hServiceStatus;
    static HANDLE g_hServiceStopEvent;
    // Set by the first stop, shutdown or preshutdown control, never cleared in
    // a service process (a test may clear it with the event): the controls
    // after it leave the application alone and report nothing.
    static std::atomic<bool> g_bServiceStopRequested;
    static HPOWERNOTIFY g_hPowerSettingNotify;

    // Where SetStatus reports; SetServiceStatus unless a test captures the records.
    using ReportStatusFn = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    static ReportStatusFn s_pfnReportStatus;

private:
    char* m_pszArgument;
};

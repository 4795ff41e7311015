// The process entry's service side: command-line switches that install,
// remove, start and stop the service through the Service Control Manager, and
// the service main function with its control handler.
#pragma once

#include <windows.h>
#include <winsvc.h>

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
    // ServiceMain's end: stops the application, waits for its worker while
    // telling the SCM that the stop is pending, and deletes it. Null does nothing.
    static void StopApplication(CTarvoApplication* application);
    static BOOL SetFailureActions();

    static SERVICE_STATUS_HANDLE g_hServiceStatus;
    static HANDLE g_hServiceStopEvent;
    static HPOWERNOTIFY g_hPowerSettingNotify;

    // Where SetStatus reports; SetServiceStatus unless a test captures the records.
    using ReportStatusFn = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    static ReportStatusFn s_pfnReportStatus;

private:
    char* m_pszArgument;
};

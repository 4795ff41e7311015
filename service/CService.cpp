#include "CService.h"

#include "CClock.h"
#include "CTarvoApplication.h"
#include "Handles.h"
#include "Logger.h"
#include "ServiceTrigger.h"

#include <cstring>
#include <string>

namespace {
const char kServiceName[] = "TARVOSVC";
const char kDisplayName[] = "Tarvo Utility";
const DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_HARDWAREPROFILECHANGE |
                                SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE | SERVICE_ACCEPT_TRIGGEREVENT;

// {6FE69556-704A-47A0-8F24-C28D936FDA47}
const GUID kGuidConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};

// How long -remove waits for the service to leave stop pending (clock milliseconds):
// one that never does must not hold an uninstaller for ever.
const DWORD kRemoveStopWaitMs = 30000;

// How often a stop that waits for the worker tells the SCM that it goes on
// (real milliseconds, within the 3000 ms wait hint of every report).
const DWORD kStopReportMs = 1000;

// How long the service's stop may take (clock milliseconds, and at least the
// floor of a bound): the worker's longest step that must not be cut (a SAR
// table it has begun to write) fits with room. Past it, a request that hangs
// (a driver, a COM call) no longer keeps the service from stopping.
const DWORD kStopBoundMs = 120000;

// The stop thread that StopApplication gave up waiting for; kept open to tell whether it still runs.
std::atomic<HANDLE> s_hUnfinishedStop{nullptr};

// Sleep of the start and stop polls: a tenth of the wait hint, 1 s to 10 s.
DWORD PollStep(DWORD waitHint) {
    DWORD step = waitHint / 10;
    if (step < 1000) step = 1000;
    if (step > 10000) step = 10000;
    return step;
}

bool StopRequested() { return CService::g_bServiceStopRequested.load(); }

// The whole of the application's stop on the stop thread: sources detached,
// worker ended, objects deleted.
DWORD WINAPI StopAndDelete(void* parameter) {
    CTarvoApplication* application = static_cast<CTarvoApplication*>(parameter);
    application->Stop();
    // The worker ends at once unless it finishes what must not be left half
    // done (a SAR table it has begun to write).
    application->WaitForWorkerEnd(INFINITE);
    delete application;
    return 0;
}
}  // namespace

SERVICE_STATUS_HANDLE CService::g_hServiceStatus = nullptr;
HANDLE CService::g_hServiceStopEvent = nullptr;
std::atomic<bool> CService::g_bServiceStopRequested{false};
HPOWERNOTIFY CService::g_hPowerSettingNotify = nullptr;
CService::ReportStatusFn CService::s_pfnReportStatus = &::SetServiceStatus;

CService::CService(const char* argument) : m_pszArgument(nullptr) {
    if (argument) {
        size_t length = std::strlen(argument);
        m_pszArgument = new char[length + 1];
        std::memcpy(m_pszArgument, argument, length + 1);
    }
}

CService::~CService() { delete[] m_pszArgument; }

int CService::Execute() {
    int exitCode = 0;
    if (m_pszArgument) {
        if (_stricmp(m_pszArgument, "-install") == 0) {
            LogWrite("CService::Execute", "install", 1);
            if (CmdInstall() == 0) exitCode = 1;
        } else if (_stricmp(m_pszArgument, "-remove") == 0) {
            LogWrite("CService::Execute", "remove", 1);
            if (CmdRemove() == 0) exitCode = 1;
        } else if (_stricmp(m_pszArgument, "-stop") == 0) {
            LogWrite("CService::Execute", "stop", 1);
            if (CmdStop() == 0) exitCode = 1;
        } else if (_stricmp(m_pszArgument, "-start") == 0) {
            LogWrite("CService::Execute", "start", 1);
            if (CmdStart() == 0) exitCode = 1;
        }
    }

    char serviceName[] = "TARVOSVC";
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, &CService::ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) {
        DWORD error = ::GetLastError();
        LogWrite("CService::Execute", "StartServiceCtrlDispatcher fail error: " + std::to_string(error), 1);
        if (error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) exitCode = static_cast<int>(error);
    }
    return exitCode;
}

int CService::CmdInstall() {
    LogTraceEnter("CService::CmdInstall");
    int result = 1;
    char modulePath[MAX_PATH] = {};
    if (::GetModuleFileNameA(nullptr, modulePath, MAX_PATH) == 0) return 0;
    std::string imagePath = std::string("\"") + modulePath + "\"";

    // An installer run without the rights to the SCM must not believe the service is installed.
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogWrite("CService::CmdInstall", "SC Manager Access Denied.", 1);
        return 0;
    }
    LogWrite("CService::CmdInstall", "OpenSCManager SUCCESS.", 0);
    CUniqueScHandle service(::CreateServiceA(manager.Get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) {
        LogWrite("CService::CmdInstall", "CreateService SUCCESS", 0);
        SetTriggerInfo(service.Get());
    } else {
        DWORD error = ::GetLastError();
        LogWrite("CService::CmdInstall", "CreateService FAILED", 0);
        // Installing over an existing service is how installers update it: that one is no failure.
        bool exists = error == ERROR_SERVICE_EXISTS;
        LogWrite("CService::CmdInstall", "CreateService error: " + std::to_string(error), exists ? 0 : 2);
        if (!exists) result = 0;
    }
    return result;
}

void CService::SetTriggerInfo(SC_HANDLE service) {
    GUID subtype = TARVO_GUID_DEVINTERFACE_NET;
    TARVO_SERVICE_TRIGGER trigger = {};
    trigger.dwTriggerType = SERVICE_TRIGGER_TYPE_DEVICE_INTERFACE_ARRIVAL;
    trigger.dwAction = SERVICE_TRIGGER_ACTION_SERVICE_START;
    trigger.pTriggerSubtype = &subtype;
    trigger.cDataItems = 0;
    trigger.pDataItems = nullptr;
    TARVO_SERVICE_TRIGGER_INFO info = {};
    info.cTriggers = 1;
    info.pTriggers = &trigger;
    info.pReserved = nullptr;
    ::ChangeServiceConfig2W(service, SERVICE_CONFIG_TRIGGER_INFO, &info);
}

int CService::CmdRemove() {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 0;
    CUniqueScHandle service(::OpenServiceA(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return 0;
    SERVICE_STATUS status = {};
    if (::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        ULONGLONG deadline = CClock::TickCount64() + kRemoveStopWaitMs;
        CClock::Sleep(1000);
        while (::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
            if (CClock::TickCount64() >= deadline) {
                LogWrite("CService::CmdRemove",
                         "Service still stop pending after " + std::to_string(kRemoveStopWaitMs / 1000) + " s", 2);
                return 0;
            }
            CClock::Sleep(1000);
        }
    }
    if (!::DeleteService(service.Get())) {
        DWORD error = ::GetLastError();
        LogWrite("CService::CmdRemove", "DeleteService failed error: " + std::to_string(error), 2);
        return 0;
    }
    return 1;
}

int CService::CmdStart() {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 0;
    LogWrite("CService::CmdStart", "OpenSCManager SUCCESS", 0);
    CUniqueScHandle service(::OpenServiceA(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return 0;
    LogWrite("CService::CmdStart", "OpenService SUCCESS", 0);
    ::StartServiceA(service.Get(), 0, nullptr);

    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.Get(), &status)) return 0;
    LogWrite("CService::CmdStart", "QueryServiceStatus", 0);

    ULONGLONG startTick = ::GetTickCount64();
    DWORD oldCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        LogWrite("CService::CmdStart", "QueryServiceStatus SERVICE_START_PENDING", 0);
        ::Sleep(PollStep(status.dwWaitHint));
        if (!::QueryServiceStatus(service.Get(), &status)) {
            LogWrite("CService::CmdStart", "Error in while loop QueryServiceStatus", 1);
            break;
        }
        if (status.dwCheckPoint > oldCheckPoint) {
            startTick = ::GetTickCount64();
            oldCheckPoint = status.dwCheckPoint;
        } else if (::GetTickCount64() - startTick > status.dwWaitHint) {
            break;
        }
    }

    int result = 0;
    if (status.dwCurrentState == SERVICE_RUNNING) {
        result = 1;
        LogWrite("CService::CmdStart", "QueryServiceStatus SERVICE_RUNNING", 0);
    } else {
        LogWrite("CService::CmdStart", "Service not started.", 1);
    }
    return result;
}

int CService::CmdStop() {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(manager ? ::OpenServiceA(manager.Get(), kServiceName, SERVICE_ALL_ACCESS) : nullptr);
    SERVICE_STATUS status = {};
    return (service && ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) ? 1 : 0;
}

BOOL CService::SetFailureActions() {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return FALSE;
    CUniqueScHandle service(::OpenServiceA(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return FALSE;
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 20000}, {SC_ACTION_RESTART, 20000}, {SC_ACTION_RESTART, 20000}};
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = 86400;
    failure.lpRebootMsg = nullptr;
    failure.lpCommand = nullptr;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return ::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

BOOL CService::SetStatus(DWORD state, DWORD win32ExitCode, DWORD checkPoint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedControls;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = 3000;
    return s_pfnReportStatus(g_hServiceStatus, &status);
}

void WINAPI CService::ServiceMain(DWORD argc, LPSTR* argv) {
    CTarvoApplication* application = new CTarvoApplication();

    g_hServiceStatus = ::RegisterServiceCtrlHandlerExA(kServiceName, &CService::ServiceHandler, application);
    if (!g_hServiceStatus) {
        delete application;
        return;
    }
    LogWrite("CService::ServiceMain", "register TCU service handler", 0);
    SetStatus(SERVICE_START_PENDING, NO_ERROR, 1);

    g_hServiceStopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_hPowerSettingNotify = ::RegisterPowerSettingNotification(g_hServiceStatus, &kGuidConsoleDisplayState,
                                                               DEVICE_NOTIFY_SERVICE_HANDLE);
    if (!g_hServiceStopEvent) {
        // The handler is registered: from here on it must leave the application alone.
        g_bServiceStopRequested = true;
        delete application;
        return;
    }
    SetStatus(SERVICE_START_PENDING, NO_ERROR, 2);
    if (application) {
        LogWrite("CService::ServiceMain", "pTarvoApp", 0);
        application->Start();
    }
    SetStatus(SERVICE_RUNNING, NO_ERROR, 0);

    ::WaitForSingleObject(g_hServiceStopEvent, INFINITE);
    FinishStop(application);
}

void CService::FinishStop(CTarvoApplication* application) {
    const bool ended = StopApplication(application);
    // The handler no longer uses the event once the stop is requested.
    if (g_hServiceStopEvent) ::CloseHandle(g_hServiceStopEvent);
    g_hServiceStopEvent = nullptr;
    // Reported before anything that can wait (a line waits for the log lock).
    SetStatus(SERVICE_STOPPED, NO_ERROR, 0);
    if (!ended)
        LogWrite("CService::FinishStop",
                 "Stop not ended after " + std::to_string(kStopBoundMs / 1000) + " s, the service stops without it", 2);
}

bool CService::StopApplication(CTarvoApplication* application) {
    if (!application) return true;
    // Every step of the stop (the detaching waits for a notification under way,
    // the deletion joins the application's threads and unadvises the manager)
    // runs on a thread of its own, so that the SCM hears that the stop goes on,
    // with a check point that rises at every report, whatever step waits.
    HANDLE stopThread = ::CreateThread(nullptr, 0, &StopAndDelete, application, 0, nullptr);
    if (!stopThread) {
        StopAndDelete(application);
        return true;
    }
    const ULONGLONG deadline = ::GetTickCount64() + CClock::ScaleBound(kStopBoundMs);
    DWORD checkPoint = 2;
    while (::WaitForSingleObject(stopThread, kStopReportMs) == WAIT_TIMEOUT) {
        if (::GetTickCount64() >= deadline) {
            // The thread and what it still uses stay alive; the process ends anyway.
            if (HANDLE earlier = s_hUnfinishedStop.exchange(stopThread)) ::CloseHandle(earlier);
            return false;
        }
        SetStatus(SERVICE_STOP_PENDING, NO_ERROR, checkPoint++);
    }
    ::CloseHandle(stopThread);
    return true;
}

bool CService::IsStopUnfinished() {
    HANDLE thread = s_hUnfinishedStop.load();
    return thread != nullptr && ::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

DWORD WINAPI CService::ServiceHandler(DWORD control, DWORD eventType, void* eventData, void* context) {
    CTarvoApplication* application = static_cast<CTarvoApplication*>(context);
    // Controls arrive one after another on the dispatcher thread: once a stop
    // control has been taken, ServiceMain may be deleting the application (and
    // closes the stop event after it), so later controls leave both alone and
    // report nothing: the stop's own reports rise to SERVICE_STOPPED.
    const bool stopRequested = StopRequested();
    bool applicationUsable = application != nullptr && !stopRequested;

    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        if (g_bServiceStopRequested.exchange(true)) break;
        SetStatus(SERVICE_STOP_PENDING, NO_ERROR, 1);
        if (g_hServiceStopEvent) ::SetEvent(g_hServiceStopEvent);
        break;
    case SERVICE_CONTROL_PAUSE:
        if (stopRequested) break;
        LogWrite("CService::ServiceHandler", "SERVICE_CONTROL_PAUSE", 1);
        SetStatus(SERVICE_PAUSE_PENDING, NO_ERROR, 1);
        SetStatus(SERVICE_PAUSED, NO_ERROR, 0);
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (stopRequested) break;
        LogWrite("CService::ServiceHandler", "SERVICE_CONTROL_CONTINUE", 1);
        SetStatus(SERVICE_CONTINUE_PENDING, NO_ERROR, 1);
        SetStatus(SERVICE_RUNNING, NO_ERROR, 0);
        break;
    case SERVICE_CONTROL_POWEREVENT:
        if (eventType == PBT_APMSUSPEND) {
            LogWrite("CService::ServiceHandler", "!-!-! PBT_APMSUSPEND: Entering S4 or Fast shutdown !-!-!", 1);
        } else if (eventType == PBT_APMRESUMEAUTOMATIC) {
            LogWrite("CService::ServiceHandler", "!-!-! PBT_APMRESUMEAUTOMATIC !-!-!", 1);
            // Carried out on a thread of the application's, after the display
            // states handed over before it: the driver's answer must not keep
            // the SCM from delivering the next control.
            if (applicationUsable) application->PostResume();
        } else if (eventType == PBT_POWERSETTINGCHANGE) {
            const POWERBROADCAST_SETTING* setting = static_cast<const POWERBROADCAST_SETTING*>(eventData);
            // The setting GUID is not compared: display state is the only setting registered.
            // Carried out on a thread of the application's: the modem's answer
            // must not keep the SCM from delivering the next control.
            if (applicationUsable && setting && setting->DataLength >= 1)
                application->PostMonitorPower(setting->Data[0] != 0);
        }
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        break;
    case SERVICE_CONTROL_TRIGGEREVENT:
        if (stopRequested) return ERROR_SHUTDOWN_IN_PROGRESS;
        break;
    default:
        break;
    }
    return NO_ERROR;
}

// Names shared by the simulated "Pellarix" services and their control library.
#pragma once

#define SIMPX_PELLARIX "Pellarix"
#define SIMPX_CLIENT "PellarixClient"  // depends on "Pellarix"
#define SIMPX_SERVICES_KEY "SYSTEM\\CurrentControlSet\\Services\\"

// Behaviour, DWORD values directly under each service's own key, read when the
// service starts (start values) and when it is asked to stop (stop values).
#define SIMPX_VALUE_START_PENDING_MS "StartPendingMs"     // time spent start pending; default 0
#define SIMPX_VALUE_START_WAIT_HINT "StartWaitHint"       // wait hint while start pending; default 30000
#define SIMPX_VALUE_START_CHECK_POINTS "StartCheckPoints" // 1: the check point grows; 0: it stays; default 1
#define SIMPX_VALUE_START_FAILS "StartFails"              // 1: ends stopped instead of running; default 0
#define SIMPX_VALUE_STOP_PENDING_MS "StopPendingMs"       // time spent stop pending; default 0
#define SIMPX_VALUE_STOP_WAIT_HINT "StopWaitHint"         // wait hint while stop pending; default 2000
#define SIMPX_VALUE_STOP_CHECK_POINTS "StopCheckPoints"   // as StartCheckPoints; default 1
#define SIMPX_VALUE_STOP_HANGS "StopHangs"                // 1: stays stop pending until released; default 0
#define SIMPX_VALUE_ACCEPT_STOP "AcceptStop"              // 0: does not accept the stop control; default 1
// 1: the service reports stopped and ends at once, whatever it is doing; cleared
// when it starts. The way to end a hung one: Wine's service manager keeps the
// last status of a service whose process was ended.
#define SIMPX_VALUE_RELEASE "Release"
// Written by the service: the stop controls it has received, and the number of
// its dependents that were still active when the last one came.
#define SIMPX_VALUE_STOP_REQUESTS "StopRequests"
#define SIMPX_VALUE_ACTIVE_DEPENDENTS_AT_STOP "ActiveDependentsAtStop"

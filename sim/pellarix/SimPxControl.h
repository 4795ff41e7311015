// Control of the simulated "Pellarix" service and its dependent "PellarixClient"
// for tests: install and remove them, choose how they start and stop, start,
// stop or end them. Every call is safe to repeat and copes with what an earlier,
// interrupted run left behind (services running, hung, or marked for delete).
#pragma once

#include <windows.h>

#include "SimPxNames.h"
#include "SimServiceDependents.h"

namespace simpx {

// How a service behaves the next time it starts or is asked to stop.
struct Behaviour {
    DWORD startPendingMs = 0;
    DWORD startWaitHint = 30000;
    bool startCheckPointsAdvance = true;
    bool startFails = false;  // reports stopped (service-specific error) instead of running
    DWORD stopPendingMs = 0;
    DWORD stopWaitHint = 2000;
    bool stopCheckPointsAdvance = true;
    bool stopHangs = false;   // stays stop pending until Stop ends it
    bool acceptStop = true;   // false: the service manager refuses the stop control
};

// Each returns ERROR_SUCCESS or the Win32 error of the step that failed
// (ERROR_TIMEOUT when a service did not reach its state within 10 s).

// Creates (or re-configures) both demand-start services, "PellarixClient" depending
// on "Pellarix", both stopped, with the default behaviour.
DWORD Install();
// Ends and deletes both. Not installed is success.
DWORD Uninstall();

// Starts the service and waits until it runs.
DWORD Start(const char* name);
// Sends the stop control without waiting.
DWORD RequestStop(const char* name);
// Ends the service at once, whatever it is doing (also a hung or a refusing one),
// and waits until it is stopped. Stopped or not installed is success.
DWORD Stop(const char* name);
// The client first, then "Pellarix".
DWORD StopAll();
// SERVICE_STOPPED ... SERVICE_PAUSED, or 0 when the service cannot be queried.
DWORD QueryState(const char* name);
// Waits until the service reports the state; false after 10 s.
bool WaitForState(const char* name, DWORD state);

bool Configure(const char* name, const Behaviour& behaviour);
bool SetDisabled(const char* name, bool disabled);
// The stop controls the service has received since Install, and how many of its
// dependents were still active when the last one came.
bool GetStopRequests(const char* name, DWORD& count);
bool GetActiveDependentsAtStop(const char* name, DWORD& count);

}  // namespace simpx

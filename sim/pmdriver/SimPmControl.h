// Control of the simulated power-management driver for tests and the demo:
// install it as a kernel driver service, start and stop it, and set the state
// that its devices report. Every call is safe to repeat and copes with what an
// earlier, interrupted run left behind (a service still installed or running,
// one marked for delete).
#pragma once

#include <windows.h>

#include "SimPmNames.h"

namespace simpm {

// Lifecycle. Each returns ERROR_SUCCESS or the Win32 error of the step that failed
// (ERROR_TIMEOUT when the service did not reach its state within 10 s).

// Copies the driver to C:\windows\system32\drivers, creates (or re-configures) the
// demand-start kernel driver service and writes the default state. Leaves it stopped.
DWORD Install();
// Starts the driver and waits until its devices open. Running already is success.
DWORD Start();
// Stops the driver and waits until it is unloaded (its devices then fail to open
// with ERROR_FILE_NOT_FOUND). Not installed or not running is success.
DWORD Stop();
// Stops and deletes the service (its key, state values included) and the driver file.
// Not installed is success.
DWORD Uninstall();
bool IsInstalled();
bool IsRunning();

// State, read by the driver at its next request. Setters and getters fail when the
// driver is not installed; a getter reports the driver's default for an absent value.
bool SetPSensor(bool present, bool detectionOn);
bool SetThermova(bool present, bool unstable);
bool SetRadio(bool on);
bool GetRadio(bool& on);
bool SetWlanReduced(bool reduced);
bool GetWlanReduced(bool& reduced);

// Faults, one of each kind at a time. FailRequest makes DeviceIoControl with the code
// (and only that input word, when given) fail with ERROR_GEN_FAILURE. AnswerRequest
// makes such a request succeed with the given output word and change nothing.
// HoldRequest makes the driver hold such a request, from any process: its
// DeviceIoControl does not return until ReleaseHeld lets it go, while every other
// request is answered. A request let go is answered from the state and faults of that
// moment, as if it came then (a held set changes the state only then). A hold wins
// over the other faults and never lets go by itself. ClearFaults stops further holds
// and keeps what is held.
bool FailRequest(DWORD code);
bool FailRequest(DWORD code, DWORD input);
bool AnswerRequest(DWORD code, DWORD output);
bool AnswerRequest(DWORD code, DWORD input, DWORD output);
bool HoldRequest(DWORD code);
bool HoldRequest(DWORD code, DWORD input);
bool ClearFaults();

// Held requests. ReleaseHeld lets all of them go, or the count oldest (fewer when fewer
// are held); the driver has answered them when it returns. GetHeldCount gives the number
// held now; WaitForHeld waits until at least count are held, false after timeoutMs. A
// stopped driver holds nothing: while it is installed, these succeed with nothing held.
bool ReleaseHeld();
bool ReleaseHeld(DWORD count);
bool GetHeldCount(DWORD& count);
bool WaitForHeld(DWORD count, DWORD timeoutMs);

// The number of device-control requests that have reached the driver so far, held
// ones included.
bool GetRequestCount(DWORD& count);

// No faults, everything held let go (answered from the state before the reset),
// default state, request count 0. Stop and Uninstall end a hold too: the unloading
// driver fails what it holds with ERROR_OPERATION_ABORTED.
bool Reset();

}  // namespace simpm

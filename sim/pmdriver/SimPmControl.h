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
bool FailRequest(DWORD code);
bool FailRequest(DWORD code, DWORD input);
bool AnswerRequest(DWORD code, DWORD output);
bool AnswerRequest(DWORD code, DWORD input, DWORD output);
bool ClearFaults();

// The number of device-control requests the driver has answered or failed so far.
bool GetRequestCount(DWORD& count);

// Default state, no faults, request count 0.
bool Reset();

}  // namespace simpm

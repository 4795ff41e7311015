// The test side of a simulator that lives in another process (a TARVOSVC.exe
// started as a service, a helper program): the start state it reads when it
// is first activated, changes sent through the control key, the status it
// mirrors back and its command log file.
//
//   simmodem::StartState state;
//   state.settings.logFile = L"Z:\\...\\modem.log";
//   CSimModemRemote::WriteStartState(state);         // before the process starts
//   ... start the process, CSimModemRemote::WaitForActivation(pid, 10000) ...
//   CSimModemRemote::SetRadio(0, MBN_RADIO_OFF);     // waits until applied
//   CSimModemRemote::WaitForHeld(1, 10000);          // a hold fault in the start state caught a command
//   CSimModemRemote::ReleaseHeld();
//   auto log = CSimModemRemote::ReadLog(state.settings.logFile);
#pragma once

#include "SimModemTypes.h"
#include "SimRegistryLayout.h"

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

class CSimModemRemote {
public:
    // Replaces the start state (and clears the control and status keys).
    static bool WriteStartState(const simmodem::StartState& state);
    // Removes HKLM\Software\TarvoSim\Modem altogether.
    static bool Clear();

    // Writes one change to the control key and waits until the simulator has
    // applied it; false when it did not within the time-out (the change is then
    // withdrawn) or did not understand it.
    static bool SendChange(const std::wstring& text, DWORD timeoutMs = 5000);
    static bool SetRadio(uint32_t index, int hardware, int software = -1, DWORD timeoutMs = 5000);
    static bool SetRegistration(uint32_t index, uint32_t state, DWORD timeoutMs = 5000);
    static bool RemoveInterface(uint32_t index, DWORD timeoutMs = 5000);
    static bool ArriveInterface(uint32_t index, DWORD timeoutMs = 5000);
    static bool SetTransmitting(uint32_t index, bool transmitting, DWORD timeoutMs = 5000);
    static bool AddFault(const simmodem::FaultSpec& fault, DWORD timeoutMs = 5000);
    static bool ClearFaults(DWORD timeoutMs = 5000);
    // Lets the count oldest held completions go (the change "release;count=n").
    static bool ReleaseHeld(uint32_t count = SIMMODEM_ALL, DWORD timeoutMs = 5000);
    // Polls the status until at least count completions are held.
    static bool WaitForHeld(uint32_t count, DWORD timeoutMs);

    static bool ReadStatus(simreg::Status& status);
    // Polls the status until pred holds; the last status read goes to *last.
    static bool WaitForStatus(const std::function<bool(const simreg::Status&)>& pred, DWORD timeoutMs,
                              simreg::Status* last = nullptr);
    // A simulator in process pid (0: any) took up the start state.
    static bool WaitForActivation(DWORD pid, DWORD timeoutMs);

    // Every line of the log file that parses, in order (empty when there is no file).
    static std::vector<simmodem::LogEntry> ReadLog(const std::wstring& path);
    // Polls the log file until it holds count entries whose op is in opMask.
    static bool WaitForLog(const std::wstring& path, uint32_t opMask, uint32_t count, DWORD timeoutMs,
                           std::vector<simmodem::LogEntry>* log = nullptr);
};

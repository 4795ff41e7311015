// Where the simulator keeps its cross-process state in HKLM (README has the
// full table): the start state it reads when it is first activated, the
// control key it watches for changes, and the status it mirrors back. Both the
// DLL and the control library read and write it through these functions.
#pragma once

#include "SimModemTypes.h"

#include <windows.h>
#include <string>
#include <vector>

namespace simreg {

constexpr const wchar_t* kRootKey = L"Software\\TarvoSim\\Modem";
constexpr const wchar_t* kControlKey = L"Software\\TarvoSim\\Modem\\Control";
constexpr const wchar_t* kStatusKey = L"Software\\TarvoSim\\Modem\\Status";
constexpr const wchar_t* kClassesKey = L"Software\\Classes\\CLSID\\";

// The in-process server entries of both classes under HKLM\Software\Classes\CLSID
// (default value the DLL's path, ThreadingModel "Both").
bool RegisterServer(const std::wstring& dllPath);
bool UnregisterServer();

// Writes the start state (replacing any earlier one, and clearing Control and Status).
bool WriteStartState(const simmodem::StartState& state);
// False when there is no start state (the key is absent).
bool ReadStartState(simmodem::StartState& state);
bool DeleteAll();

struct InterfaceStatus {
    uint32_t present = 0;
    uint32_t hardwareRadio = 0;
    uint32_t softwareRadio = 0;
    uint32_t registerState = 0;
    uint32_t tableIndex = 0;
    uint32_t tableCrc = 0;
    uint32_t sarEnable = 0;
    uint32_t txEnable = 0;
    uint32_t transmitting = 0;
    uint32_t openSessions = 0;
    simmodem::Bytes sarImage;
    simmodem::Bytes sarConfigReply;  // the stored configuration in the CID 1 reply layout
};

struct Status {
    uint32_t pid = 0;
    uint32_t applied = 0;   // changes applied from the control key
    uint32_t rejected = 0;  // changes not understood
    std::wstring lastRejected;
    uint32_t advised[4] = {};  // by SimModemSink
    uint32_t logCount = 0;
    uint32_t held = 0;  // completions held by hold faults
    std::vector<InterfaceStatus> interfaces;
};

bool WriteStatus(const Status& status);
bool ReadStatus(Status& status);

}  // namespace simreg

// The simulated ConnectionMgmt.dll as a test drives it: loaded by full path
// (the instance the product then binds by name) with its folder on the DLL
// search path, reset to an empty module on entry.
#pragma once

#include <windows.h>

#include "SimConnMgmt.h"

#include <string>
#include <vector>

class CSimConnMgmt {
public:
    // folder: relative to the simulators' folder ("" for the full library).
    explicit CSimConnMgmt(const std::wstring& folder = L"");
    ~CSimConnMgmt();
    CSimConnMgmt(const CSimConnMgmt&) = delete;
    CSimConnMgmt& operator=(const CSimConnMgmt&) = delete;

    bool IsLoaded() const { return m_module != nullptr && m_reset != nullptr; }

    void SetTable(const std::vector<SimCmRow>& rows) { m_setTable(rows.data(), static_cast<ULONG>(rows.size())); }
    std::vector<SimCmRow> Table() const;
    ULONG ControlMode() const { return m_getControlMode(); }
    void AddFault(const SimCmFault& fault) { m_addFault(&fault); }
    ULONG CallCount(ULONG call = SIMCM_CALL_ANY) const { return m_getCallCount(call); }
    // Every recorded call of one entry point (or all), in order.
    std::vector<SimCmCallRecord> Calls(ULONG call = SIMCM_CALL_ANY) const;
    void ClearCalls() { m_clearCalls(); }
    ULONG OpenHandles() const { return m_getOpenHandleCount(); }

private:
    HMODULE m_module = nullptr;
    DLL_DIRECTORY_COOKIE m_cookie = nullptr;
    SimCm_ResetFn m_reset = nullptr;
    SimCm_SetModuleTableFn m_setTable = nullptr;
    SimCm_GetModuleTableFn m_getTable = nullptr;
    SimCm_GetControlModeFn m_getControlMode = nullptr;
    SimCm_AddFaultFn m_addFault = nullptr;
    SimCm_GetCallCountFn m_getCallCount = nullptr;
    SimCm_GetCallRecordFn m_getCallRecord = nullptr;
    SimCm_ClearCallsFn m_clearCalls = nullptr;
    SimCm_GetOpenHandleCountFn m_getOpenHandleCount = nullptr;
};

// Removes the simulator's registry start state.
void ClearSimConnMgmtRegistry();

// A fault of one entry point: the calls after skip fail with status (times of
// them, all when 0).
SimCmFault CallFault(ULONG call, ULONG status, ULONG skip = 0, ULONG times = 1);
// A fault of the Tarvo-info requests (reads or writes) that name one row.
SimCmFault RowFault(ULONG call, ULONG status, ULONG tech, ULONG band, ULONG band2);

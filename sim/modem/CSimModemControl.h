// The test side of SimModem.dll in the same process: registers the COM
// server in the prefix, loads the very DLL instance COM uses (same path) and
// calls its SimModem_* exports through a typed C++ face.
//
//   CSimModemControl::Register();
//   CSimModemControl sim;
//   sim.Load();
//   simmodem::StartState state;                       // one Nuvik modem
//   state.interfaces[0].sarEnable = 1;
//   sim.Reset(state);
//   ... CoCreateInstance(CLSID_MbnInterfaceManager, ...) ...
//   sim.WaitForCommands(2);
//   auto log = sim.Log();
#pragma once

#include "SimModemControl.h"
#include "SimModemTypes.h"

#include <windows.h>
#include <string>
#include <vector>

class CSimModemControl {
public:
    CSimModemControl() = default;
    ~CSimModemControl();
    CSimModemControl(const CSimModemControl&) = delete;
    CSimModemControl& operator=(const CSimModemControl&) = delete;

    // This build's simbin\SimModem.dll.
    static std::wstring DefaultDllPath();
    // HKLM\Software\Classes\CLSID\{clsid}\InprocServer32 of both classes.
    static bool Register(const std::wstring& dllPath = DefaultDllPath());
    static bool Unregister();

    // LoadLibraryW + GetProcAddress of every export; false when any is missing.
    bool Load(const std::wstring& dllPath = DefaultDllPath());
    bool IsLoaded() const { return m_module != nullptr; }

    // Settings (the delivery mode among them), interfaces (present ones without arrival events) and
    // faults, after forgetting everything.
    bool Reset(const simmodem::StartState& state = simmodem::StartState());
    // The new interface's index, or -1.
    int AddInterface(const simmodem::InterfaceSpec& spec, bool raiseArrival = true);
    uint32_t InterfaceCount();
    std::wstring InterfaceId(uint32_t index);
    // 1 present, 0 removed, -1 no such interface.
    int IsPresent(uint32_t index);
    bool RemoveInterface(uint32_t index);
    bool ArriveInterface(uint32_t index);
    // MBN_RADIO values; -1 leaves one as it is.
    bool SetRadio(uint32_t index, int hardware, int software = -1);
    bool SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId = nullptr,
                         const wchar_t* providerName = nullptr);
    bool SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer = nullptr,
                  const wchar_t* firmware = nullptr);
    bool SetServices(uint32_t index, const std::vector<std::wstring>& services);
    bool SetTransmitting(uint32_t index, bool transmitting);
    bool SetDiagState(uint32_t index, const SimModemDiagState& state, const simmodem::Bytes* image = nullptr);
    bool AddFault(const simmodem::FaultSpec& fault);
    bool AddFaults(const std::vector<simmodem::FaultSpec>& faults);
    void ClearFaults();
    // A change in the text form of the control key.
    bool ApplyChange(const std::wstring& text);

    std::vector<simmodem::LogEntry> Log();
    uint32_t LogCount();
    bool WaitForLog(uint32_t opMask, uint32_t count, DWORD timeoutMs = 5000);
    // Set and query commands only.
    bool WaitForCommands(uint32_t count, DWORD timeoutMs = 5000) {
        return WaitForLog(SIMMODEM_OPMASK_COMMANDS, count, timeoutMs);
    }
    // Every scheduled event delivered (held completions are not scheduled).
    bool WaitIdle(DWORD timeoutMs = 5000);
    // Completions held by hold faults: the count oldest go out, in the order they were held; the number let go.
    uint32_t ReleaseHeld(uint32_t count = SIMMODEM_ALL);
    uint32_t HeldCount();
    // At least count completions held.
    bool WaitForHeld(uint32_t count, DWORD timeoutMs = 5000);

    bool GetSarConfig(uint32_t index, SimModemSarConfig& config);
    simmodem::Bytes SarImage(uint32_t index);
    bool GetDiagState(uint32_t index, SimModemDiagState& state);
    bool GetTxState(uint32_t index, SimModemTxState& state);
    uint32_t AdvisedCount(uint32_t sink);
    uint32_t ObjectCount(uint32_t kind);
    // SimModemDelivery of the events from now on.
    bool SetDelivery(uint32_t mode);
    uint32_t Delivery();
    uint32_t OpenSessionCount(uint32_t index, const wchar_t* service = nullptr);
    DWORD PrimaryThreadId();
    bool IsDeliveryThread(DWORD threadId);

private:
    HMODULE m_module = nullptr;
    PFN_SimModem_GetApiVersion m_getApiVersion = nullptr;
    PFN_SimModem_Reset m_reset = nullptr;
    PFN_SimModem_AddInterface m_addInterface = nullptr;
    PFN_SimModem_GetInterfaceCount m_getInterfaceCount = nullptr;
    PFN_SimModem_GetInterfaceId m_getInterfaceId = nullptr;
    PFN_SimModem_IsInterfacePresent m_isInterfacePresent = nullptr;
    PFN_SimModem_RemoveInterface m_removeInterface = nullptr;
    PFN_SimModem_ArriveInterface m_arriveInterface = nullptr;
    PFN_SimModem_SetRadio m_setRadio = nullptr;
    PFN_SimModem_SetRegistration m_setRegistration = nullptr;
    PFN_SimModem_SetModel m_setModel = nullptr;
    PFN_SimModem_SetServices m_setServices = nullptr;
    PFN_SimModem_SetTransmitting m_setTransmitting = nullptr;
    PFN_SimModem_SetDiagState m_setDiagState = nullptr;
    PFN_SimModem_AddFault m_addFault = nullptr;
    PFN_SimModem_ClearFaults m_clearFaults = nullptr;
    PFN_SimModem_ApplyChange m_applyChange = nullptr;
    PFN_SimModem_GetLogCount m_getLogCount = nullptr;
    PFN_SimModem_GetLogEntry m_getLogEntry = nullptr;
    PFN_SimModem_WaitForLog m_waitForLog = nullptr;
    PFN_SimModem_WaitIdle m_waitIdle = nullptr;
    PFN_SimModem_GetSarConfig m_getSarConfig = nullptr;
    PFN_SimModem_GetDiagState m_getDiagState = nullptr;
    PFN_SimModem_GetSarImage m_getSarImage = nullptr;
    PFN_SimModem_GetTxState m_getTxState = nullptr;
    PFN_SimModem_GetAdvisedCount m_getAdvisedCount = nullptr;
    PFN_SimModem_GetObjectCount m_getObjectCount = nullptr;
    PFN_SimModem_SetDelivery m_setDelivery = nullptr;
    PFN_SimModem_GetDelivery m_getDelivery = nullptr;
    PFN_SimModem_GetOpenSessionCount m_getOpenSessionCount = nullptr;
    PFN_SimModem_GetPrimaryThreadId m_getPrimaryThreadId = nullptr;
    PFN_SimModem_IsDeliveryThread m_isDeliveryThread = nullptr;
    PFN_SimModem_ReleaseHeld m_releaseHeld = nullptr;
    PFN_SimModem_GetHeldCount m_getHeldCount = nullptr;
    PFN_SimModem_WaitForHeld m_waitForHeld = nullptr;
};

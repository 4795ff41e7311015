// C++ forms of the simulator's start state, faults and log, shared by the DLL
// and the control library (CSimModemControl, CSimModemRemote).
#pragma once

#include "SimModemControl.h"

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

namespace simmodem {

using Bytes = std::vector<uint8_t>;

struct Settings {
    uint32_t completionDelayMs = 1;
    uint32_t rebootRemoveDelayMs = 50;
    uint32_t rebootArriveDelayMs = 100;
    uint32_t frameSize = 500;
    uint32_t handOverMs = 100;
    uint32_t delivery = SIMMODEM_DELIVERY_SAME;  // SimModemDelivery
    std::wstring logFile;  // empty: no file
};

// A delivery mode's name, as the README gives it: "same", "tearoff", "other".
inline const char* DeliveryName(uint32_t delivery) {
    switch (delivery) {
        case SIMMODEM_DELIVERY_SAME: return "same";
        case SIMMODEM_DELIVERY_TEAROFF: return "tearoff";
        default: return "other";
    }
}

struct InterfaceSpec {
    std::wstring interfaceId;  // empty: made from the index
    std::wstring model = L"Nuvik HX730R-GL";
    std::wstring manufacturer = L"Nuvik";
    std::wstring firmware = L"HX730R.01.00";
    std::wstring deviceId = L"351234567890123";
    uint32_t hardwareRadio = 1;
    uint32_t softwareRadio = 1;
    uint32_t registerState = 3;  // MBN_REGISTER_STATE_HOME
    std::wstring providerId = L"26201";
    std::wstring providerName = L"Sim Network";
    std::vector<std::wstring> services = AllServices();
    bool present = true;
    uint32_t maxCommandSize = 4096;
    uint32_t maxDataSize = 4096;
    Bytes sarImage;
    uint32_t tableIndex = 0;
    uint32_t tableCrc = 0;
    uint32_t sarEnable = 0;
    Bytes sarConfig;  // a SAR configuration set payload; empty: the default

    static std::vector<std::wstring> AllServices() {
        return {SIMMODEM_SERVICE_MS_SAR, SIMMODEM_SERVICE_DIAG, SIMMODEM_SERVICE_AUX, SIMMODEM_SERVICE_QMUX};
    }
    // Typical modems of the machines this system runs on.
    static InterfaceSpec Nuvik() { return InterfaceSpec(); }
    static InterfaceSpec Qualcomm() {
        InterfaceSpec s;
        s.model = L"Qualcomm Snapdragon X55 5G";
        s.manufacturer = L"Qualcomm";
        s.firmware = L"SDX55.2.0.1";
        return s;
    }
    static InterfaceSpec Fibocom() {
        InterfaceSpec s;
        s.model = L"Fibocom L860-GL";
        s.manufacturer = L"Fibocom Wireless Inc.";
        s.firmware = L"18500.5001.00.05";
        return s;
    }
};

struct FaultSpec {
    uint32_t kind = SIMMODEM_FAULT_HRESULT;
    uint32_t method = 0;
    uint32_t interfaceIndex = SIMMODEM_ANY;
    std::wstring service;  // empty: any
    uint32_t cid = SIMMODEM_ANY;
    uint32_t op = SIMMODEM_OP_ANY;
    uint32_t sink = SIMMODEM_ANY;
    uint32_t count = SIMMODEM_ALWAYS;
    int32_t hr = 0;
    Bytes reply;
    uint32_t rearriveMs = 0;
    uint32_t delayMs = 0;

    static FaultSpec Fail(uint32_t method, HRESULT hr, uint32_t count = SIMMODEM_ALWAYS) {
        FaultSpec f;
        f.kind = SIMMODEM_FAULT_HRESULT;
        f.method = method;
        f.hr = hr;
        f.count = count;
        return f;
    }
    // "No Mobile Broadband service": both class factories fail at once.
    static std::vector<FaultSpec> NoService(HRESULT hr = static_cast<HRESULT>(0x80040154)) {
        return {Fail(SIMMODEM_METHOD_CREATE_INTERFACE_MANAGER, hr), Fail(SIMMODEM_METHOD_CREATE_DEVICE_SERVICES_MANAGER, hr)};
    }
    static FaultSpec Busy(const std::wstring& service, uint32_t cid, uint32_t count, uint32_t op = SIMMODEM_OP_ANY) {
        FaultSpec f = Completion(SIMMODEM_FAULT_BUSY, service, cid, op, count);
        f.hr = static_cast<int32_t>(0x800700AA);
        return f;
    }
    static FaultSpec Status(const std::wstring& service, uint32_t cid, HRESULT status, uint32_t count = SIMMODEM_ALWAYS,
                            uint32_t op = SIMMODEM_OP_ANY) {
        FaultSpec f = Completion(SIMMODEM_FAULT_STATUS, service, cid, op, count);
        f.hr = status;
        return f;
    }
    static FaultSpec NeverComplete(const std::wstring& service, uint32_t cid, uint32_t count = SIMMODEM_ALWAYS,
                                   uint32_t op = SIMMODEM_OP_ANY) {
        return Completion(SIMMODEM_FAULT_NO_COMPLETION, service, cid, op, count);
    }
    static FaultSpec Reply(const std::wstring& service, uint32_t cid, const Bytes& reply,
                           uint32_t count = SIMMODEM_ALWAYS, uint32_t op = SIMMODEM_OP_ANY) {
        FaultSpec f = Completion(SIMMODEM_FAULT_REPLY, service, cid, op, count);
        f.reply = reply;
        return f;
    }
    // kind: SIMMODEM_FAULT_STRAY_SERVICE, _INTERFACE or _REQUEST; the stray completion carries status.
    static FaultSpec Stray(uint32_t kind, const std::wstring& service, uint32_t cid, HRESULT status,
                           uint32_t count = SIMMODEM_ALWAYS, uint32_t op = SIMMODEM_OP_ANY) {
        FaultSpec f = Completion(kind, service, cid, op, count);
        f.hr = status;
        return f;
    }
    // Carried out as usual; the completion goes out delayMs late, overtaken by any that is due sooner.
    static FaultSpec Delay(const std::wstring& service, uint32_t cid, uint32_t delayMs,
                           uint32_t count = SIMMODEM_ALWAYS, uint32_t op = SIMMODEM_OP_ANY) {
        FaultSpec f = Completion(SIMMODEM_FAULT_DELAY, service, cid, op, count);
        f.delayMs = delayMs;
        return f;
    }
    // Carried out as usual; the completion waits for ReleaseHeld.
    static FaultSpec Hold(const std::wstring& service, uint32_t cid, uint32_t count = SIMMODEM_ALWAYS,
                          uint32_t op = SIMMODEM_OP_ANY) {
        return Completion(SIMMODEM_FAULT_HOLD, service, cid, op, count);
    }
    static FaultSpec RemoveAfter(uint32_t nth, uint32_t rearriveMs = 0, const std::wstring& service = L"",
                                 uint32_t cid = SIMMODEM_ANY) {
        FaultSpec f = Completion(SIMMODEM_FAULT_REMOVE_AFTER, service, cid, SIMMODEM_OP_ANY, nth);
        f.rearriveMs = rearriveMs;
        return f;
    }

private:
    static FaultSpec Completion(uint32_t kind, const std::wstring& service, uint32_t cid, uint32_t op, uint32_t count) {
        FaultSpec f;
        f.kind = kind;
        f.service = service;
        f.cid = cid;
        f.op = op;
        f.count = count;
        return f;
    }
};

struct StartState {
    Settings settings;
    std::vector<InterfaceSpec> interfaces = {InterfaceSpec::Nuvik()};
    std::vector<FaultSpec> faults;
};

struct LogEntry {
    uint32_t sequence = 0;
    uint32_t interfaceIndex = 0;
    uint32_t op = SIMMODEM_OP_ANY;
    uint32_t cid = 0;
    uint32_t requestId = 0;
    std::wstring service;
    Bytes payload;
};

}  // namespace simmodem

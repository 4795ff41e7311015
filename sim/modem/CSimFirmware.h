// What the simulated modem does with a device-service command: the MS SAR
// configuration and transmission status, the diag service's SAR data, enable,
// version and device-root commands. Works on the modem's stored state only;
// the COM side delivers the results.
#pragma once

#include "SimCodec.h"

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

enum class SimServiceKind { MsSar, Diag, Aux, Qmux, Other };

SimServiceKind SimServiceKindOf(const std::wstring& serviceId);

// What the modem keeps, across sessions and reboots (the EFS) unless noted.
struct SimModemStore {
    simcodec::SarConfig sarConfig;
    simcodec::Bytes image;
    uint16_t tableIndex = 0;
    uint16_t tableCrc = 0;
    uint32_t sarEnable = 0;
    // Forgotten on reboot:
    uint32_t readCursor = 0;  // image offset after the last data frame sent
    uint32_t txEnable = 0;
    uint32_t txHysteresis = 0;
    uint32_t transmitting = 0;

    SimModemStore();
    void OnReboot();
};

struct SimCommandResult {
    HRESULT status = S_OK;
    simcodec::Bytes reply;
    // Event notifications that follow the completion on the same service object.
    uint32_t notificationId = 0;
    std::vector<simcodec::Bytes> notifications;
    bool reboot = false;
    // -1 unchanged; 0/1: transmission notifications switched off/on by this command.
    int txNotify = -1;
};

class CSimFirmware {
public:
    static constexpr HRESULT kStatusInvalid = static_cast<HRESULT>(0x80070057);       // E_INVALIDARG
    static constexpr HRESULT kStatusNotSupported = static_cast<HRESULT>(0x80070032);  // ERROR_NOT_SUPPORTED
    static constexpr uint32_t kMaxImage = 16u * 1024 * 1024;

    static SimCommandResult Execute(SimModemStore& store, SimServiceKind kind, bool set, uint32_t cid,
                                    const simcodec::Bytes& payload, uint32_t frameSize);
    static std::vector<uint32_t> SupportedCommands(SimServiceKind kind);
    // The notification the MS SAR service sends when transmission starts or stops.
    static simcodec::Bytes TransmissionNotification(const SimModemStore& store);

private:
    static SimCommandResult MsSar(SimModemStore& store, bool set, uint32_t cid, const simcodec::Bytes& payload);
    static SimCommandResult Diag(SimModemStore& store, bool set, uint32_t cid, const simcodec::Bytes& payload,
                                 uint32_t frameSize);
    static void SarData(SimModemStore& store, const simcodec::Bytes& payload, uint32_t frameSize,
                        SimCommandResult& result);
};

// SAR configuration of the default modem through the SAR-control device
// service (UUID_MS_SAR, MBIM_CID_MS_SAR_CONFIG), and its transmission monitor.
#pragma once

#include <windows.h>
#include <cstdint>
#include <memory>

#include "SarPlatform.h"

// MBIM SAR configuration set: 28 bytes, little-endian u32 fields.
struct SarConfigPayload {
    uint32_t SARMode;           // 0 device-controlled, 1 OS-controlled
    uint32_t SARBackOffStatus;  // 0 disabled, 1 enabled
    uint32_t ElementCount;
    uint32_t StateOffset;  // SARConfigStatesRefList, first pair
    uint32_t StateSize;
    uint32_t SARAntennaIndex;
    uint32_t SARBackOffIndex;
};
static_assert(sizeof(SarConfigPayload) == 28, "SAR configuration set is 28 bytes");

// The first 32 bytes of the modem's reply to a successful set.
struct SarConfigResponse {
    int32_t SARMode;
    int32_t SARBackOffStatus;
    int32_t SARWifiIntegration;
    uint32_t ElementCount;
    uint32_t StateOffset;
    uint32_t StateSize;
    uint32_t SARAntennaIndex;
    uint32_t SARBackOffIndex;
};
static_assert(sizeof(SarConfigResponse) == 32, "SAR configuration reply is decoded from 32 bytes");

// {68223D04-9F6C-4E0F-822D-28441FB72340}
extern "C" const GUID DECLSPEC_SELECTANY UUID_MS_SAR = {
    0x68223D04, 0x9F6C, 0x4E0F, {0x82, 0x2D, 0x28, 0x44, 0x1F, 0xB7, 0x23, 0x40}};
enum : uint32_t { MBIM_CID_MS_SAR_CONFIG = 1 };

extern std::shared_ptr<ISarModem> g_modem;
extern std::shared_ptr<ISarManager> g_sarManager;
// The last Tarvo state the modem accepted, or kTarvoStateUnknown.
extern uint32_t g_dwCurrentTarvoState;
// A set whose outcome is not known (its answer never came, or the stop cut the
// wait short) may or may not have reached the modem: no state equals this, so
// the next EnableTarvo is always sent.
const uint32_t kTarvoStateUnknown = 0xFFFFFFFF;
extern HANDLE g_hTxEvent;
extern uint8_t g_bIsTransmitting;

namespace MBSar {
// 0: the model name is in the 260-character buffer; 1: no default modem after six tries.
int GetModemModel(wchar_t* modelName);
// 0 off, 1 on, 2 no modem.
int GetRadioState();
int InitSAR();
int EnableTarvo(int state, int backoffOn, int antennaIndex, int backoffIndex);
// What the modem holds is no longer known (it arrived, or its radio came on):
// the next EnableTarvo is sent whatever it asks for.
void ForgetTarvoState();
GUID* GetSarServiceId(GUID* id);

int TxStatusMonitor(HANDLE event);
bool IsTransmitting();
void StopTransmitMonitor();
void OnTransmissionStateChanged(const std::shared_ptr<ISarManager>& sender, bool isTransmitting);
}  // namespace MBSar

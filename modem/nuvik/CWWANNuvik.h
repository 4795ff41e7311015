// The modem object of the Nuvik HX730R-GL: at start-up it opens the Kessa
// library's session for the modem's adapter, waits for MBIM readiness, enables
// SAR and brings the module's SAR table in line with the platform's SAR EFS
// file (write, set index and CRC, verify, reboot); back-off itself goes through
// the SAR-control device service like every modem object.
#pragma once

#include "CWWANDevice.h"

#include <cstdint>
#include <string>

class CWWANNuvik : public CWWANDevice {
public:
    explicit CWWANNuvik(std::wstring modelName);
    ~CWWANNuvik() override;

    int Initialize() override;
    int GetHardwareRadioState() override;
    std::string GetCountryCode() override;
    int IsReady() override;
    int RunTarvoHandler(uint8_t state) override;
    int Reserved6(uint32_t value) override;
    int Reserved7() override;
    int Reserved8() override;
    int Reserved9() override;
    std::wstring GetModelName() override;

    int GetUUID();
    int SetSarValueSetting();
    int DoModuleReboot();

protected:
    std::wstring m_strModelName;
    uint16_t m_wFileCrc;
    uint16_t m_wModuleCrc;
    uint32_t m_dwModuleSarIndex;
    uint8_t m_bMbimReady;
    uint8_t m_bRebootNeeded;
    std::string m_strUUID;
    // Set when a write of the SAR EFS file began and has not been verified: the
    // module may already report index 2 and the file's CRC over a bad table, so
    // the next try writes again whatever the module reports.
    uint8_t m_bWriteUnverified;
};

// The modem object of the Foxconn module ("Qualcomm Snapdragon X55 5G"). At
// start-up it makes sure the module holds the platform's SAR band table,
// through the connection-management library; back-off itself is switched
// through the SAR-control device service like every modem object.
#pragma once

#include "CWWANDevice.h"

#include <cstdint>
#include <string>
#include <vector>

class CWWANFoxconn : public CWWANDevice {
public:
    explicit CWWANFoxconn(std::wstring modelName);
    ~CWWANFoxconn() override;

    // 0 only when the table had to be written or the control mode failed, so
    // the caller tries again; 1 also when no library or no module is there.
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

    // 1 when a row read back differs; else the read status of the last row.
    int VerifyTarvoTable();
    // 0 when every row was written; else the first failing status.
    uint32_t FoxconnSetTarvo();
    // 1 when connected to the last candidate device id.
    int GobiConnect(uint8_t option);
    int GobiDisconnect();
    static float BytesToPowerValue(uint8_t low, uint8_t high);

    // Where GobiConnect takes its candidate ids; EnumerateGobiDeviceIds unless
    // replaced (null restores it).
    using DeviceIdSource = std::vector<std::wstring> (*)();
    static void SetDeviceIdSource(DeviceIdSource source);

private:
    std::wstring m_strModelName;
};

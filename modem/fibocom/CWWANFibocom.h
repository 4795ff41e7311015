// The modem object of the Fibocom L850-GL and L860-GL: at start-up it puts the
// modem's body-SAR feature under software control, records the modem's IMEI
// and makes the modem's SAR table the expected one, all through the Fibocom
// library; at run time it switches the back-off through the SAR-control service.
#pragma once

#include "CWWANDevice.h"

#include <string>

class CWWANFibocom : public CWWANDevice {
public:
    // Passes of rewriting a table that does not verify before Initialize fails
    // and leaves the next try to the worker thread.
    static constexpr int kMaxTableRewrites = 3;

    explicit CWWANFibocom(std::wstring modelName);
    ~CWWANFibocom() override;

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

private:
    bool IsImeiUnchanged();
    std::string ReadImeiInfo();
    void WriteImeiInfo();

    std::wstring m_strModelName;
};

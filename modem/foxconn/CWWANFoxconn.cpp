#include "CWWANFoxconn.h"

#include "EnumerateGobiDeviceIds.h"
#include "FoxconnBandTable.h"
#include "Logger.h"
#include "PlatformFlags.h"
#include "cGobiCMDLL.h"

#include <cstdio>
#include <cstring>

namespace {
CWWANFoxconn::DeviceIdSource g_deviceIdSource = nullptr;

const uint8_t kConnectOption = 2;
const uint8_t kTarvoControlMode = 1;

// Log texts are formatted into a buffer of 260 characters.
class CLine {
public:
    template <typename... Args>
    explicit CLine(const char* format, Args... args) {
        std::snprintf(m_text, sizeof(m_text), format, args...);
    }
    const char* c_str() const { return m_text; }

private:
    char m_text[MAX_PATH] = {};
};

void CopyPlatformTable(FoxconnBandRow (&table)[FOXCONN_TBL_ROWS]) {
    std::memcpy(table, FoxconnSelectTable(g_bLumoPlatform, g_bDovraPlatform), sizeof(table));
}

void WriteStdoutLine(const char* text) {
    std::fputs(text, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}
}  // namespace

CWWANFoxconn::CWWANFoxconn(std::wstring modelName) : m_strModelName(std::move(modelName)) {}

CWWANFoxconn::~CWWANFoxconn() = default;

int CWWANFoxconn::GetHardwareRadioState() { return 0; }
std::string CWWANFoxconn::GetCountryCode() { return std::string(); }
int CWWANFoxconn::IsReady() { return 1; }
int CWWANFoxconn::Reserved6(uint32_t) { return 0; }
int CWWANFoxconn::Reserved7() { return 0; }
int CWWANFoxconn::Reserved8() { return 0; }
int CWWANFoxconn::Reserved9() { return 0; }
std::wstring CWWANFoxconn::GetModelName() { return m_strModelName; }

int CWWANFoxconn::RunTarvoHandler(uint8_t state) {
    static const TarvoArgs kTarvoOn = {1, 65535, 2};
    // Off keeps back-off status 1 and only drops to back-off index 1.
    static const TarvoArgs kTarvoOff = {1, 65535, 1};
    return RunTarvoCommand("CWWANFoxconn::RunTarvoHandler", state, kTarvoOn, kTarvoOff);
}

void CWWANFoxconn::SetDeviceIdSource(DeviceIdSource source) { g_deviceIdSource = source; }

float CWWANFoxconn::BytesToPowerValue(uint8_t low, uint8_t high) {
    return static_cast<float>(high * 256 + low) / 10.0f;
}

int CWWANFoxconn::Initialize() {
    const char* fn = "CWWANFoxconn::Initialize";
    int result = 1;
    if (g_GobiCMDLL.Initialize() && GobiConnect(kConnectOption) == 1) {
        if (VerifyTarvoTable() != 0) {
            LogWrite(fn, "SAR Table does not match. re-configuring...", 0);
            if (FoxconnSetTarvo() != 0) LogWrite(fn, "Failed to set Tarvo table.", 2);
            // Also after a complete write: the next try reads the table back.
            result = 0;
        } else {
            LogWrite(fn, "SAR Table Configuration is match.", 0);
        }
        std::string mode = std::to_string(kTarvoControlMode);
        if (g_GobiCMDLL.DMSSetTarvoCtlMode(kTarvoControlMode) != 0) {
            LogWrite(fn, "Failed to set Tarvo Control Mode: " + mode, 0);
            result = 0;
        } else {
            LogWrite(fn, "Succeed to set Tarvo Control Mode: " + mode, 0);
        }
        GobiDisconnect();
    }
    g_GobiCMDLL.Reset();
    return result;
}

int CWWANFoxconn::VerifyTarvoTable() {
    const char* fn = "CWWANFoxconn::VerifyTarvoTable";
    FoxconnBandRow table[FOXCONN_TBL_ROWS];
    LogWrite(fn, CLine("foxconn_tbl array size is ==> %d", static_cast<int>(sizeof(table))).c_str(), 1);
    CopyPlatformTable(table);

    int status = 1;
    bool differs = false;
    for (const FoxconnBandRow& row : table) {
        const char* name = FoxconnTechName(row.tech);
        const int band = row.band;
        const int band2 = row.band2;
        uint8_t request[FOXCONN_REQUEST_MAX];
        size_t length = FoxconnBuildReadRequest(row, request);
        uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
        uint32_t received = 0;
        uint32_t readStatus =
            g_GobiCMDLL.DMSGetTarvoInfo(request, response, static_cast<uint32_t>(length), &received);
        uint16_t value1 = 0, value2 = 0;
        // A reply too short to hold the two values is no reading.
        if (readStatus == 0 && !FoxconnParseReadResponse(response, received, value1, value2))
            readStatus = GOBI_STATUS_BAD_DATA;
        status = static_cast<int>(readStatus);
        if (readStatus != 0) {
            LogWrite(fn,
                     CLine("Read %s%d BN%d value from device has failed! Error code is %lu", name, band, band2,
                           static_cast<unsigned long>(readStatus))
                         .c_str(),
                     2);
            continue;
        }

        const int moduleValue1 = value1, moduleValue2 = value2;
        const int tableValue1 = row.value1, tableValue2 = row.value2;
        std::string moduleText, tableText;
        if (row.tech == FOXCONN_TECH_SA) {
            moduleText = CLine("WWAN Values: %s%d N%d %d %d ", name, band, band2, moduleValue1, moduleValue2).c_str();
            tableText = CLine("Tarvo Values : %s%d N%d %d %d ", name, band, band2, tableValue1, tableValue2).c_str();
        } else if (row.tech == FOXCONN_TECH_ENDC) {
            moduleText = CLine("WWAN Values: %s%d B%d %d %d ", name, band, band2, moduleValue1, moduleValue2).c_str();
            tableText = CLine("Tarvo Values : %s%d B%d %d %d ", name, band, band2, tableValue1, tableValue2).c_str();
        } else {
            moduleText = CLine("WWAN Values: %s%d %d %d ", name, band, moduleValue1, moduleValue2).c_str();
            tableText = CLine("Tarvo Values : %s%d %d %d ", name, band, tableValue1, tableValue2).c_str();
        }
        LogWrite(fn, moduleText, 0);
        if (value1 != row.value1 || value2 != row.value2) {
            differs = true;
            LogWrite(fn, tableText, 2);
        }
    }
    return differs ? 1 : status;
}

uint32_t CWWANFoxconn::FoxconnSetTarvo() {
    const char* fn = "CWWANFoxconn::FoxconnSetTarvo";
    FoxconnBandRow table[FOXCONN_TBL_ROWS];
    LogWrite(fn, CLine("foxconn_tbl array size is ==> %d", static_cast<int>(sizeof(table))).c_str(), 1);
    CopyPlatformTable(table);

    uint32_t status = 0;
    for (const FoxconnBandRow& row : table) {
        const char* name = FoxconnTechName(row.tech);
        const int band = row.band;
        const int band2 = row.band2;
        const int value1 = row.value1, value2 = row.value2;
        uint8_t request[FOXCONN_REQUEST_MAX];
        size_t length = FoxconnBuildWriteRequest(row, request);
        uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
        status = g_GobiCMDLL.DMSSetTarvoInfo(request, response, static_cast<uint32_t>(length));
        const unsigned long code = status;
        if (status != 0) {
            LogWrite(fn, CLine("Write %s%d  value to device has failed! Error code: %lu", name, band, code).c_str(), 2);
            return status;
        }
        if (row.tech == FOXCONN_TECH_SA)
            LogWrite(fn, CLine("Write %s%d N%d %d %d status: %lu", name, band, band2, value1, value2, code).c_str(), 0);
        else if (row.tech == FOXCONN_TECH_ENDC)
            LogWrite(fn, CLine("Write %s%d B%d %d %d status: %lu", name, band, band2, value1, value2, code).c_str(), 0);
        else
            LogWrite(fn, CLine("Write %s%d %d %d status: %lu", name, band, value1, value2, code).c_str(), 0);
    }
    return status;
}

int CWWANFoxconn::GobiConnect(uint8_t option) {
    std::vector<std::wstring> ids = g_deviceIdSource ? g_deviceIdSource() : EnumerateGobiDeviceIds();
    std::wstring id = ids.empty() ? std::wstring() : ids.back();
    if (id.empty()) {
        WriteStdoutLine("Get GUID : Gobiconnect is Failed.... ");
        return 0;
    }
    if (g_GobiCMDLL.Connect(id.c_str(), option) == 0) return 1;
    WriteStdoutLine("Failed to connect device.");
    return 0;
}

int CWWANFoxconn::GobiDisconnect() {
    g_GobiCMDLL.Disconnect();
    return 0;
}

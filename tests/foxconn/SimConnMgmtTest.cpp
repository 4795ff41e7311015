// The simulated library's registry start state and request log: what a
// separately started service relies on, driven here through the product.
#include <gtest/gtest.h>

#include "CWWANFoxconn.h"
#include "ExpectedBandTables.h"
#include "SimConnMgmtClient.h"
#include "TestSupport.h"
#include "cGobiCMDLL.h"

#include <sstream>
#include <string>
#include <vector>

namespace {
const char kKey[] = "Software\\TarvoSim\\ConnectionMgmt";

std::vector<std::wstring> OneCandidate() { return {L"EXT_QMUX:{SIM-1}"}; }

std::vector<BYTE> Bytes(const std::vector<SimCmRow>& rows) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(rows.data());
    return std::vector<BYTE>(begin, begin + rows.size() * sizeof(SimCmRow));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}

std::vector<BYTE> RegistryBinary(const char* name) {
    DWORD size = 0;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_BINARY, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::vector<BYTE> data(size);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_BINARY, nullptr, data.data(), &size) !=
        ERROR_SUCCESS)
        return {};
    data.resize(size);
    return data;
}

class SimStartState : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSimConnMgmtRegistry();
        CWWANFoxconn::SetDeviceIdSource(OneCandidate);
        m_logPath = testsupport::BuildPathA("tests\\connmgmt-requests-" + std::to_string(::GetCurrentProcessId()) +
                                            ".log");
        testsupport::RemoveFile(std::wstring(m_logPath.begin(), m_logPath.end()));
    }
    void TearDown() override {
        CWWANFoxconn::SetDeviceIdSource(nullptr);
        g_GobiCMDLL.Reset();
        ClearSimConnMgmtRegistry();
        testsupport::RemoveFile(std::wstring(m_logPath.begin(), m_logPath.end()));
    }

    std::string m_logPath;
    CWWANFoxconn m_modem{L"Qualcomm Snapdragon X55 5G"};
};

TEST_F(SimStartState, RegistryTableAndFaultsReachTheModuleAndEveryCallIsLogged) {
    std::vector<SimCmRow> module = ExpectedBandTable(false);
    module[3].value2 = 1;  // WCDMA B5
    SimCmFault fault = RowFault(SIMCM_CALL_GET_TARVO_INFO, 66, 2, 3, 0);
    const BYTE* faultBytes = reinterpret_cast<const BYTE*>(&fault);
    ASSERT_TRUE(testsupport::SetBinary(kKey, "ModuleTable", Bytes(module)));
    ASSERT_TRUE(testsupport::SetBinary(kKey, "Faults", std::vector<BYTE>(faultBytes, faultBytes + sizeof(fault))));
    ASSERT_TRUE(testsupport::SetString(kKey, "RequestLog", m_logPath));
    CSimConnMgmt sim;

    EXPECT_EQ(m_modem.Initialize(), 0);

    std::vector<std::string> lines =
        SplitLines(testsupport::ReadFileText(std::wstring(m_logPath.begin(), m_logPath.end())));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "GobiConnectW status=0 handle=0x5100 timeout=0 request= id=EXT_QMUX:{SIM-1} options=2,0,0,0");
    EXPECT_EQ(CountPrefix(lines, "DMSGetTarvoInfo status=0 handle=0x5100 timeout=5000 "), 180u);
    EXPECT_EQ(CountPrefix(lines, "DMSGetTarvoInfo status=66 handle=0x5100 timeout=5000 request=01010002020100030302"
                                 "00ffff tech=2 band=3"),
              1u);
    EXPECT_EQ(CountPrefix(lines, "DMSSetTarvoInfo status=0 handle=0x5100 timeout=2000 "), 181u);
    EXPECT_EQ(CountPrefix(lines, "DMSSetTarvoInfo status=0 handle=0x5100 timeout=2000 "
                                 "request=0101000102010001030200ffff0401000007050002f500af00 tech=1 band=1 band2=0 "
                                 "count=2 value1=245 value2=175"),
              1u);
    EXPECT_EQ(CountPrefix(lines, "DMSSetTarvoCtlMode status=0 handle=0x5100 timeout=10000 request=01010001 mode=1"),
              1u);
    EXPECT_EQ(lines.back(), "GobiDisconnect status=0 handle=0x5100 timeout=0 request=");
    EXPECT_EQ(lines.size(), 1u + 181u + 181u + 1u + 1u);
}

// With "Persist" the module outlives the library: the binding unloads it after
// every start-up, and the next load finds the table that was written.
TEST_F(SimStartState, PersistedModuleKeepsItsTableAcrossLoads) {
    ASSERT_TRUE(testsupport::SetDword(kKey, "Persist", 1));
    ASSERT_TRUE(testsupport::SetString(kKey, "RequestLog", m_logPath));
    DLL_DIRECTORY_COOKIE cookie = ::AddDllDirectory(testsupport::SimDirW().c_str());
    ASSERT_NE(cookie, nullptr);

    EXPECT_EQ(m_modem.Initialize(), 0);
    EXPECT_EQ(::GetModuleHandleW(L"ConnectionMgmt.dll"), nullptr) << "the binding unloaded the library";
    EXPECT_EQ(RegistryBinary("ModuleTable"), Bytes(ExpectedBandTable(false)));
    DWORD mode = 0;
    EXPECT_TRUE(testsupport::GetDword(kKey, "ControlMode", mode));
    EXPECT_EQ(mode, 1u);

    testsupport::RemoveFile(std::wstring(m_logPath.begin(), m_logPath.end()));
    EXPECT_EQ(m_modem.Initialize(), 1);
    std::vector<std::string> lines =
        SplitLines(testsupport::ReadFileText(std::wstring(m_logPath.begin(), m_logPath.end())));
    EXPECT_EQ(CountPrefix(lines, "DMSGetTarvoInfo status=0 "), 181u);
    EXPECT_EQ(CountPrefix(lines, "DMSSetTarvoInfo "), 0u);
    ::RemoveDllDirectory(cookie);
}
}  // namespace

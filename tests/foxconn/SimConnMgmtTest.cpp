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
// The simulator must refuse what a real module would not take, or the
// driver's requests would pass unchecked.
TEST(SimDecoding, OnlyWellFormedRowRequestsAreTaken) {
    ClearSimConnMgmtRegistry();
    CSimConnMgmt sim;
    ASSERT_TRUE(sim.IsLoaded());
    HMODULE module = ::GetModuleHandleW(L"ConnectionMgmt.dll");
    using Connect = ULONG (*)(const wchar_t*, ULONG*, ULONG*, ULONGLONG*);
    using Request = ULONG (*)(ULONGLONG, ULONG, ULONG, const BYTE*, ULONG*, BYTE*);
    auto connect = reinterpret_cast<Connect>(::GetProcAddress(module, "GobiConnectW"));
    auto read = reinterpret_cast<Request>(::GetProcAddress(module, "DMSGetTarvoInfo"));
    auto write = reinterpret_cast<Request>(::GetProcAddress(module, "DMSSetTarvoInfo"));
    ULONG count = 1, options[4] = {2, 0, 0, 0};
    ULONGLONG handle = 0;
    ASSERT_EQ(connect(L"sim", &count, options, &handle), 0u);

    using Bytes = std::vector<BYTE>;
    const Bytes key = {1, 1, 0, 2, 2, 1, 0, 3, 3, 2, 0, 0xFF, 0xFF};
    auto with = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Bytes band2 = {4, 1, 0, 0};
    const Bytes values = {7, 5, 0, 2, 0xF0, 0, 0xB4, 0};
    struct {
        const char* what;
        bool isWrite;
        Bytes request;
        ULONG status;
    } cases[] = {
        {"write of a new row", true, with(with(key, band2), values), 0},
        {"read of that row", false, key, 0},
        {"read of a row the module lacks", false, {1, 1, 0, 2, 2, 1, 0, 4, 3, 2, 0, 0xFF, 0xFF}, SIMCM_E_NOT_FOUND},
        {"combination read without band2", false, {1, 1, 0, 3, 2, 1, 0, 1, 3, 2, 0, 0xFF, 0xFF}, SIMCM_E_MALFORMED},
        {"reserved element not FF FF", false, {1, 1, 0, 2, 2, 1, 0, 3, 3, 2, 0, 0xFF, 0x00}, SIMCM_E_MALFORMED},
        {"element running past the end", false, {1, 1, 0, 2, 2, 1, 0, 3, 3, 2, 0, 0xFF}, SIMCM_E_MALFORMED},
        {"zero padding after the elements", false, with(key, {0, 0, 0, 0}), SIMCM_E_MALFORMED},
        {"write with one value", true, with(with(key, band2), {7, 3, 0, 1, 0xF0, 0}), SIMCM_E_MALFORMED},
        {"write without values", true, with(key, band2), SIMCM_E_MALFORMED},
        {"read carrying values", false, with(key, values), SIMCM_E_MALFORMED},
    };
    for (const auto& c : cases) {
        BYTE response[1024] = {};
        ULONG length = sizeof(response);
        ULONG status = (c.isWrite ? write : read)(handle, 1000, static_cast<ULONG>(c.request.size()), c.request.data(),
                                                  &length, response);
        EXPECT_EQ(status, c.status) << c.what;
    }
    // The read reply: values as u16 LE at bytes 10 and 12.
    BYTE response[1024] = {};
    ULONG length = sizeof(response);
    ASSERT_EQ(read(handle, 1000, static_cast<ULONG>(key.size()), key.data(), &length, response), 0u);
    EXPECT_EQ(length, 14u);
    EXPECT_EQ(response[10] | (response[11] << 8), 240);
    EXPECT_EQ(response[12] | (response[13] << 8), 180);
    EXPECT_EQ(read(handle + 1, 1000, static_cast<ULONG>(key.size()), key.data(), &length, response),
              static_cast<ULONG>(SIMCM_E_NOT_CONNECTED));
}
}  // namespace

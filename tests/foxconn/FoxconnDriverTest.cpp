// The Foxconn driver's start-up against the simulated connection-management
// library: what it reads, what it writes, and what it makes of failures.
#include <gtest/gtest.h>

#include "CSimModemControl.h"
#include "CWWANFoxconn.h"
#include "EnumerateGobiDeviceIds.h"
#include "ExpectedBandTables.h"
#include "FoxconnTestSupport.h"
#include "PlatformFlags.h"
#include "SimConnMgmtClient.h"
#include "cGobiCMDLL.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {
std::vector<std::wstring> TwoCandidates() { return {L"{5e0d2b1c-90aa-4c1e-8f0e-6a3c9b2d1e77}_1", L"EXT_QMUX:{SIM-1}"}; }
std::vector<std::wstring> NoCandidate() { return {}; }

bool SameKey(const SimCmCallRecord& call, const SimCmRow& row) {
    ULONG band2 = call.band2 == SIMCM_ABSENT ? 0 : call.band2;
    return call.tech == row.tech && call.band == row.band && band2 == row.band2;
}

std::string RowText(const SimCmRow& row) {
    return std::to_string(row.tech) + "/" + std::to_string(row.band) + "/" + std::to_string(row.band2) + " " +
           std::to_string(row.value1) + " " + std::to_string(row.value2);
}

// Row by row, so a failure names the rows that differ.
void ExpectRows(const std::vector<SimCmRow>& actual, const std::vector<SimCmRow>& expected) {
    EXPECT_EQ(actual.size(), expected.size()) << "rows";
    for (size_t i = 0; i < actual.size() && i < expected.size(); ++i)
        EXPECT_EQ(RowText(actual[i]), RowText(expected[i])) << "row " << i;
}

const char kInit[] = "CWWANFoxconn::Initialize\t";
const char kVerify[] = "CWWANFoxconn::VerifyTarvoTable\t";
const char kSet[] = "CWWANFoxconn::FoxconnSetTarvo\t";

class FoxconnDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSimConnMgmtRegistry();
        m_sim.reset(new CSimConnMgmt());
        ASSERT_TRUE(m_sim->IsLoaded());
        g_bLumoPlatform = false;
        g_bDovraPlatform = false;
        CWWANFoxconn::SetDeviceIdSource(TwoCandidates);
    }
    void TearDown() override {
        CWWANFoxconn::SetDeviceIdSource(nullptr);
        g_GobiCMDLL.Reset();
    }

    // Binds and connects the library as Initialize does, for the steps it runs
    // while connected.
    void Connect() {
        ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
        ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    }

    std::unique_ptr<CSimConnMgmt> m_sim;
    CLogCapture m_log;
    CWWANFoxconn m_modem{L"Qualcomm Snapdragon X55 5G"};
};

TEST_F(FoxconnDriver, MatchingModuleIsReadOnceAndGetsControlModeOne) {
    const std::vector<SimCmRow> table = ExpectedBandTable(false);
    m_sim->SetTable(table);

    EXPECT_EQ(m_modem.Initialize(), 1);

    std::vector<SimCmCallRecord> connects = m_sim->Calls(SIMCM_CALL_GOBI_CONNECT);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_STREQ(connects[0].deviceId, L"EXT_QMUX:{SIM-1}") << "the last candidate id";
    EXPECT_EQ(connects[0].countIn, 1u);
    EXPECT_EQ(std::vector<ULONG>(connects[0].options, connects[0].options + 4), (std::vector<ULONG>{2, 0, 0, 0}));
    const ULONGLONG handle = connects[0].handle;

    std::vector<SimCmCallRecord> reads = m_sim->Calls(SIMCM_CALL_GET_TARVO_INFO);
    ASSERT_EQ(reads.size(), table.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        const bool combination = table[i].tech == 3 || table[i].tech == 4;
        EXPECT_TRUE(SameKey(reads[i], table[i])) << "read " << i << " names " << RowText(table[i]);
        EXPECT_EQ(reads[i].requestLength, combination ? 17u : 13u) << "read " << i;
        EXPECT_EQ(reads[i].timeoutMs, 5000u);
        EXPECT_EQ(reads[i].responseSize, 1024u);
        EXPECT_EQ(reads[i].handle, handle);
    }
    EXPECT_EQ(m_sim->CallCount(SIMCM_CALL_SET_TARVO_INFO), 0u);

    std::vector<SimCmCallRecord> modes = m_sim->Calls(SIMCM_CALL_SET_CTL_MODE);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(std::vector<BYTE>(modes[0].request, modes[0].request + modes[0].requestLength),
              (std::vector<BYTE>{0x01, 0x01, 0x00, 0x01}));
    EXPECT_EQ(modes[0].timeoutMs, 10000u);
    EXPECT_FALSE(modes[0].hasResponseBuffer);
    EXPECT_EQ(m_sim->ControlMode(), 1u);

    std::vector<SimCmCallRecord> disconnects = m_sim->Calls(SIMCM_CALL_GOBI_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].handle, handle);
    EXPECT_EQ(m_sim->OpenHandles(), 0u);
    EXPECT_FALSE(g_GobiCMDLL.IsLoaded()) << "the binding lets go of the library after start-up";

    for (const std::string& line : {
             std::string(kVerify) + "DEBUG\tfoxconn_tbl array size is ==> 1810",
             std::string(kVerify) + "INFO\tWWAN Values: WCDMA B1 245 175 ",
             std::string(kVerify) + "INFO\tWWAN Values: LTE B30 230 155 ",
             std::string(kVerify) + "INFO\tWWAN Values: NSA N78 270 270 ",
             std::string(kVerify) + "INFO\tWWAN Values: SA N1 N5 240 240 ",
             std::string(kVerify) + "INFO\tWWAN Values: ENDC B5 B1 240 190 ",
             std::string(kInit) + "INFO\tSAR Table Configuration is match.",
             std::string(kInit) + "INFO\tSucceed to set Tarvo Control Mode: 1",
         })
        EXPECT_TRUE(m_log.HasLine(line)) << line;
    EXPECT_TRUE(m_log.OfLevel("ERROR").empty()) << m_log.OfLevel("ERROR").front();
}

TEST_F(FoxconnDriver, DifferingRowsRewriteTheWholeTableAndTheNextTryMatches) {
    const std::vector<SimCmRow> table = ExpectedBandTable(false);
    std::vector<SimCmRow> module = table;
    module[0].value2 = 170;   // WCDMA B1
    module[52].value1 = 100;  // ENDC B5 B1
    m_sim->SetTable(module);

    EXPECT_EQ(m_modem.Initialize(), 0) << "a rewritten table is checked again on the next try";

    std::vector<SimCmCallRecord> writes = m_sim->Calls(SIMCM_CALL_SET_TARVO_INFO);
    ASSERT_EQ(writes.size(), table.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].requestLength, 25u) << "write " << i;
        EXPECT_EQ(writes[i].timeoutMs, 2000u);
        EXPECT_EQ(writes[i].responseSize, 1024u);
        EXPECT_TRUE(SameKey(writes[i], table[i]) && writes[i].valueCount == 2 && writes[i].value1 == table[i].value1 &&
                    writes[i].value2 == table[i].value2)
            << "write " << i << " should carry " << RowText(table[i]);
    }
    ExpectRows(m_sim->Table(), table);
    EXPECT_EQ(m_sim->ControlMode(), 1u) << "the control mode is set after a rewrite too";
    EXPECT_EQ(m_sim->OpenHandles(), 0u);

    for (const std::string& line : {
             std::string(kVerify) + "INFO\tWWAN Values: WCDMA B1 245 170 ",
             std::string(kVerify) + "ERROR\tTarvo Values : WCDMA B1 245 175 ",
             std::string(kVerify) + "INFO\tWWAN Values: ENDC B5 B1 100 190 ",
             std::string(kVerify) + "ERROR\tTarvo Values : ENDC B5 B1 240 190 ",
             std::string(kInit) + "INFO\tSAR Table does not match. re-configuring...",
             std::string(kSet) + "DEBUG\tfoxconn_tbl array size is ==> 1810",
             std::string(kSet) + "INFO\tWrite WCDMA B1 245 175 status: 0",
             std::string(kSet) + "INFO\tWrite NSA N78 270 270 status: 0",
             std::string(kSet) + "INFO\tWrite SA N1 N5 240 240 status: 0",
             std::string(kSet) + "INFO\tWrite ENDC B5 B1 240 190 status: 0",
             std::string(kInit) + "INFO\tSucceed to set Tarvo Control Mode: 1",
         })
        EXPECT_TRUE(m_log.HasLine(line)) << line;
    EXPECT_EQ(m_log.OfLevel("ERROR").size(), 2u);

    m_sim->ClearCalls();
    m_log.Clear();
    EXPECT_EQ(m_modem.Initialize(), 1);
    EXPECT_EQ(m_sim->CallCount(SIMCM_CALL_GET_TARVO_INFO), table.size());
    EXPECT_EQ(m_sim->CallCount(SIMCM_CALL_SET_TARVO_INFO), 0u);
    EXPECT_TRUE(m_log.HasLine(std::string(kInit) + "INFO\tSAR Table Configuration is match."));
}

struct PlatformCase {
    bool lumo, dovra, expectDovra;
};

class FoxconnPlatformTable : public FoxconnDriver, public ::testing::WithParamInterface<PlatformCase> {};

// The rows that reach the module, against an independent copy of the table.
TEST_P(FoxconnPlatformTable, EmptyModuleReceivesThePlatformsTable) {
    g_bLumoPlatform = GetParam().lumo;
    g_bDovraPlatform = GetParam().dovra;

    EXPECT_EQ(m_modem.Initialize(), 0);
    ExpectRows(m_sim->Table(), ExpectedBandTable(GetParam().expectDovra));
    EXPECT_EQ(m_modem.Initialize(), 1);
}

INSTANTIATE_TEST_SUITE_P(Flags, FoxconnPlatformTable,
                         ::testing::Values(PlatformCase{false, false, false}, PlatformCase{true, false, false},
                                           PlatformCase{false, true, true}, PlatformCase{true, true, false}),
                         [](const ::testing::TestParamInfo<PlatformCase>& info) {
                             return std::string(info.param.lumo ? "Lumo" : "NoLumo") +
                                    (info.param.dovra ? "Dovra" : "NoDovra");
                         });

TEST_F(FoxconnDriver, ReadFailuresCountOnlyOnTheLastRow) {
    const std::vector<SimCmRow> table = ExpectedBandTable(false);
    struct {
        const char* what;
        SimCmFault fault;
        int differingRow;  // -1: none
        int expected;
    } cases[] = {
        {"last row", RowFault(SIMCM_CALL_GET_TARVO_INFO, 77, 4, 66, 71), -1, 77},
        {"181st read", CallFault(SIMCM_CALL_GET_TARVO_INFO, 88, 180, 1), -1, 88},
        {"first row", RowFault(SIMCM_CALL_GET_TARVO_INFO, 77, 1, 1, 0), -1, 0},
        {"a combination in the middle", RowFault(SIMCM_CALL_GET_TARVO_INFO, 77, 3, 8, 41), -1, 0},
        {"every read but the last", CallFault(SIMCM_CALL_GET_TARVO_INFO, 5, 0, 180), -1, 0},
        {"last row, with a difference elsewhere", RowFault(SIMCM_CALL_GET_TARVO_INFO, 77, 4, 66, 71), 12, 1},
        {"last row answered without its values", RowFault(SIMCM_CALL_GET_TARVO_INFO, 0, 4, 66, 71), -1,
         static_cast<int>(GOBI_STATUS_BAD_DATA)},
    };
    for (const auto& c : cases) {
        CSimConnMgmt sim;  // a fresh instance of the same library: back to an empty module
        std::vector<SimCmRow> module = table;
        if (c.differingRow >= 0) module[c.differingRow].value2 += 5;
        sim.SetTable(module);
        sim.AddFault(c.fault);
        Connect();
        EXPECT_EQ(m_modem.VerifyTarvoTable(), c.expected) << c.what;
        EXPECT_EQ(sim.CallCount(SIMCM_CALL_GET_TARVO_INFO), table.size()) << c.what << ": a failed read goes on";
        EXPECT_EQ(sim.CallCount(SIMCM_CALL_SET_TARVO_INFO), 0u) << c.what;
        g_GobiCMDLL.Disconnect();
        g_GobiCMDLL.Reset();
    }
    EXPECT_TRUE(m_log.HasLine(std::string(kVerify) +
                          "ERROR\tRead ENDC B66 BN71 value from device has failed! Error code is 77"));
    EXPECT_TRUE(m_log.HasLine(std::string(kVerify) +
                          "ERROR\tRead WCDMA B1 BN0 value from device has failed! Error code is 77"));
    EXPECT_TRUE(m_log.HasLine(std::string(kVerify) +
                          "ERROR\tRead ENDC B66 BN71 value from device has failed! Error code is 4294967295"));
}

TEST_F(FoxconnDriver, FirstFailedWriteStopsTheWrite) {
    m_sim->AddFault(CallFault(SIMCM_CALL_SET_TARVO_INFO, 55, 10, 1));

    EXPECT_EQ(m_modem.Initialize(), 0);
    EXPECT_EQ(m_sim->CallCount(SIMCM_CALL_SET_TARVO_INFO), 11u);
    EXPECT_EQ(m_sim->Table().size(), 10u);
    EXPECT_TRUE(m_log.HasLine(std::string(kSet) + "ERROR\tWrite LTE B3  value to device has failed! Error code: 55"));
    EXPECT_TRUE(m_log.HasLine(std::string(kInit) + "ERROR\tFailed to set Tarvo table."));
    EXPECT_EQ(m_sim->ControlMode(), 1u);
    EXPECT_EQ(m_sim->OpenHandles(), 0u);

    // Called on its own it returns the failing status.
    CSimConnMgmt sim;
    sim.AddFault(CallFault(SIMCM_CALL_SET_TARVO_INFO, 56, 3, 1));
    Connect();
    EXPECT_EQ(m_modem.FoxconnSetTarvo(), 56u);
    EXPECT_EQ(sim.CallCount(SIMCM_CALL_SET_TARVO_INFO), 4u);
}

TEST_F(FoxconnDriver, ControlModeFailureFailsInitialize) {
    m_sim->SetTable(ExpectedBandTable(false));
    m_sim->AddFault(CallFault(SIMCM_CALL_SET_CTL_MODE, 9));

    EXPECT_EQ(m_modem.Initialize(), 0);
    EXPECT_TRUE(m_log.HasLine(std::string(kInit) + "INFO\tSAR Table Configuration is match."));
    EXPECT_TRUE(m_log.HasLine(std::string(kInit) + "INFO\tFailed to set Tarvo Control Mode: 1"));
    EXPECT_EQ(m_sim->OpenHandles(), 0u);
}

TEST_F(FoxconnDriver, WithoutAConnectionTheModuleIsLeftAlone) {
    struct {
        const char* what;
        CWWANFoxconn::DeviceIdSource source;
        bool failConnect;
        const char* output;
    } cases[] = {
        {"no candidate id", NoCandidate, false, "Get GUID : Gobiconnect is Failed.... \n"},
        {"connect refused", TwoCandidates, true, "Failed to connect device.\n"},
    };
    for (const auto& c : cases) {
        CSimConnMgmt sim;
        sim.SetTable(ExpectedBandTable(true));
        if (c.failConnect) sim.AddFault(CallFault(SIMCM_CALL_GOBI_CONNECT, 3));
        CWWANFoxconn::SetDeviceIdSource(c.source);

        CStdoutCapture output;
        EXPECT_EQ(m_modem.Initialize(), 1) << c.what;
        std::string text = output.Finish();
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        EXPECT_EQ(text, c.output) << c.what;
        EXPECT_EQ(sim.CallCount(SIMCM_CALL_ANY), c.failConnect ? 1u : 0u) << c.what;
        EXPECT_EQ(sim.ControlMode(), SIMCM_ABSENT) << c.what;
        EXPECT_FALSE(g_GobiCMDLL.IsLoaded()) << c.what;
    }
}

// The real sources against the simulated modem: the test prefix has no
// Qualcomm network adapter, so the Mobile Broadband side decides.
TEST_F(FoxconnDriver, MachineWithoutCandidateIdsLeavesTheModuleAlone) {
    ASSERT_TRUE(CSimModemControl::Register());
    CSimModemControl modem;
    ASSERT_TRUE(modem.Load());
    simmodem::InterfaceSpec withoutQmux = simmodem::InterfaceSpec::Qualcomm();
    withoutQmux.services = {SIMMODEM_SERVICE_MS_SAR, SIMMODEM_SERVICE_DIAG, SIMMODEM_SERVICE_AUX};
    struct Case {
        const char* what;
        std::vector<simmodem::InterfaceSpec> interfaces;
        std::vector<simmodem::FaultSpec> faults;
        bool candidate;
    } cases[] = {
        {"no Mobile Broadband service", {simmodem::InterfaceSpec::Qualcomm()}, simmodem::FaultSpec::NoService(), false},
        {"a modem without the EXT_QMUX service", {withoutQmux}, {}, false},
        {"no modem", {}, {}, false},
        // The same machine whose modem offers the service: its id is the candidate.
        {"a modem with the EXT_QMUX service", {simmodem::InterfaceSpec::Qualcomm()}, {}, true},
    };
    CWWANFoxconn::SetDeviceIdSource(nullptr);
    m_sim->SetTable(ExpectedBandTable(false));
    for (const Case& c : cases) {
        simmodem::StartState state;
        state.interfaces = c.interfaces;
        state.faults = c.faults;
        ASSERT_TRUE(modem.Reset(state)) << c.what;
        m_sim->ClearCalls();

        std::vector<std::wstring> ids = EnumerateGobiDeviceIds();
        CStdoutCapture output;
        EXPECT_EQ(m_modem.Initialize(), 1) << c.what;
        std::string text = output.Finish();
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        if (c.candidate) {
            std::wstring expected = L"EXT_QMUX:" + modem.InterfaceId(0);
            EXPECT_EQ(ids, std::vector<std::wstring>{expected}) << c.what;
            std::vector<SimCmCallRecord> connects = m_sim->Calls(SIMCM_CALL_GOBI_CONNECT);
            ASSERT_EQ(connects.size(), 1u) << c.what;
            EXPECT_EQ(std::wstring(connects[0].deviceId), expected) << c.what;
            EXPECT_EQ(text, "") << c.what;
        } else {
            EXPECT_TRUE(ids.empty()) << c.what;
            EXPECT_EQ(text, "Get GUID : Gobiconnect is Failed.... \n") << c.what;
            EXPECT_EQ(m_sim->CallCount(), 0u) << c.what << ": the module is not touched";
        }
    }
}
}  // namespace

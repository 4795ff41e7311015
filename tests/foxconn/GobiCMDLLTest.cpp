// The connection-management library binding: which library it binds, what its
// wrappers send and what they read back.
#include <gtest/gtest.h>

#include "CWWANFoxconn.h"
#include "FoxconnTestSupport.h"
#include "SimConnMgmtClient.h"
#include "cGobiCMDLL.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {
std::vector<std::wstring> OneCandidate() { return {L"EXT_QMUX:{SIM-1}"}; }

std::vector<BYTE> RequestOf(const SimCmCallRecord& call) {
    return std::vector<BYTE>(call.request, call.request + call.requestLength);
}

class GobiBinding : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSimConnMgmtRegistry();
        CWWANFoxconn::SetDeviceIdSource(OneCandidate);
    }
    void TearDown() override {
        CWWANFoxconn::SetDeviceIdSource(nullptr);
        g_GobiCMDLL.Reset();
    }
    void Load(const std::wstring& folder) {
        m_sim.reset(new CSimConnMgmt(folder));
        ASSERT_TRUE(m_sim->IsLoaded());
    }

    std::unique_ptr<CSimConnMgmt> m_sim;
    CLogCapture m_log;
};

// Every wrapper but Connect and Disconnect, each called once.
std::vector<std::pair<const char*, std::function<uint32_t()>>> DeviceWrappers() {
    static uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
    static const uint8_t request[13] = {1, 1, 0, 2, 2, 1, 0, 3, 3, 2, 0, 0xFF, 0xFF};
    return {
        {"DMSSetTarvoCtlMode", [] { return g_GobiCMDLL.DMSSetTarvoCtlMode(1); }},
        {"DMSGetTarvoCtlMode", [] { uint8_t mode = 0; return g_GobiCMDLL.DMSGetTarvoCtlMode(&mode); }},
        {"DMSSetTarvoStateMode", [] { return g_GobiCMDLL.DMSSetTarvoStateMode(1); }},
        {"DMSGetTarvoStateMode", [] { uint32_t state = 0; return g_GobiCMDLL.DMSGetTarvoStateMode(&state); }},
        {"SARRFSetState", [] { return g_GobiCMDLL.SARRFSetState(1); }},
        {"SARRFGetState", [] { uint32_t state = 0; return g_GobiCMDLL.SARRFGetState(&state); }},
        {"DMSGetTarvoInfo", [] { return g_GobiCMDLL.DMSGetTarvoInfo(request, response, sizeof(request)); }},
        {"DMSSetTarvoInfo", [] { return g_GobiCMDLL.DMSSetTarvoInfo(request, response, sizeof(request)); }},
    };
}

TEST_F(GobiBinding, AbsentLibraryIsNotBoundAndTheModemStartsAnyway) {
    EXPECT_EQ(g_GobiCMDLL.Initialize(), 0);
    EXPECT_FALSE(g_GobiCMDLL.IsLoaded());
    EXPECT_TRUE(m_log.HasLine("cGobiCMDLL::Initialize\tERROR\tFailed to connect device."));
    EXPECT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 1u);
    EXPECT_EQ(g_GobiCMDLL.Disconnect(), 1u);
    for (auto& wrapper : DeviceWrappers()) EXPECT_EQ(wrapper.second(), 1u) << wrapper.first;

    CWWANFoxconn modem(L"Qualcomm Snapdragon X55 5G");
    EXPECT_EQ(modem.Initialize(), 1);
}

TEST_F(GobiBinding, LibraryWithoutConnectionEntryPointsIsNotBound) {
    Load(L"connmgmt-noconnect");
    EXPECT_EQ(g_GobiCMDLL.Initialize(), 0);
    EXPECT_FALSE(g_GobiCMDLL.IsLoaded());
    EXPECT_FALSE(m_log.HasLine("cGobiCMDLL::Initialize\tERROR\tFailed to connect device.")) << "the library was there";
    for (auto& wrapper : DeviceWrappers()) EXPECT_EQ(wrapper.second(), 1u) << wrapper.first;

    CWWANFoxconn modem(L"Qualcomm Snapdragon X55 5G");
    EXPECT_EQ(modem.Initialize(), 1);
    EXPECT_EQ(m_sim->CallCount(), 0u) << "the module is not touched";
    EXPECT_EQ(m_sim->ControlMode(), SIMCM_ABSENT);
}

TEST_F(GobiBinding, LibraryWithOnlyConnectionEntryPointsIsBound) {
    Load(L"connmgmt-connectonly");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    for (auto& wrapper : DeviceWrappers()) EXPECT_EQ(wrapper.second(), 1u) << wrapper.first;
    EXPECT_EQ(m_sim->CallCount(), 1u) << "only the connect reached the library";
    EXPECT_TRUE(m_log.HasLine("cGobiCMDLL::DMSGetTarvoCtlMode\tERROR\tmpFnDMSGetTarvoCtlMode is null."));
    EXPECT_TRUE(m_log.HasLine("cGobiCMDLL::SARRFSetState\tERROR\tSARRFSetState is null."));
    EXPECT_EQ(g_GobiCMDLL.Disconnect(), 0u);
}

TEST_F(GobiBinding, ConnectKeepsItsHandleUnlessAModuleConnected) {
    Load(L"");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    EXPECT_EQ(g_GobiCMDLL.Disconnect(), 1u) << "no handle yet";
    EXPECT_EQ(m_sim->CallCount(), 0u);

    m_sim->AddFault(CallFault(SIMCM_CALL_GOBI_CONNECT, 42));
    EXPECT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 42u) << "the library's status passes through";
    EXPECT_EQ(g_GobiCMDLL.GetDeviceHandle(), 0u);

    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    const ULONGLONG handle = g_GobiCMDLL.GetDeviceHandle();
    EXPECT_NE(handle, 0u);

    SimCmFault countZero = CallFault(SIMCM_CALL_GOBI_CONNECT, 0);
    countZero.flags = SIMCM_FAULT_COUNT_ZERO;
    m_sim->AddFault(countZero);
    m_sim->ClearCalls();
    EXPECT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 1u);
    EXPECT_EQ(g_GobiCMDLL.GetDeviceHandle(), handle);
    std::vector<SimCmCallRecord> disconnects = m_sim->Calls(SIMCM_CALL_GOBI_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 1u) << "the connection still held is let go";
    EXPECT_EQ(disconnects[0].handle, handle);
}

TEST_F(GobiBinding, FailedDisconnectIsLogged) {
    Load(L"");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    m_sim->AddFault(CallFault(SIMCM_CALL_GOBI_DISCONNECT, 8));
    EXPECT_EQ(g_GobiCMDLL.Disconnect(), 8u);
    EXPECT_TRUE(m_log.HasLine("cGobiCMDLL::Disconnect\tERROR\tFailed to disconnect device"));
}

TEST_F(GobiBinding, WrappersSendTheirRequestsWithTheirTimeoutsAndBuffers) {
    Load(L"");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    const ULONGLONG handle = g_GobiCMDLL.GetDeviceHandle();
    uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
    const uint8_t read[17] = {1, 1, 0, 3, 2, 1, 0, 1, 3, 2, 0, 0xFF, 0xFF, 4, 1, 0, 5};
    const uint8_t write[25] = {1, 1, 0, 3, 2, 1, 0, 1, 3, 2, 0, 0xFF, 0xFF, 4, 1, 0, 5, 7, 5, 0, 2, 0xF0, 0, 0xF0, 0};
    uint8_t mode = 0;
    uint32_t state = 0;
    struct {
        const char* what;
        std::function<uint32_t()> call;
        ULONG entry;
        ULONG timeoutMs;
        std::vector<BYTE> request;
        ULONG responseSize;  // 0: no response buffer
    } cases[] = {
        {"set control mode", [] { return g_GobiCMDLL.DMSSetTarvoCtlMode(1); }, SIMCM_CALL_SET_CTL_MODE, 10000,
         {0x01, 0x01, 0x00, 0x01}, 0},
        {"get control mode", [&] { return g_GobiCMDLL.DMSGetTarvoCtlMode(&mode); }, SIMCM_CALL_GET_CTL_MODE, 10000,
         {}, 20},
        {"set state mode: low byte", [] { return g_GobiCMDLL.DMSSetTarvoStateMode(0x0107); },
         SIMCM_CALL_SET_STATE_MODE, 10000, {0x01, 0x01, 0x00, 0x07}, 0},
        {"get state mode", [&] { return g_GobiCMDLL.DMSGetTarvoStateMode(&state); }, SIMCM_CALL_GET_STATE_MODE,
         10000, {}, 20},
        {"set RF state: u32", [] { return g_GobiCMDLL.SARRFSetState(0xA1B2C3D4); }, SIMCM_CALL_SAR_RF_SET_STATE,
         10000, {0x01, 0x04, 0x00, 0xD4, 0xC3, 0xB2, 0xA1}, 0},
        {"get RF state", [&] { return g_GobiCMDLL.SARRFGetState(&state); }, SIMCM_CALL_SAR_RF_GET_STATE, 10000, {},
         20},
        {"write a row", [&] { return g_GobiCMDLL.DMSSetTarvoInfo(write, response, sizeof(write)); },
         SIMCM_CALL_SET_TARVO_INFO, 2000, std::vector<BYTE>(write, write + sizeof(write)), 1024},
        {"read a row", [&] { return g_GobiCMDLL.DMSGetTarvoInfo(read, response, sizeof(read)); },
         SIMCM_CALL_GET_TARVO_INFO, 5000, std::vector<BYTE>(read, read + sizeof(read)), 1024},
    };
    for (const auto& c : cases) {
        m_sim->ClearCalls();
        EXPECT_EQ(c.call(), 0u) << c.what;
        std::vector<SimCmCallRecord> calls = m_sim->Calls();
        ASSERT_EQ(calls.size(), 1u) << c.what;
        EXPECT_EQ(calls[0].call, c.entry) << c.what;
        EXPECT_EQ(calls[0].handle, handle) << c.what;
        EXPECT_EQ(calls[0].timeoutMs, c.timeoutMs) << c.what;
        EXPECT_EQ(RequestOf(calls[0]), c.request) << c.what;
        EXPECT_EQ(calls[0].hasResponseBuffer != FALSE, c.responseSize != 0) << c.what;
        EXPECT_EQ(calls[0].responseSize, c.responseSize) << c.what;
    }
}

TEST_F(GobiBinding, GettersReadTheirValueAndRefuseAnEmptyReply) {
    Load(L"");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    ASSERT_EQ(g_GobiCMDLL.DMSSetTarvoCtlMode(1), 0u);
    ASSERT_EQ(g_GobiCMDLL.DMSSetTarvoStateMode(0x0107), 0u);
    ASSERT_EQ(g_GobiCMDLL.SARRFSetState(0xA1B2C3D4), 0u);

    uint8_t mode = 0;
    uint32_t stateMode = 0, rfState = 0;
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoCtlMode(&mode), 0u);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoStateMode(&stateMode), 0u);
    EXPECT_EQ(stateMode, 7u);
    EXPECT_EQ(g_GobiCMDLL.SARRFGetState(&rfState), 0u);
    EXPECT_EQ(rfState, 0xA1B2C3D4u);

    // A success that delivers no bytes is no value.
    m_sim->AddFault(CallFault(SIMCM_CALL_ANY, 0, 0, 0));
    mode = 9;
    stateMode = rfState = 9;
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoCtlMode(&mode), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoStateMode(&stateMode), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(g_GobiCMDLL.SARRFGetState(&rfState), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(mode, 9);
    EXPECT_EQ(stateMode, 9u);
    EXPECT_EQ(rfState, 9u);

    uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
    const uint8_t read[13] = {1, 1, 0, 2, 2, 1, 0, 3, 3, 2, 0, 0xFF, 0xFF};
    uint32_t received = 77;
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoInfo(read, response, sizeof(read), &received), 0u);
    EXPECT_EQ(received, 0u);
}

TEST_F(GobiBinding, RequestsLongerThanTheWrappersBufferAreRefused) {
    Load(L"");
    ASSERT_EQ(g_GobiCMDLL.Initialize(), 1);
    ASSERT_EQ(g_GobiCMDLL.Connect(L"EXT_QMUX:{SIM-1}", 2), 0u);
    m_sim->ClearCalls();
    uint8_t request[64] = {};
    uint8_t response[GOBI_TARVO_INFO_RESPONSE_SIZE];
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoInfo(request, response, 18), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(g_GobiCMDLL.DMSSetTarvoInfo(request, response, 38), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(g_GobiCMDLL.DMSGetTarvoInfo(nullptr, response, 13), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(m_sim->CallCount(), 0u);
    // The buffers' own sizes still go out.
    EXPECT_NE(g_GobiCMDLL.DMSGetTarvoInfo(request, response, 17), GOBI_STATUS_BAD_DATA);
    EXPECT_NE(g_GobiCMDLL.DMSSetTarvoInfo(request, response, 37), GOBI_STATUS_BAD_DATA);
    EXPECT_EQ(m_sim->CallCount(), 2u);
}
}  // namespace

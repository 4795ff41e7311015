// The SAR configuration commands and the transmission monitor, through the
// SAR layer and the simulated modem.
#include "Handles.h"
#include "ModemFixture.h"

#include <atomic>
#include <thread>

using simmodem::FaultSpec;
using simmodem::InterfaceSpec;

namespace {
class SarConfig : public ModemFixture {};

std::atomic<int> g_sleeps{0};
CSimModemControl* g_simForObserver = nullptr;
}  // namespace

TEST_F(SarConfig, InitSarSendsTheFixedConfiguration) {
    UseModem(InterfaceSpec::Qualcomm());
    g_dwCurrentTarvoState = 1;
    EXPECT_EQ(MBSar::InitSAR(), 0);
    const simmodem::Bytes expected = {0x01, 0, 0, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0, 0x14, 0, 0, 0,
                                      0x08, 0, 0, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0};
    ASSERT_EQ(SarConfigSets(), std::vector<simmodem::Bytes>{expected});
    EXPECT_EQ(g_dwCurrentTarvoState, 0u);
    // The reply's state follows the wifi field, at offset 24 of the reply.
    EXPECT_TRUE(CLogCapture::Has("MBSar::InitSAR\tINFO\t\nSAR Mode: 1\nSAR BackOff Status: 0\nSAR Wifi Integration: 0"
                                 "\nElement Count: 1\nSAR Config Status Offset: 24\nSAR Config Status Size: 8"
                                 "\nSAR Antenna index: 0\nSAR Backoff index: 1"));
    EXPECT_TRUE(CLogCapture::Has("MBSar::InitSAR\tINFO\tBack off disabled"));
    // Every command opens a session of its own.
    EXPECT_EQ(sim.LogCount(), 2u) << "one session open and one set";
}

TEST_F(SarConfig, EnableTarvoPayloadsAndSkipRules) {
    UseModem(InterfaceSpec::Qualcomm());
    // State 0 right after start equals the memory: nothing is sent.
    EXPECT_EQ(MBSar::EnableTarvo(0, 1, 65535, 1), 0);
    EXPECT_TRUE(SarConfigSets().empty());
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tINFO\tNo change in Tarvo status: 0"));

    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 65535, 2), 0);
    EXPECT_EQ(g_dwCurrentTarvoState, 1u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tINFO\tBack off enabled"));
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0) << "a second state 1 sends nothing";
    EXPECT_EQ(MBSar::EnableTarvo(0, 0, 7, 9), 0);
    EXPECT_EQ(SarConfigSets(), (std::vector<simmodem::Bytes>{Payload(1, 1, 65535, 2), Payload(1, 0, 7, 9)}));
    EXPECT_TRUE(CLogCapture::Has("Back off disabled"));
    // After InitSAR the memory is 0 again: state 1 goes out.
    EXPECT_EQ(MBSar::InitSAR(), 0);
    EXPECT_EQ(MBSar::EnableTarvo(1, 5, 1, 1), 0);
    EXPECT_EQ(SarConfigSets().back(), Payload(1, 1, 1, 1)) << "any nonzero back-off argument is 1";
}

TEST_F(SarConfig, RadioOffSendsNothing) {
    InterfaceSpec modem = InterfaceSpec::Qualcomm();
    modem.softwareRadio = 0;
    UseModem(modem);
    for (int state : {1, 0}) {
        EXPECT_EQ(MBSar::EnableTarvo(state, 1, 0, 1), 1) << "also when the state is unchanged";
    }
    EXPECT_TRUE(SarConfigSets().empty());
    EXPECT_EQ(CLogCapture::Count("MBSar::EnableTarvo\tERROR\tRadio state is Off."), 2u);
    EXPECT_EQ(MBSar::GetRadioState(), 0);
    sim.SetRadio(0, 0, 1);
    EXPECT_EQ(MBSar::GetRadioState(), 0) << "the hardware radio counts too";
    sim.SetRadio(0, 1, 1);
    EXPECT_EQ(MBSar::GetRadioState(), 1);
}

TEST_F(SarConfig, RefusedCommandKeepsTheMemory) {
    UseModem(InterfaceSpec::Qualcomm(), {FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5, 2, SIMMODEM_OP_SET)});
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 5);
    EXPECT_EQ(g_dwCurrentTarvoState, 0u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tERROR\tset sar config failed, return code = 5"));
    EXPECT_EQ(MBSar::InitSAR(), 5);
    EXPECT_TRUE(CLogCapture::Has("MBSar::InitSAR\tERROR\tset sar config failed5"));
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0) << "sent again and accepted";
    EXPECT_EQ(SarConfigSets().size(), 3u);
    EXPECT_EQ(g_dwCurrentTarvoState, 1u);
}

TEST_F(SarConfig, PlatformErrorsAreLoggedWithTheirCode) {
    UseModem(InterfaceSpec::Qualcomm(),
             {FaultSpec::Fail(SIMMODEM_METHOD_SET_COMMAND, static_cast<HRESULT>(0x80070005), 1)});
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 1);
    EXPECT_EQ(g_dwCurrentTarvoState, 0u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tERROR\t 0x80070005 - ")) << "with a leading blank";
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0);

    sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_SOFTWARE_RADIO, E_UNEXPECTED, 1));
    CLogCapture::Clear();
    EXPECT_EQ(MBSar::GetRadioState(), 0);
    EXPECT_TRUE(CLogCapture::Has("MBSar::GetRadioState\tERROR\t0x8000ffff - ")) << "without the blank";
}

TEST_F(SarConfig, ShortReplyIsAcceptedWithoutReadingPastIt) {
    UseModem(InterfaceSpec::Qualcomm(),
             {FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, simmodem::Bytes(16, 0x01), 1, SIMMODEM_OP_SET)});
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0);
    EXPECT_EQ(g_dwCurrentTarvoState, 1u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tERROR\tSAR config reply too short: 16 bytes"));
    EXPECT_FALSE(CLogCapture::Has("Back off"));

    // A longer reply than one state: still only the first 32 bytes.
    simmodem::Bytes wide(48, 0);
    wide[12] = 2;
    sim.AddFault(FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, wide, 1, SIMMODEM_OP_SET));
    EXPECT_EQ(MBSar::EnableTarvo(0, 0, 0, 1), 0);
    EXPECT_TRUE(CLogCapture::Has("\nElement Count: 2\n"));
}

TEST_F(SarConfig, NeverCompletingCommandIsBounded) {
    const struct {
        const char* what;
        uint32_t op;
        uint32_t memory;  // what the modem is known to hold after it
    } silences[] = {
        // It may have been carried out: the next request is sent, whatever it asks.
        {"the set never completes", SIMMODEM_OP_SET, kTarvoStateUnknown},
        // Nothing reached the modem.
        {"the session open is never confirmed", SIMMODEM_OP_OPEN_SESSION, 0},
    };
    for (const auto& silence : silences) {
        UseModem(InterfaceSpec::Qualcomm(),
                 {FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, SIMMODEM_ANY, 1, silence.op)});
        CLogCapture::Clear();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 1) << silence.what;
        const ULONGLONG elapsed = GetTickCount64() - start;
        // 30 s (completion) and 10 s (session) of the system's clock would be 30 and
        // 10 ms at this divisor: the bounds keep their floor of 2 s of real time.
        EXPECT_GE(elapsed, 1900u) << silence.what;
        EXPECT_LT(elapsed, 9000u) << silence.what;
        EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tERROR\t 0x800705b4 - ")) << silence.what;
        EXPECT_EQ(g_dwCurrentTarvoState, silence.memory) << silence.what;
        EXPECT_EQ(sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE), 0u)
            << silence.what << ": nothing holds the service once the wait gave up";
        const size_t sets = SarConfigSets().size();
        EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0) << silence.what << ": the same request again goes out";
        EXPECT_EQ(SarConfigSets().size(), sets + 1) << silence.what;
        EXPECT_EQ(g_dwCurrentTarvoState, 1u) << silence.what;
    }
}

// The worker runs InitSAR (and EnableTarvo at start-up) with its stop installed:
// a modem that never answers must not hold the service's stop for the 10 s and
// 30 s bounds.
TEST_F(SarConfig, StopEndsTheWaitsForASilentModem) {
    CClock::SetDivisor(1);  // the bounds at their real length
    const struct {
        const char* what;
        uint32_t op;
        const char* function;
        int (*command)();
        uint32_t memory;  // what a success would have changed
        uint32_t after;   // a set cut short may have been carried out; a session never opened sent nothing
    } cases[] = {
        {"set, InitSAR", SIMMODEM_OP_SET, "MBSar::InitSAR", [] { return MBSar::InitSAR(); }, 1, kTarvoStateUnknown},
        {"set, EnableTarvo", SIMMODEM_OP_SET, "MBSar::EnableTarvo", [] { return MBSar::EnableTarvo(1, 1, 0, 2); }, 0,
         kTarvoStateUnknown},
        {"session, InitSAR", SIMMODEM_OP_OPEN_SESSION, "MBSar::InitSAR", [] { return MBSar::InitSAR(); }, 1, 1},
        {"session, EnableTarvo", SIMMODEM_OP_OPEN_SESSION, "MBSar::EnableTarvo",
         [] { return MBSar::EnableTarvo(1, 1, 0, 2); }, 0, 0},
    };
    for (const auto& c : cases) {
        UseModem(InterfaceSpec::Qualcomm(), {FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, SIMMODEM_ANY, 1, c.op)});
        g_dwCurrentTarvoState = c.memory;
        CLogCapture::Clear();
        CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> result{-1};
        std::thread worker([&] {
            CClock::CThreadStopScope scope(stop.Get());
            result = c.command();
        });
        const bool asked = testsupport::WaitUntil(
            [&] {
                for (const simmodem::LogEntry& entry : sim.Log())
                    if (entry.op == c.op && _wcsicmp(entry.service.c_str(), SIMMODEM_SERVICE_MS_SAR) == 0) return true;
                return false;
            },
            std::chrono::milliseconds(5000));
        const ULONGLONG stopAt = GetTickCount64();
        ::SetEvent(stop.Get());
        worker.join();
        const ULONGLONG elapsed = GetTickCount64() - stopAt;
        EXPECT_TRUE(asked) << c.what;
        EXPECT_LT(elapsed, 2000u) << c.what;
        EXPECT_EQ(result, 1) << c.what << ": a failure, never a success";
        EXPECT_EQ(g_dwCurrentTarvoState, c.after) << c.what;
        EXPECT_TRUE(CLogCapture::Has(std::string(c.function) + "\tERROR\t 0x800704c7 - ")) << c.what;
        EXPECT_TRUE(CLogCapture::Has(std::string(c.function) + "\tDEBUG\tStop requested, SAR command wait ended"))
            << c.what;
        EXPECT_EQ(sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE), 0u) << c.what << ": nothing holds the service";
    }
}

TEST_F(SarConfig, ModemModelLooksUpALateModem) {
    UseModems({});
    ASSERT_EQ(g_modem, nullptr);
    g_sleeps = 0;
    g_simForObserver = &sim;
    // The modem arrives 12 s after the first call, during the third 5 s sleep.
    CClock::SetObserver([](DWORD ms) {
        if (ms == 5000 && ++g_sleeps == 3) g_simForObserver->AddInterface(InterfaceSpec::Qualcomm());
    });
    wchar_t model[MAX_PATH] = {};
    EXPECT_EQ(MBSar::GetModemModel(model), 0);
    EXPECT_STREQ(model, L"Qualcomm Snapdragon X55 5G");
    EXPECT_EQ(CLogCapture::Count("MBSar::GetModemModel\tDEBUG\tStart Sleep"), 3u);
    EXPECT_EQ(CLogCapture::Count("MBSar::GetModemModel\tDEBUG\tEnd Sleep."), 3u);
    // Found once, it is kept: no further sleeps.
    CLogCapture::Clear();
    EXPECT_EQ(MBSar::GetModemModel(model), 0);
    EXPECT_TRUE(CLogCapture::All().empty());
}

TEST_F(SarConfig, NoModemAtAll) {
    UseModems({});
    wchar_t model[MAX_PATH] = L"untouched";
    EXPECT_EQ(MBSar::GetModemModel(model), 1);
    EXPECT_STREQ(model, L"untouched");
    EXPECT_EQ(CLogCapture::Count("Start Sleep"), 6u);
    EXPECT_EQ(MBSar::GetRadioState(), 2);
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 1), 1) << "no modem to send to";
    sim.AddFaults(FaultSpec::NoService());
    EXPECT_EQ(SarGetDefaultModem(), nullptr);
}

TEST_F(SarConfig, StopEndsTheLookUpForAMissingModem) {
    UseModems({});
    CUniqueHandle stop(::CreateEventA(nullptr, TRUE, TRUE, nullptr));
    CClock::CThreadStopScope scope(stop.Get());
    wchar_t model[MAX_PATH] = L"untouched";
    EXPECT_EQ(MBSar::GetModemModel(model), 1);
    EXPECT_STREQ(model, L"untouched");
    EXPECT_EQ(CLogCapture::Count("Start Sleep"), 1u);
    EXPECT_EQ(CLogCapture::Count("End Sleep."), 0u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::GetModemModel\tDEBUG\tStop requested, modem look-up ended"));
}

TEST_F(SarConfig, TransmissionMonitor) {
    UseModem(InterfaceSpec::Qualcomm());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MBSar::TxStatusMonitor(event), 0);
    EXPECT_TRUE(CLogCapture::Has("MBSar::TxStatusMonitor\tDEBUG\tStarting WWAN Transmission monitor"));
    SimModemTxState tx = {};
    ASSERT_TRUE(sim.GetTxState(0, tx));
    EXPECT_EQ(tx.notificationEnabled, 1u);
    EXPECT_EQ(tx.hysteresis, 5u);
    EXPECT_FALSE(MBSar::IsTransmitting());
    ASSERT_TRUE(sim.SetTransmitting(0, true));
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(MBSar::IsTransmitting());
    EXPECT_TRUE(testsupport::WaitUntil([] { return CLogCapture::Has("Event Trigger @@@"); },
                                       std::chrono::milliseconds(2000)));
    ResetEvent(event);
    ASSERT_TRUE(sim.SetTransmitting(0, false));
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(MBSar::IsTransmitting());
    MBSar::StopTransmitMonitor();
    ASSERT_TRUE(sim.GetTxState(0, tx));
    EXPECT_EQ(tx.notificationEnabled, 0u);
    CloseHandle(event);
}

TEST_F(SarConfig, TransmissionMonitorWithoutSarControl) {
    InterfaceSpec modem = InterfaceSpec::Qualcomm();
    modem.services = {SIMMODEM_SERVICE_DIAG};
    UseModem(modem);
    MBSar::StopTransmitMonitor();
    EXPECT_EQ(CLogCapture::All(),
              std::vector<std::string>{"MBSar::StopTransmitMonitor\tDEBUG\tStopping WWAN Transmission Monitor"});
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MBSar::TxStatusMonitor(event), static_cast<int>(E_POINTER));
    EXPECT_TRUE(CLogCapture::Has("MBSar::TxStatusMonitor\tERROR\tCouldn't get valid SarManager."));
    EXPECT_EQ(g_hTxEvent, event);
    CloseHandle(event);
}

// Whatever pointer the platform's events pass for the service (the caller's, a
// tear-off of it, another object for it), every command and the monitor
// complete, and completions that answer other requests are not taken.
class SarDelivery : public ModemFixture, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        ModemFixture::SetUp();
        delivery = GetParam();
    }
};

TEST_P(SarDelivery, CommandsAndTheTransmissionMonitorComplete) {
    UseModem(InterfaceSpec::Qualcomm());
    EXPECT_EQ(MBSar::InitSAR(), 0);
    EXPECT_TRUE(CLogCapture::Has("MBSar::InitSAR\tINFO\tBack off disabled"));
    EXPECT_EQ(MBSar::EnableTarvo(1, 1, 65535, 2), 0);
    EXPECT_EQ(g_dwCurrentTarvoState, 1u);
    EXPECT_TRUE(CLogCapture::Has("MBSar::EnableTarvo\tINFO\tBack off enabled"));
    EXPECT_EQ(MBSar::EnableTarvo(0, 0, 0, 1), 0);
    EXPECT_EQ(g_dwCurrentTarvoState, 0u);
    EXPECT_EQ(SarConfigSets().size(), 3u);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MBSar::TxStatusMonitor(event), 0);
    SimModemTxState tx = {};
    ASSERT_TRUE(sim.GetTxState(0, tx));
    EXPECT_EQ(tx.notificationEnabled, 1u);
    ASSERT_TRUE(sim.SetTransmitting(0, true));
    EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(MBSar::IsTransmitting());
    MBSar::StopTransmitMonitor();
    ASSERT_TRUE(sim.GetTxState(0, tx));
    EXPECT_EQ(tx.notificationEnabled, 0u);
    CloseHandle(event);
    EXPECT_EQ(CLogCapture::OfLevel("ERROR"), std::vector<std::string>{}) << "no wait ran out";
}

TEST_P(SarDelivery, CompletionsOfOtherRequestsAreNotTakenAsOurs) {
    InterfaceSpec second = InterfaceSpec::Qualcomm();
    second.interfaceId = L"{6F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0}";
    const struct {
        const char* what;
        uint32_t kind;
    } strays[] = {
        {"the same request id on another service", SIMMODEM_FAULT_STRAY_SERVICE},
        {"the same request id on the same service of another modem", SIMMODEM_FAULT_STRAY_INTERFACE},
        {"a request id nobody waits for on the same service", SIMMODEM_FAULT_STRAY_REQUEST},
    };
    for (const auto& stray : strays) {
        // The stray completion refuses (status 5): taken as ours, it would be the result.
        UseModems({InterfaceSpec::Qualcomm(), second},
                  {FaultSpec::Stray(stray.kind, SIMMODEM_SERVICE_MS_SAR, 1, 5, 1, SIMMODEM_OP_SET)});
        EXPECT_EQ(MBSar::EnableTarvo(1, 1, 0, 2), 0) << stray.what;
        EXPECT_EQ(g_dwCurrentTarvoState, 1u) << stray.what;
        EXPECT_EQ(SarConfigSets().size(), 1u) << stray.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SarDelivery, DeliveryModes(), DeliveryName);

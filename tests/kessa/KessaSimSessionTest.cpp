// The library's sessions with the simulated modem: Init and its failures,
// contexts, the ready flag, the modem going away and coming back, UnInit and
// a second Init.
#include "KessaSimFixture.h"
#include "TestSupport.h"

#include <functional>
#include <thread>

using namespace kessasim;
using simmodem::FaultSpec;

namespace {
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);  // 0x80070490
const HRESULT kClassNotRegistered = REGDB_E_CLASSNOTREG;

FaultSpec FailOn(uint32_t method, HRESULT hr, const wchar_t* service = L"", uint32_t sink = SIMMODEM_ANY) {
    FaultSpec f = FaultSpec::Fail(method, hr);
    f.service = service;
    f.sink = sink;
    return f;
}

struct InitCase {
    const char* name;
    std::vector<FaultSpec> faults;
    int32_t result;
    double minSeconds;    // a session wait of 500 ms that has to run out first
    const char* message;  // printed once, or null
};

void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

const InitCase kInitCases[] = {
    {"NoMobileBroadbandService", FaultSpec::NoService(), -1, 0, nullptr},
    {"NoInterfaceManager", {FailOn(SIMMODEM_METHOD_CREATE_INTERFACE_MANAGER, kClassNotRegistered)}, -1, 0, nullptr},
    {"NoDeviceServicesContext", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT, kNotFound)}, -1, 0, nullptr},
    {"NullDeviceServicesContext", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT, S_OK)}, -1, 0, nullptr},
    {"NoDiagService", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICE, kNotFound, SIMMODEM_SERVICE_DIAG)}, -1, 0, nullptr},
    {"NoSarService", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICE, kNotFound, SIMMODEM_SERVICE_MS_SAR)}, -1, 0, nullptr},
    {"NullSarService", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICE, S_OK, SIMMODEM_SERVICE_MS_SAR)}, -1, 0, nullptr},
    {"NoAuxService", {FailOn(SIMMODEM_METHOD_GET_DEVICE_SERVICE, kNotFound, SIMMODEM_SERVICE_AUX)}, -1, 0,
     "fail to get device service\n"},
    {"NoDeviceServicesEvents",
     {FailOn(SIMMODEM_METHOD_FIND_CONNECTION_POINT, E_FAIL, L"", SIMMODEM_SINK_DEVICE_SERVICES)}, -1, 0, nullptr},
    {"InterfaceManagerAdviseFails", {FailOn(SIMMODEM_METHOD_ADVISE, E_FAIL, L"", SIMMODEM_SINK_INTERFACE_MANAGER)},
     -1, 0, nullptr},
    {"AdviseGivesCookieZero", {FailOn(SIMMODEM_METHOD_ADVISE, S_OK, L"", SIMMODEM_SINK_DEVICE_SERVICES)}, -1, 0,
     nullptr},
    // A session that cannot even be requested: 0, and the library stays uninitialised.
    {"DiagSessionNotRequested", {FailOn(SIMMODEM_METHOD_OPEN_COMMAND_SESSION, E_FAIL, SIMMODEM_SERVICE_DIAG)}, 0, 0,
     nullptr},
    {"SarSessionNotRequested", {FailOn(SIMMODEM_METHOD_OPEN_COMMAND_SESSION, E_FAIL, SIMMODEM_SERVICE_MS_SAR)}, 0, 0,
     nullptr},
    {"AuxSessionNotRequested", {FailOn(SIMMODEM_METHOD_OPEN_COMMAND_SESSION, E_FAIL, SIMMODEM_SERVICE_AUX)}, 0, 0,
     nullptr},
    // A session that does not confirm within 500 ms.
    {"DiagSessionNeverOpens",
     {FaultSpec::NeverComplete(SIMMODEM_SERVICE_DIAG, SIMMODEM_ANY, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)}, -1,
     0.45, nullptr},
    {"SarSessionNeverOpens",
     {FaultSpec::NeverComplete(SIMMODEM_SERVICE_MS_SAR, SIMMODEM_ANY, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)}, -1,
     0.45, nullptr},
    {"AuxSessionNeverOpens",
     {FaultSpec::NeverComplete(SIMMODEM_SERVICE_AUX, SIMMODEM_ANY, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)}, -1,
     0.45, nullptr},
    {"DiagSessionRefused",
     {FaultSpec::Status(SIMMODEM_SERVICE_DIAG, SIMMODEM_ANY, E_FAIL, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)}, -1,
     0.45, nullptr},
};

class KessaSimInit : public KessaSim, public ::testing::WithParamInterface<InitCase> {};
}  // namespace

TEST_F(KessaSim, InitOpensTheThreeSessionsOnce) {
    EXPECT_EQ(Ready(), 0);
    EXPECT_EQ(m_kessa.OpenDeviceServices(), nullptr);
    ASSERT_EQ(Init(), KESSA_OK);
    EXPECT_EQ(Ready(), 1);
    EXPECT_EQ(m_debug.Count("mbimready: 1\n\n"), 1u);

    std::vector<std::wstring> opened;
    for (const simmodem::LogEntry& e : Sessions(SIMMODEM_OP_OPEN_SESSION)) opened.push_back(e.service);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_TRUE(SameService(opened[0], SIMMODEM_SERVICE_DIAG));
    EXPECT_TRUE(SameService(opened[1], SIMMODEM_SERVICE_MS_SAR));
    EXPECT_TRUE(SameService(opened[2], SIMMODEM_SERVICE_AUX));
    EXPECT_EQ(m_sim.OpenSessionCount(0), 3u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 1u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 1u);

    // A second Init changes nothing.
    EXPECT_EQ(Init(), KESSA_ALREADY_INITIALISED);
    EXPECT_EQ(Sessions(SIMMODEM_OP_OPEN_SESSION).size(), 3u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 1u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 1u);
    EXPECT_EQ(m_sim.LogCount(), 3u);
}

TEST_P(KessaSimInit, FailsAndALaterInitBuildsEverythingAgain) {
    const InitCase& c = GetParam();
    simmodem::StartState state;
    state.faults = c.faults;
    Start(state);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Init(), c.result);
    const double seconds = SecondsSince(start);
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LT(seconds, c.minSeconds + 1.5);
    if (c.message) {
        EXPECT_EQ(m_debug.Count(c.message), 1u) << c.message;
    }

    // Left uninitialised, holding nothing of the modem's.
    EXPECT_EQ(Ready(), 0);
    EXPECT_EQ(m_kessa.OpenDeviceServices(), nullptr);
    EXPECT_EQ(m_kessa.UnInit(), KESSA_OK);
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 0u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 0u);
    EXPECT_EQ(m_sim.OpenSessionCount(0), 0u);
    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE), 0u);

    m_sim.ClearFaults();
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(Ready(), 1);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 1u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 1u);
    EXPECT_EQ(m_sim.OpenSessionCount(0), 3u);
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_OK);
}

INSTANTIATE_TEST_SUITE_P(Kessa, KessaSimInit, ::testing::ValuesIn(kInitCases),
                         [](const ::testing::TestParamInfo<InitCase>& info) { return info.param.name; });

TEST_F(KessaSim, InitWithAnInterfaceTheModemDoesNotHaveFails) {
    EXPECT_EQ(m_kessa.Init("{00000000-0000-0000-0000-000000000000}"), KESSA_FAILED);
    EXPECT_EQ(Ready(), 0);
    EXPECT_EQ(m_kessa.OpenDeviceServices(), nullptr);
}

// The worker thread that Init starts is at its start when such a process
// ends; the process is then left with the library's teardown alone, and a lock
// that a thread held when the end took it must not hold that teardown. Whether
// a thread is at such a point is a matter of timing, so many processes end
// side by side, a handful at a time.
TEST_F(KessaSim, ProcessesThatEndRightAfterInitEnd) {
    const size_t kRounds = 6, kSideBySide = 8;
    const std::wstring line = L"\"" + testsupport::BuildPathW(L"tests\\bin\\kessa_exit_child.exe") + L"\" \"" +
                              testsupport::ProductDirW() + L"\" {00000000-0000-0000-0000-000000000000}";
    size_t held = 0;
    for (size_t round = 0; round < kRounds; ++round) {
        std::vector<CUniqueHandle> children;
        for (size_t i = 0; i < kSideBySide; ++i) {
            children.push_back(testsupport::StartProcess(line));
            ASSERT_TRUE(children.back()) << ::GetLastError();
        }
        const ULONGLONG deadline = ::GetTickCount64() + 10000;  // for the whole round
        for (CUniqueHandle& child : children) {
            const ULONGLONG now = ::GetTickCount64();
            const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (::WaitForSingleObject(child.Get(), left) != WAIT_OBJECT_0) {
                ++held;
                ::TerminateProcess(child.Get(), 1);
                continue;
            }
            DWORD code = 1;
            ::GetExitCodeProcess(child.Get(), &code);
            EXPECT_EQ(code, 0u);
        }
    }
    EXPECT_EQ(held, 0u) << "of " << kRounds * kSideBySide << " processes";
}

TEST_F(KessaSim, ContextsOpenAndClose) {
    ASSERT_EQ(Init(), KESSA_OK);
    SarDeviceContext* a = m_kessa.OpenDeviceServices();
    SarDeviceContext* b = m_kessa.OpenDeviceServices();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(m_kessa.SetSarEnable(a, 1), KESSA_OK);
    EXPECT_EQ(m_kessa.SetSarEnable(b, 0), KESSA_OK);

    EXPECT_EQ(m_kessa.CloseDeviceServices(a), KESSA_OK);
    EXPECT_EQ(m_kessa.CloseDeviceServices(a), KESSA_OK);  // no longer in the list: still 0
    EXPECT_EQ(m_kessa.CloseDeviceServices(nullptr), KESSA_OK);
    uint8_t enabled = 0xAA;
    EXPECT_EQ(m_kessa.GetSarEnable(b, &enabled), KESSA_OK);
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(m_kessa.CloseDeviceServices(b), KESSA_OK);
}

namespace {
struct Attempt {
    const char* name;
    std::function<int32_t(const KessaExports&, SarDeviceContext*)> call;
    int32_t whileAway;
};

const Attempt kAttempts[] = {
    {"SetSarEnable", [](const KessaExports& k, SarDeviceContext* c) { return k.SetSarEnable(c, 1); }, -1},
    {"GetSarEnable",
     [](const KessaExports& k, SarDeviceContext* c) {
         uint8_t enabled = 0;
         return k.GetSarEnable(c, &enabled);
     },
     -1},
    {"SetSarVersion", [](const KessaExports& k, SarDeviceContext* c) { return k.SetSarVersion(c, 2, 0x1234); }, -1},
    {"GetSarVersion",
     [](const KessaExports& k, SarDeviceContext* c) {
         int32_t index = 0;
         uint16_t crc = 0;
         return k.GetSarVersion(c, &index, &crc);
     },
     -1},
    {"SetSarIndex", [](const KessaExports& k, SarDeviceContext* c) { return k.SetSarIndex(c, 3); }, -1},
    {"GetSarIndex",
     [](const KessaExports& k, SarDeviceContext* c) {
         int32_t index = 0;
         return k.GetSarIndex(c, &index);
     },
     -1},
    {"SetSarValue",
     [](const KessaExports& k, SarDeviceContext* c) {
         const uint8_t data[3] = {1, 2, 3};
         return k.SetSarValue(c, data, 3);
     },
     -1},
    {"GetSarValue",
     [](const KessaExports& k, SarDeviceContext* c) {
         uint8_t* data = nullptr;
         int32_t length = 0;
         return k.GetSarValue(c, &data, &length);
     },
     -1},
    {"SetDeviceRoot", [](const KessaExports& k, SarDeviceContext* c) { return k.SetDeviceRoot(c); }, -3},
};
}  // namespace

TEST_F(KessaSim, CommandsFailAtOnceWhileTheModemIsAwayAndWorkAfterItCameBack) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_OK);

    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(WaitReady(0));
    ASSERT_TRUE(m_sim.WaitIdle());
    const uint32_t logged = m_sim.LogCount();
    for (const Attempt& a : kAttempts) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(a.call(m_kessa, context), a.whileAway) << a.name;
        EXPECT_LT(SecondsSince(start), 0.3) << a.name;
    }
    EXPECT_EQ(m_sim.LogCount(), logged);  // nothing reached the modem

    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(WaitReady(1));
    EXPECT_EQ(m_debug.Count("OpenSarServices success\n"), 1u);
    // The diag and SAR sessions were opened again; the aux service is left as it was.
    std::vector<std::wstring> reopened;
    for (const simmodem::LogEntry& e : Sessions(SIMMODEM_OP_OPEN_SESSION))
        if (e.sequence > logged) reopened.push_back(e.service);
    ASSERT_EQ(reopened.size(), 2u);
    EXPECT_TRUE(SameService(reopened[0], SIMMODEM_SERVICE_DIAG));
    EXPECT_TRUE(SameService(reopened[1], SIMMODEM_SERVICE_MS_SAR));

    EXPECT_EQ(m_kessa.SetSarEnable(context, 0), KESSA_OK);
    uint8_t enabled = 0xAA;
    EXPECT_EQ(m_kessa.GetSarEnable(context, &enabled), KESSA_OK);
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(m_kessa.SetSarIndex(context, 4), KESSA_OK);
    int32_t index = -1;
    EXPECT_EQ(m_kessa.GetSarIndex(context, &index), KESSA_OK);
    EXPECT_EQ(index, 4);
}

TEST_F(KessaSim, ArrivalWhoseSessionsDoNotOpenStillReportsReady) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(WaitReady(0));
    m_sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_OPEN_COMMAND_SESSION, E_FAIL));
    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(WaitReady(1));
    EXPECT_EQ(m_debug.Count("error open command session (device service)\n"), 1u);
}

TEST_F(KessaSim, UnInitReleasesEverythingAndInitStartsAgain) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_OK);

    EXPECT_EQ(m_kessa.UnInit(), KESSA_OK);
    EXPECT_EQ(Ready(), 0);
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(m_sim.OpenSessionCount(0), 0u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 0u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 0u);
    for (uint32_t kind : {SIMMODEM_OBJECT_INTERFACE_MANAGER, SIMMODEM_OBJECT_DEVICE_SERVICES_MANAGER,
                          SIMMODEM_OBJECT_DEVICE_SERVICES_CONTEXT, SIMMODEM_OBJECT_DEVICE_SERVICE})
        EXPECT_EQ(m_sim.ObjectCount(kind), 0u) << "simulator object kind " << kind;
    EXPECT_EQ(Sessions(SIMMODEM_OP_CLOSE_SESSION).size(), 3u);
    EXPECT_EQ(m_kessa.OpenDeviceServices(), nullptr);
    EXPECT_EQ(m_kessa.CloseDeviceServices(context), KESSA_FAILED);
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_FAILED);
    EXPECT_EQ(m_kessa.UnInit(), KESSA_OK);

    // Contexts outlive UnInit: the old one works with the new sessions.
    ASSERT_EQ(Init(), KESSA_OK);
    EXPECT_EQ(Ready(), 1);
    EXPECT_EQ(m_sim.OpenSessionCount(0), 3u);
    EXPECT_EQ(m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES), 1u);
    EXPECT_EQ(m_kessa.SetSarEnable(context, 0), KESSA_OK);
    uint8_t enabled = 0xAA;
    EXPECT_EQ(m_kessa.GetSarEnable(context, &enabled), KESSA_OK);
    EXPECT_EQ(enabled, 0);
}

TEST_F(KessaSim, CommandWhoseCompletionIsLostWithTheModemTimesOutAndTheLibraryRecovers) {
    simmodem::StartState state;
    state.faults.push_back(FaultSpec::RemoveAfter(1, 200, SIMMODEM_SERVICE_DIAG, 3));
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_FAILED);
    EXPECT_GE(SecondsSince(start), 0.95);
    ASSERT_TRUE(WaitReady(1));
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(m_kessa.SetSarEnable(context, 0), KESSA_OK);
    SimModemDiagState diag = {};
    ASSERT_TRUE(m_sim.GetDiagState(0, diag));
    EXPECT_EQ(diag.sarEnable, 0u);
}

TEST_F(KessaSim, RemovalDuringTheReopeningOfAnArrivalLeavesTheModemAway) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(WaitReady(0));
    // The arrival's reopening waits for a diag session that never opens; the modem goes again meanwhile.
    m_sim.AddFault(FaultSpec::NeverComplete(SIMMODEM_SERVICE_DIAG, SIMMODEM_ANY, 1, SIMMODEM_OP_OPEN_SESSION));
    const size_t opened = Sessions(SIMMODEM_OP_OPEN_SESSION).size();
    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(m_sim.WaitForLog(SIMMODEM_OPMASK(SIMMODEM_OP_OPEN_SESSION), static_cast<uint32_t>(opened + 1)));
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    // The reopening gives up after its 5 s; the later removal decides the flag.
    ASSERT_TRUE(m_debug.WaitFor("error get command session (device service)\n", std::chrono::seconds(8)));
    EXPECT_EQ(Ready(), 0);
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_FAILED);

    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(WaitReady(1));
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_OK);
}

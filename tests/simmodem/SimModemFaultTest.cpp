// Faults a test can inject: busy and other statuses, failing methods, lost,
// delayed and held completions, overridden replies, removal mid-way and no
// Mobile Broadband service at all.
#include "SimModemFixture.h"

#include <ocidl.h>
#include <chrono>

namespace simtest {
namespace {

using Faults = SimModemTest;
using simmodem::FaultSpec;

TEST_F(Faults, BusyAnswersTheNextCompletionsAndCarriesNothingOut) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Busy(SIMMODEM_SERVICE_DIAG, 3, 2, SIMMODEM_OP_SET)));
    EXPECT_EQ(kBusy, Set(diag.Get(), 3, {0x00, 0x11}).status);
    EXPECT_EQ(S_OK, Query(diag.Get(), 3).status) << "queries are not matched";
    EXPECT_EQ(kBusy, Set(diag.Get(), 3, {0x00, 0x11}).status);
    SimModemDiagState state = {};
    ASSERT_TRUE(m_sim.GetDiagState(0, state));
    EXPECT_EQ(0u, state.sarEnable);
    EXPECT_EQ(S_OK, Set(diag.Get(), 3, {0x00, 0x11}).status);
    ASSERT_TRUE(m_sim.GetDiagState(0, state));
    EXPECT_EQ(1u, state.sarEnable);
    size_t sets = 0;
    for (const auto& e : m_sim.Log()) sets += e.op == SIMMODEM_OP_SET;
    EXPECT_EQ(3u, sets) << "busy commands still reach the modem's log";
}

TEST_F(Faults, StatusAndReplyFaultsShapeTheCompletion) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    Bytes initSar = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5, 1)));
    SinkEvent refused = Set(sar.Get(), 1, initSar);
    EXPECT_EQ(5, refused.status);
    EXPECT_TRUE(refused.data.empty());
    SimModemSarConfig stored = {};
    ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
    EXPECT_EQ(0u, stored.mode) << "a refused configuration is not stored";

    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, {0xAA, 0xBB}, 1)));
    SinkEvent shortReply = Set(sar.Get(), 1, initSar);
    EXPECT_EQ(S_OK, shortReply.status);
    EXPECT_EQ((Bytes{0xAA, 0xBB}), shortReply.data);
    ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
    EXPECT_EQ(1u, stored.mode) << "a command with an overridden reply is still carried out";
    EXPECT_EQ(32u, Query(sar.Get(), 1).data.size());
}

TEST_F(Faults, CommandThatNeverCompletes) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::NeverComplete(SIMMODEM_SERVICE_DIAG, 4, 1)));
    SAFEARRAY* payload = MakeArray({1, 0, 2, 0});
    ULONG lost = 0;
    EXPECT_EQ(S_OK, diag->SetCommand(4, payload, &lost));
    ::SafeArrayDestroy(payload);
    EXPECT_NE(0u, lost);
    EXPECT_TRUE(m_sim.WaitForCommands(1));
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SetComplete, lost, 0));
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0}), Query(diag.Get(), 4).data) << "and it was not carried out";
}

TEST_F(Faults, SessionOpenCanBeBusyOrLost) {
    ComPtr<IMbnDeviceService> aux = Service(SIMMODEM_SERVICE_AUX);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Busy(SIMMODEM_SERVICE_AUX, SIMMODEM_ANY, 1, SIMMODEM_OP_OPEN_SESSION)));
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::NeverComplete(L"", SIMMODEM_ANY, 1, SIMMODEM_OP_OPEN_SESSION)));
    ULONG busy = 0, lost = 0, opened = 0;
    ASSERT_EQ(S_OK, aux->OpenCommandSession(&busy));
    ASSERT_EQ(S_OK, aux->OpenCommandSession(&lost));
    ASSERT_EQ(S_OK, aux->OpenCommandSession(&opened));
    SinkEvent e;
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionOpened, busy, kWaitMs, &e));
    EXPECT_EQ(kBusy, e.status);
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionOpened, opened, kWaitMs, &e));
    EXPECT_EQ(S_OK, e.status);
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SessionOpened, lost, 0));
    EXPECT_EQ(kNotSupported, Query(aux.Get(), 1).status) << "the aux service carries no command";
}

// Each call makes what it needs afresh, so that only the method under test can fail.
struct MethodCase {
    const char* name;
    uint32_t method;
    std::function<HRESULT(IMbnInterface* itf, IMbnDeviceService* diag)> call;
};

void PrintTo(const MethodCase& c, std::ostream* os) { *os << c.name; }

class FailingMethod : public SimModemTest, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(FailingMethod, FailsOnceWithTheInjectedResult) {
    const MethodCase& c = GetParam();
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ComPtr<IMbnInterface> itf = Interface();
    const HRESULT injected = static_cast<HRESULT>(0x80070015);  // ERROR_NOT_READY
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Fail(c.method, injected, 1)));
    size_t logged = m_sim.Log().size();
    EXPECT_EQ(injected, c.call(itf.Get(), diag.Get()));
    EXPECT_EQ(logged, m_sim.Log().size()) << "a failed call reaches nothing";
    EXPECT_EQ(S_OK, c.call(itf.Get(), diag.Get())) << "the fault was for one call";
}

HRESULT CallSetCommand(IMbnInterface*, IMbnDeviceService* diag) {
    SAFEARRAY* data = MakeArray({0x00, 0x11});
    ULONG id = 0;
    HRESULT hr = diag->SetCommand(3, data, &id);
    ::SafeArrayDestroy(data);
    return hr;
}

HRESULT CallQueryCommand(IMbnInterface*, IMbnDeviceService* diag) {
    ULONG id = 0;
    return diag->QueryCommand(3, nullptr, &id);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, FailingMethod,
    ::testing::Values(
        MethodCase{"SetCommand", SIMMODEM_METHOD_SET_COMMAND, CallSetCommand},
        MethodCase{"QueryCommand", SIMMODEM_METHOD_QUERY_COMMAND, CallQueryCommand},
        MethodCase{"OpenCommandSession", SIMMODEM_METHOD_OPEN_COMMAND_SESSION,
                   [](IMbnInterface*, IMbnDeviceService* diag) {
                       ULONG id = 0;
                       return diag->OpenCommandSession(&id);
                   }},
        MethodCase{"GetDeviceServicesContext", SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT,
                   [](IMbnInterface*, IMbnDeviceService* diag) {
                       BSTR id = nullptr;
                       diag->get_InterfaceID(&id);
                       ComPtr<IMbnDeviceServicesManager> manager;
                       ::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL,
                                          IID_IMbnDeviceServicesManager,
                                          reinterpret_cast<void**>(manager.GetAddressOf()));
                       ComPtr<IMbnDeviceServicesContext> context;
                       HRESULT hr = manager->GetDeviceServicesContext(id, context.GetAddressOf());
                       ::SysFreeString(id);
                       return hr;
                   }},
        MethodCase{"GetDeviceService", SIMMODEM_METHOD_GET_DEVICE_SERVICE,
                   [](IMbnInterface*, IMbnDeviceService* diag) {
                       BSTR id = nullptr;
                       diag->get_InterfaceID(&id);
                       ComPtr<IMbnDeviceServicesManager> manager;
                       ::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL,
                                          IID_IMbnDeviceServicesManager,
                                          reinterpret_cast<void**>(manager.GetAddressOf()));
                       ComPtr<IMbnDeviceServicesContext> context;
                       manager->GetDeviceServicesContext(id, context.GetAddressOf());
                       ::SysFreeString(id);
                       BSTR service = ::SysAllocString(SIMMODEM_SERVICE_MS_SAR);
                       ComPtr<IMbnDeviceService> found;
                       HRESULT hr = context->GetDeviceService(service, found.GetAddressOf());
                       ::SysFreeString(service);
                       return hr;
                   }},
        MethodCase{"GetInterfaces", SIMMODEM_METHOD_GET_INTERFACES,
                   [](IMbnInterface*, IMbnDeviceService*) {
                       ComPtr<IMbnInterfaceManager> manager;
                       ::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                          reinterpret_cast<void**>(manager.GetAddressOf()));
                       SAFEARRAY* array = nullptr;
                       HRESULT hr = manager->GetInterfaces(&array);
                       if (array) ::SafeArrayDestroy(array);
                       return hr;
                   }},
        MethodCase{"SetSoftwareRadioState", SIMMODEM_METHOD_SET_SOFTWARE_RADIO,
                   [](IMbnInterface* itf, IMbnDeviceService*) {
                       ComPtr<IMbnRadio> radio;
                       itf->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.GetAddressOf()));
                       ULONG id = 0;
                       return radio->SetSoftwareRadioState(MBN_RADIO_ON, &id);
                   }},
        MethodCase{"HardwareRadioState", SIMMODEM_METHOD_GET_HARDWARE_RADIO,
                   [](IMbnInterface* itf, IMbnDeviceService*) {
                       ComPtr<IMbnRadio> radio;
                       itf->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.GetAddressOf()));
                       MBN_RADIO state;
                       return radio->get_HardwareRadioState(&state);
                   }},
        MethodCase{"Advise", SIMMODEM_METHOD_ADVISE,
                   [](IMbnInterface*, IMbnDeviceService*) {
                       ComPtr<IMbnInterfaceManager> manager;
                       ::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                          reinterpret_cast<void**>(manager.GetAddressOf()));
                       ComPtr<CTestSink> sink;
                       sink.Attach(new CTestSink());
                       ComPtr<IConnectionPoint> point;
                       DWORD cookie = 0;
                       HRESULT hr = Advise(manager.Get(), IID_IMbnRadioEvents,
                                           static_cast<IMbnRadioEvents*>(sink.Get()), point, cookie);
                       if (SUCCEEDED(hr)) point->Unadvise(cookie);
                       return hr;
                   }}),
    [](const ::testing::TestParamInfo<MethodCase>& info) { return std::string(info.param.name); });

TEST_F(Faults, FaultWithSuccessHandsOutNothing) {
    // What a client meets when the platform says yes but gives no object.
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_DEVICE_SERVICE, S_OK, 1)));
    ComPtr<IMbnDeviceServicesContext> context = Context(m_sim.InterfaceId(0));
    BSTR id = ::SysAllocString(SIMMODEM_SERVICE_DIAG);
    IMbnDeviceService* service = reinterpret_cast<IMbnDeviceService*>(1);
    EXPECT_EQ(S_OK, context->GetDeviceService(id, &service));
    EXPECT_EQ(nullptr, service);
    ::SysFreeString(id);

    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_ADVISE, S_OK, 1)));
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 99;
    EXPECT_EQ(S_OK, Advise(m_services.Get(), IID_IMbnDeviceServicesEvents,
                           static_cast<IMbnRadioEvents*>(m_sink.Get()), point, cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(1u, m_sim.AdvisedCount(SIMMODEM_SINK_DEVICE_SERVICES)) << "only the fixture's";
}

class RemoveAfter : public SimModemTest {};

TEST_F(RemoveAfter, TheNthCommandIsCarriedOutButItsCompletionIsLost) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::RemoveAfter(2, 50, SIMMODEM_SERVICE_DIAG)));
    EXPECT_EQ(S_OK, Set(diag.Get(), 3, {0x00, 0x11}).status);
    SAFEARRAY* payload = MakeArray({0x00, 0x22});
    ULONG second = 0;
    EXPECT_EQ(S_OK, diag->SetCommand(3, payload, &second));
    ::SafeArrayDestroy(payload);
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Removal, kWaitMs));
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Arrival, kWaitMs));
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SetComplete, second, 0));
    SimModemDiagState state = {};
    ASSERT_TRUE(m_sim.GetDiagState(0, state));
    EXPECT_EQ(0u, state.sarEnable);
    EXPECT_EQ(1, m_sim.IsPresent(0));
}

TEST_F(Faults, ExplicitRemovalLosesPendingCompletions) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.Reset([] {
        simmodem::StartState s;
        s.settings.completionDelayMs = 300;
        return s;
    }()));
    // A reset orphans every object handed out before it.
    ULONG id = 0;
    EXPECT_EQ(kNotConnected, diag->QueryCommand(3, nullptr, &id));
    diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_EQ(S_OK, diag->QueryCommand(3, nullptr, &id));
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_TRUE(m_sink->WaitForKind(SinkEvent::Removal, 0));
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::QueryComplete, id, 0));
    EXPECT_EQ(0u, m_sim.OpenSessionCount(0));
}

// --- Delayed and held completions ---

constexpr uint32_t kDelayMs = 1500;

// A SAR configuration set with one state whose back-off index is the argument.
Bytes SarConfig(uint8_t backOffIndex) {
    return {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, backOffIndex, 0, 0, 0};
}

enum class Request { SarSet, SarQuery, SarTxSet, DiagSet, AuxOpen, Radio };
enum class Timing { Now, Delayed, Held };

struct TimedRequest {
    Request request;
    Timing timing;
    HRESULT status = S_OK;
};

struct TimingCase {
    const char* name;
    std::vector<FaultSpec> faults;
    std::vector<TimedRequest> requests;  // sent in this order, right after another
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class TimedCompletion : public SimModemTest, public ::testing::WithParamInterface<TimingCase> {
protected:
    struct Sent {
        TimedRequest expected;
        SinkEvent::Kind kind;
        ULONG requestId;
    };

    Sent Send(const TimedRequest& r) {
        Sent sent{r, SinkEvent::SetComplete, 0};
        HRESULT hr = E_UNEXPECTED;
        auto command = [&](IMbnDeviceService* service, bool set, ULONG cid, const Bytes& payload) {
            SAFEARRAY* data = MakeArray(payload);
            hr = set ? service->SetCommand(cid, data, &sent.requestId) : service->QueryCommand(cid, data, &sent.requestId);
            ::SafeArrayDestroy(data);
            sent.kind = set ? SinkEvent::SetComplete : SinkEvent::QueryComplete;
        };
        switch (r.request) {
            case Request::SarSet: command(m_sar.Get(), true, 1, SarConfig(1)); break;
            case Request::SarQuery: command(m_sar.Get(), false, 1, {}); break;
            case Request::SarTxSet: command(m_sar.Get(), true, 2, {0, 0, 0, 0, 5, 0, 0, 0}); break;
            case Request::DiagSet: command(m_diag.Get(), true, 3, {0x00, 0x11}); break;
            case Request::AuxOpen:
                hr = m_aux->OpenCommandSession(&sent.requestId);
                sent.kind = SinkEvent::SessionOpened;
                break;
            case Request::Radio:
                m_radioState = m_radioState == MBN_RADIO_ON ? MBN_RADIO_OFF : MBN_RADIO_ON;
                hr = m_radio->SetSoftwareRadioState(m_radioState, &sent.requestId);
                sent.kind = SinkEvent::RadioComplete;
                break;
        }
        EXPECT_EQ(S_OK, hr);
        return sent;
    }

    size_t Position(const Sent& sent) {
        std::vector<SinkEvent> events = m_sink->Events();
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].kind == sent.kind && events[i].requestId == sent.requestId) return i;
        return events.size();
    }

    ComPtr<IMbnDeviceService> m_sar, m_diag, m_aux;
    ComPtr<IMbnRadio> m_radio;
    MBN_RADIO m_radioState = MBN_RADIO_ON;
};

TEST_P(TimedCompletion, OnlyMatchingCompletionsWaitAndNothingWaitsForThem) {
    const TimingCase& c = GetParam();
    m_sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    m_diag = OpenService(SIMMODEM_SERVICE_DIAG);
    m_aux = Service(SIMMODEM_SERVICE_AUX);
    ASSERT_TRUE(m_sar && m_diag && m_aux);
    ASSERT_EQ(S_OK, Interface().As(&m_radio));
    ASSERT_TRUE(m_sim.AddFaults(c.faults));

    const auto start = std::chrono::steady_clock::now();
    std::vector<Sent> sent;
    for (const TimedRequest& r : c.requests) sent.push_back(Send(r));
    const size_t logged = m_sim.LogCount();
    EXPECT_EQ(c.requests.size() + 2, logged) << "every request reaches the modem (after the two opens)";

    // The untimed completions come while the timed ones are still out, even
    // those sent after a timed one on the same object.
    SinkEvent e;
    for (const Sent& s : sent) {
        if (s.expected.timing != Timing::Now) continue;
        ASSERT_TRUE(m_sink->WaitForRequest(s.kind, s.requestId, kWaitMs, &e)) << s.kind;
        EXPECT_EQ(s.expected.status, e.status) << s.kind;
    }
    for (const Sent& s : sent) {
        if (s.expected.timing == Timing::Now) continue;
        EXPECT_FALSE(m_sink->WaitForRequest(s.kind, s.requestId, 0)) << s.kind << " came before its time";
    }

    for (const Sent& s : sent) {
        if (s.expected.timing != Timing::Delayed) continue;
        ASSERT_TRUE(m_sink->WaitForRequest(s.kind, s.requestId, kDelayMs + kWaitMs, &e)) << s.kind;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kDelayMs)) << s.kind;
        EXPECT_EQ(s.expected.status, e.status) << s.kind;
    }

    // With nothing else to deliver, a held completion still stays.
    ASSERT_TRUE(m_sim.WaitIdle());
    std::vector<Sent> held;
    for (const Sent& s : sent)
        if (s.expected.timing == Timing::Held) held.push_back(s);
    EXPECT_EQ(held.size(), m_sim.HeldCount());
    for (const Sent& s : held) EXPECT_FALSE(m_sink->WaitForRequest(s.kind, s.requestId, 0)) << s.kind;
    EXPECT_EQ(held.size(), m_sim.ReleaseHeld());
    for (const Sent& s : held) {
        ASSERT_TRUE(m_sink->WaitForRequest(s.kind, s.requestId, kDelayMs + kWaitMs, &e)) << s.kind;
        EXPECT_EQ(s.expected.status, e.status) << s.kind;
    }
    for (size_t i = 1; i < held.size(); ++i)
        EXPECT_LT(Position(held[i - 1]), Position(held[i])) << "released in the order they were held";
    EXPECT_EQ(0u, m_sim.HeldCount());
    EXPECT_EQ(logged, m_sim.LogCount()) << "a release sends nothing to the modem";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TimedCompletion,
    ::testing::Values(
        TimingCase{"DelayedSarSets",
                   {FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, kDelayMs, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)},
                   {{Request::SarSet, Timing::Delayed},
                    {Request::SarQuery, Timing::Now},
                    {Request::SarTxSet, Timing::Now},
                    {Request::DiagSet, Timing::Now},
                    {Request::AuxOpen, Timing::Now},
                    {Request::Radio, Timing::Now},
                    {Request::SarSet, Timing::Delayed}}},
        TimingCase{"DelayUsedUp",
                   {FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, kDelayMs, 1, SIMMODEM_OP_SET)},
                   {{Request::SarSet, Timing::Delayed}, {Request::SarSet, Timing::Now}}},
        TimingCase{"DelayedSessionOpen",
                   {FaultSpec::Delay(L"", SIMMODEM_ANY, kDelayMs, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)},
                   {{Request::AuxOpen, Timing::Delayed}, {Request::SarSet, Timing::Now}, {Request::Radio, Timing::Now}}},
        TimingCase{"DelayedRadio",
                   {FaultSpec::Delay(L"", SIMMODEM_ANY, kDelayMs, 1, SIMMODEM_OP_RADIO)},
                   {{Request::Radio, Timing::Delayed}, {Request::SarSet, Timing::Now}, {Request::AuxOpen, Timing::Now}}},
        TimingCase{"DelayedBusy",
                   {FaultSpec::Busy(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET),
                    FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, kDelayMs, 1, SIMMODEM_OP_SET)},
                   {{Request::SarSet, Timing::Delayed, kBusy}, {Request::SarSet, Timing::Now}}},
        TimingCase{"HeldSarSets",
                   {FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 2, SIMMODEM_OP_SET)},
                   {{Request::SarSet, Timing::Held},
                    {Request::SarQuery, Timing::Now},
                    {Request::SarTxSet, Timing::Now},
                    {Request::DiagSet, Timing::Now},
                    {Request::SarSet, Timing::Held},
                    {Request::SarSet, Timing::Now},
                    {Request::Radio, Timing::Now}}},
        TimingCase{"HeldSessionOpen",
                   {FaultSpec::Hold(SIMMODEM_SERVICE_AUX, SIMMODEM_ANY, SIMMODEM_ALWAYS, SIMMODEM_OP_OPEN_SESSION)},
                   {{Request::AuxOpen, Timing::Held}, {Request::SarQuery, Timing::Now}}},
        TimingCase{"HeldRadio",
                   {FaultSpec::Hold(L"", SIMMODEM_ANY, 1, SIMMODEM_OP_RADIO)},
                   {{Request::Radio, Timing::Held}, {Request::DiagSet, Timing::Now}, {Request::Radio, Timing::Now}}},
        // What an end-to-end test does: every set answered late, one of them held as well.
        TimingCase{"HeldAmongDelayed",
                   {FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, kDelayMs, SIMMODEM_ALWAYS, SIMMODEM_OP_SET),
                    FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 1, SIMMODEM_OP_SET)},
                   {{Request::SarSet, Timing::Held}, {Request::SarSet, Timing::Delayed}, {Request::SarQuery, Timing::Now}}}),
    [](const ::testing::TestParamInfo<TimingCase>& info) { return std::string(info.param.name); });

TEST_F(Faults, HeldSetsAreCarriedOutOnArrivalAndAnsweredOnRelease) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_MS_SAR, 1, 2, SIMMODEM_OP_SET)));
    ULONG held[2] = {};
    for (uint8_t i = 0; i < 2; ++i) {
        SAFEARRAY* data = MakeArray(SarConfig(static_cast<uint8_t>(1 + i)));
        ASSERT_EQ(S_OK, sar->SetCommand(1, data, &held[i]));
        ::SafeArrayDestroy(data);
    }
    EXPECT_TRUE(m_sim.WaitForHeld(2, 0));
    EXPECT_FALSE(m_sim.WaitForHeld(3, 0));
    EXPECT_EQ(3u, Get32(Set(sar.Get(), 1, SarConfig(3)).data, 28)) << "the third set is not held";

    // The modem took all three in the order they came: the last one is what it keeps.
    SimModemSarConfig stored = {};
    ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
    EXPECT_EQ(3u, stored.states[0].backOffIndex);

    SinkEvent first, second;
    ASSERT_TRUE(m_sim.ApplyChange(L"release;count=1"));
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SetComplete, held[0], kWaitMs, &first));
    EXPECT_EQ(1u, Get32(first.data, 28)) << "each reply is the modem's answer to its own set";
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SetComplete, held[1], 0)) << "only the oldest went";
    EXPECT_EQ(1u, m_sim.HeldCount());
    EXPECT_EQ(1u, m_sim.ReleaseHeld());
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SetComplete, held[1], kWaitMs, &second));
    EXPECT_EQ(2u, Get32(second.data, 28));
    EXPECT_EQ(0u, m_sim.ReleaseHeld());
    ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
    EXPECT_EQ(3u, stored.states[0].backOffIndex) << "a release changes nothing the modem keeps";
}

TEST_F(Faults, WhatFollowsAHeldCompletionWaitsForIt) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_DIAG, SIMMODEM_ANY, 2, SIMMODEM_OP_SET)));
    ULONG read = 0, reboot = 0;
    for (auto command : {std::make_pair(2u, ReadRequest(0)), std::make_pair(5u, Bytes{0x00, 0x11})}) {
        SAFEARRAY* data = MakeArray(command.second);
        ASSERT_EQ(S_OK, diag->SetCommand(command.first, data, command.first == 2 ? &read : &reboot));
        ::SafeArrayDestroy(data);
    }
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_TRUE(Notifications(diag.Get()).empty()) << "the data frame comes after its completion";
    EXPECT_EQ(0u, m_sink->Count(SinkEvent::Removal)) << "the modem reboots after it has answered";

    ASSERT_EQ(2u, m_sim.ReleaseHeld());
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Arrival, kWaitMs));
    std::vector<SinkEvent::Kind> order;
    for (const SinkEvent& e : m_sink->Events())
        if (e.kind != SinkEvent::StateChange && e.kind != SinkEvent::SessionOpened) order.push_back(e.kind);
    EXPECT_EQ((std::vector<SinkEvent::Kind>{SinkEvent::SetComplete, SinkEvent::Notification, SinkEvent::SetComplete,
                                            SinkEvent::Removal, SinkEvent::Arrival}),
              order);
}

TEST_F(Faults, RemovalAndResetDropHeldCompletions) {
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ASSERT_TRUE(m_sim.AddFault(FaultSpec::Hold(SIMMODEM_SERVICE_DIAG, 3, SIMMODEM_ALWAYS, SIMMODEM_OP_SET)));
    auto send = [&](const Bytes& payload) {
        SAFEARRAY* data = MakeArray(payload);
        ULONG id = 0;
        EXPECT_EQ(S_OK, diag->SetCommand(3, data, &id));
        ::SafeArrayDestroy(data);
        return id;
    };
    const ULONG beforeRemoval = send({0x00, 0x11});
    ASSERT_EQ(1u, m_sim.HeldCount());
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    EXPECT_EQ(0u, m_sim.HeldCount()) << "lost with the removal, as a pending completion is";
    ASSERT_TRUE(m_sim.ArriveInterface(0));
    EXPECT_EQ(0u, m_sim.ReleaseHeld());
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SetComplete, beforeRemoval, 0));
    SimModemDiagState state = {};
    ASSERT_TRUE(m_sim.GetDiagState(0, state));
    EXPECT_EQ(1u, state.sarEnable) << "carried out before the removal, and kept";

    diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    const ULONG beforeReset = send({0x00, 0x22});
    ASSERT_EQ(1u, m_sim.HeldCount());
    ASSERT_TRUE(m_sim.Reset(State()));
    EXPECT_EQ(0u, m_sim.HeldCount());
    EXPECT_EQ(0u, m_sim.ReleaseHeld());
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_FALSE(m_sink->WaitForRequest(SinkEvent::SetComplete, beforeReset, 0));
}

// No Mobile Broadband service: the class factory refuses at once, as a
// missing class would after Wine's 10 s local-server attempt.
class NoService : public ::testing::Test {};

TEST_F(NoService, CreateInstanceFailsFast) {
    ASSERT_TRUE(CSimModemRemote::Clear());
    ASSERT_TRUE(CSimModemControl::Register());
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        CSimModemControl sim;
        ASSERT_TRUE(sim.Load());
        simmodem::StartState state;
        state.faults = FaultSpec::NoService();
        ASSERT_TRUE(sim.Reset(state));
        for (const CLSID* clsid : {&CLSID_MbnInterfaceManager, &CLSID_MbnDeviceServicesManager}) {
            auto start = std::chrono::steady_clock::now();
            IUnknown* object = nullptr;
            EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(*clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                              reinterpret_cast<void**>(&object)));
            EXPECT_EQ(nullptr, object);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        }
        sim.ClearFaults();
        ComPtr<IMbnInterfaceManager> manager;
        EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                           reinterpret_cast<void**>(manager.GetAddressOf())));
    }
    ::CoUninitialize();
}

}  // namespace
}  // namespace simtest

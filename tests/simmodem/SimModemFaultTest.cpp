// Faults a test can inject: busy and other statuses, failing methods, lost
// completions, overridden replies, removal mid-way and no Mobile Broadband
// service at all.
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

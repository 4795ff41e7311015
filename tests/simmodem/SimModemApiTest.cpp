// The simulator as a client of the Mobile Broadband COM API sees it:
// activation, interfaces, radio, connection points, device services and
// command sessions, and where events are delivered.
#include "SimModemFixture.h"

#include <ocidl.h>
#include <olectl.h>

namespace simtest {
namespace {

class Interfaces : public SimModemTest {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        simmodem::InterfaceSpec qualcomm = simmodem::InterfaceSpec::Qualcomm();
        qualcomm.interfaceId = L"{0D5B2A9E-1C3F-4A6B-9E8D-7F6A5B4C3D2E}";
        qualcomm.providerId = L"23415";
        simmodem::InterfaceSpec absent = simmodem::InterfaceSpec::Fibocom();
        absent.present = false;
        s.interfaces = {qualcomm, absent, simmodem::InterfaceSpec::Nuvik()};
        return s;
    }
};

TEST_F(Interfaces, ActivationReachesTheSimulator) {
    EXPECT_EQ(1u, m_sim.ObjectCount(SIMMODEM_OBJECT_INTERFACE_MANAGER));
    EXPECT_EQ(1u, m_sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICES_MANAGER));
    // A second activation is another object served by the same modem.
    ComPtr<IMbnInterfaceManager> second;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                       reinterpret_cast<void**>(second.GetAddressOf())));
    EXPECT_EQ(2u, m_sim.ObjectCount(SIMMODEM_OBJECT_INTERFACE_MANAGER));
    second.Reset();
    EXPECT_EQ(1u, m_sim.ObjectCount(SIMMODEM_OBJECT_INTERFACE_MANAGER));
}

TEST_F(Interfaces, ListsPresentInterfacesWithTheirCapabilities) {
    SAFEARRAY* array = nullptr;
    ASSERT_EQ(S_OK, m_manager->GetInterfaces(&array));
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(S_OK, ::SafeArrayGetVartype(array, &vt));
    EXPECT_EQ(VT_UNKNOWN, vt);
    LONG lower = -1, upper = -1;
    ::SafeArrayGetLBound(array, 1, &lower);
    ::SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(1, upper) << "the removed Fibocom interface is not listed";
    ::SafeArrayDestroy(array);

    struct Expected {
        const wchar_t* model;
        const wchar_t* manufacturer;
        const wchar_t* provider;
    } expected[] = {{L"Qualcomm Snapdragon X55 5G", L"Qualcomm", L"23415"}, {L"Nuvik HX730R-GL", L"Nuvik", L"26201"}};
    for (uint32_t i = 0; i < 2; ++i) {
        ComPtr<IMbnInterface> itf = Interface(i);
        ASSERT_TRUE(itf);
        BSTR id = nullptr;
        ASSERT_EQ(S_OK, itf->get_InterfaceID(&id));
        EXPECT_EQ(m_sim.InterfaceId(i == 0 ? 0 : 2), std::wstring(id));
        MBN_INTERFACE_CAPS caps = {};
        ASSERT_EQ(S_OK, itf->GetInterfaceCapability(&caps));
        EXPECT_STREQ(expected[i].model, caps.model);
        EXPECT_STREQ(expected[i].manufacturer, caps.manufacturer);
        EXPECT_NE(nullptr, caps.firmwareInfo);
        for (BSTR b : {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model,
                       caps.firmwareInfo})
            ::SysFreeString(b);

        // The same object by id, in any case, and its radio and registration faces.
        std::wstring lower(id);
        for (auto& c : lower) c = towlower(c);
        ComPtr<IMbnInterface> byId;
        ASSERT_EQ(S_OK, m_manager->GetInterface(lower.c_str(), byId.GetAddressOf()));
        EXPECT_EQ(itf.Get(), byId.Get());
        ::SysFreeString(id);
        ComPtr<IMbnRegistration> registration;
        ASSERT_EQ(S_OK, itf.As(&registration));
        MBN_REGISTER_STATE state = MBN_REGISTER_STATE_NONE;
        EXPECT_EQ(S_OK, registration->GetRegisterState(&state));
        EXPECT_EQ(MBN_REGISTER_STATE_HOME, state);
        BSTR provider = nullptr;
        EXPECT_EQ(S_OK, registration->GetProviderID(&provider));
        EXPECT_STREQ(expected[i].provider, provider);
        ::SysFreeString(provider);
        ComPtr<IMbnRadio> radio;
        EXPECT_EQ(S_OK, itf.As(&radio));
    }
    ComPtr<IMbnInterface> none;
    EXPECT_EQ(kNotFound, m_manager->GetInterface(m_sim.InterfaceId(1).c_str(), none.GetAddressOf()));
    EXPECT_EQ(nullptr, none.Get());
}

class NoModem : public SimModemTest {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        s.interfaces.clear();
        return s;
    }
};

TEST_F(NoModem, GetInterfacesSucceedsWithAnEmptyList) {
    SAFEARRAY* array = nullptr;
    ASSERT_EQ(S_OK, m_manager->GetInterfaces(&array));
    ASSERT_NE(nullptr, array);
    LONG upper = 0;
    ::SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(-1, upper);
    ::SafeArrayDestroy(array);
    ComPtr<IMbnDeviceServicesContext> context;
    BSTR id = ::SysAllocString(L"{5A1D0000-0000-4000-8000-000000000001}");
    EXPECT_EQ(kNotFound, m_services->GetDeviceServicesContext(id, context.GetAddressOf()));
    ::SysFreeString(id);
}

TEST_F(Interfaces, AddedRemovedAndArrivingInterfacesRaiseBothEvents) {
    ComPtr<IMbnInterface> first = Interface(0);
    std::wstring firstId = m_sim.InterfaceId(0);
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    SinkEvent removal, state;
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Removal, kWaitMs, &removal));
    EXPECT_EQ(static_cast<void*>(first.Get()), removal.object);
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::StateChange, kWaitMs, &state));
    EXPECT_EQ(firstId, state.text);
    EXPECT_EQ(ULONG(MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL), state.state);
    ComPtr<IMbnRadio> radio;
    ASSERT_EQ(S_OK, first.As(&radio));
    MBN_RADIO value;
    EXPECT_EQ(kNotConnected, radio->get_HardwareRadioState(&value));
    m_sink->Clear();

    ASSERT_TRUE(m_sim.ArriveInterface(0));
    SinkEvent arrival;
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Arrival, kWaitMs, &arrival));
    EXPECT_EQ(static_cast<void*>(first.Get()), arrival.object);
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::StateChange, kWaitMs, &state));
    EXPECT_EQ(ULONG(MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL), state.state);
    EXPECT_EQ(S_OK, radio->get_HardwareRadioState(&value));
    m_sink->Clear();

    simmodem::InterfaceSpec added = simmodem::InterfaceSpec::Fibocom();
    added.interfaceId = L"{11111111-2222-3333-4444-555555555555}";
    EXPECT_EQ(3, m_sim.AddInterface(added));
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::StateChange, kWaitMs, &state));
    EXPECT_EQ(added.interfaceId, state.text);
    EXPECT_EQ(1u, m_sink->Count(SinkEvent::Arrival));
}

class Radio : public SimModemTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        s.settings.completionDelayMs = GetParam();
        return s;
    }
};

TEST_P(Radio, SoftwareSwitchCompletesOnTheSimulatorThread) {
    ComPtr<IMbnRadio> radio;
    ASSERT_EQ(S_OK, Interface().As(&radio));
    ULONG first = 0, second = 0;
    ASSERT_EQ(S_OK, radio->SetSoftwareRadioState(MBN_RADIO_OFF, &first));
    SinkEvent done, change;
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::RadioComplete, first, kWaitMs, &done));
    EXPECT_EQ(S_OK, done.status);
    EXPECT_EQ(static_cast<void*>(radio.Get()), done.object);
    EXPECT_NE(::GetCurrentThreadId(), done.thread);
    EXPECT_EQ(m_sim.PrimaryThreadId(), done.thread);
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::RadioChange, kWaitMs, &change));
    MBN_RADIO state = MBN_RADIO_ON;
    EXPECT_EQ(S_OK, radio->get_SoftwareRadioState(&state));
    EXPECT_EQ(MBN_RADIO_OFF, state);

    // The same state again completes without a change; request ids keep growing.
    ASSERT_EQ(S_OK, radio->SetSoftwareRadioState(MBN_RADIO_OFF, &second));
    EXPECT_GT(second, first);
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::RadioComplete, second, kWaitMs));
    EXPECT_EQ(1u, m_sink->Count(SinkEvent::RadioChange));
    EXPECT_EQ(E_INVALIDARG, radio->SetSoftwareRadioState(static_cast<MBN_RADIO>(2), &second));

    // The hardware switch is the test's to flip.
    ASSERT_TRUE(m_sim.SetRadio(0, MBN_RADIO_OFF));
    EXPECT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(2u, m_sink->Count(SinkEvent::RadioChange));
    EXPECT_EQ(S_OK, radio->get_HardwareRadioState(&state));
    EXPECT_EQ(MBN_RADIO_OFF, state);
    auto log = m_sim.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(uint32_t(SIMMODEM_OP_RADIO), log[0].op);
    EXPECT_EQ(Bytes{0}, log[0].payload);
}

INSTANTIATE_TEST_SUITE_P(Delays, Radio, ::testing::Values(0u, 5u));

TEST_F(Interfaces, RegistrationChangeIsNotified) {
    ASSERT_TRUE(m_sim.SetRegistration(0, MBN_REGISTER_STATE_ROAMING, L"20801"));
    SinkEvent change;
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::RegisterChange, kWaitMs, &change));
    ComPtr<IMbnRegistration> registration;
    ASSERT_EQ(S_OK, Interface().As(&registration));
    EXPECT_EQ(static_cast<void*>(registration.Get()), change.object);
    MBN_REGISTER_STATE state;
    EXPECT_EQ(S_OK, registration->GetRegisterState(&state));
    EXPECT_EQ(MBN_REGISTER_STATE_ROAMING, state);
}

struct SinkCase {
    const char* name;
    uint32_t sink;
    const IID* iid;
    bool onInterfaceManager;
};

void PrintTo(const SinkCase& c, std::ostream* os) { *os << c.name; }

class Sinks : public SimModemTest, public ::testing::WithParamInterface<SinkCase> {};

TEST_P(Sinks, AdviseHoldsOneReferenceAndUnadviseDropsIt) {
    const SinkCase& c = GetParam();
    ComPtr<IUnknown> owner;  // a container of this test's own, so that it can go away
    ASSERT_EQ(S_OK, ::CoCreateInstance(c.onInterfaceManager ? CLSID_MbnInterfaceManager : CLSID_MbnDeviceServicesManager,
                                       nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(owner.GetAddressOf())));
    IUnknown* container = owner.Get();
    uint32_t before = m_sim.AdvisedCount(c.sink);
    CTestSink* sink = new CTestSink();
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, Advise(container, *c.iid, static_cast<IMbnRadioEvents*>(sink), point, cookie));
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(2, sink->RefCount());
    EXPECT_EQ(before + 1, m_sim.AdvisedCount(c.sink));
    IID iid = {};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_EQ(*c.iid, iid);
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(1, sink->RefCount());
    EXPECT_EQ(before, m_sim.AdvisedCount(c.sink));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));

    // A sink without the event interface is refused; one left advised goes with its container.
    CTestSink* mute = new CTestSink(false);
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(static_cast<IMbnRadioEvents*>(mute), &cookie));
    EXPECT_EQ(1, mute->RefCount());
    mute->Release();
    ASSERT_EQ(S_OK, point->Advise(static_cast<IMbnRadioEvents*>(sink), &cookie));
    EXPECT_EQ(2, sink->RefCount());
    point.Reset();
    owner.Reset();
    EXPECT_EQ(1, sink->RefCount());
    EXPECT_EQ(before, m_sim.AdvisedCount(c.sink));
    sink->Release();
}

INSTANTIATE_TEST_SUITE_P(
    All, Sinks,
    ::testing::Values(SinkCase{"InterfaceManager", SIMMODEM_SINK_INTERFACE_MANAGER, &IID_IMbnInterfaceManagerEvents, true},
                      SinkCase{"Radio", SIMMODEM_SINK_RADIO, &IID_IMbnRadioEvents, true},
                      SinkCase{"Registration", SIMMODEM_SINK_REGISTRATION, &IID_IMbnRegistrationEvents, true},
                      SinkCase{"DeviceServices", SIMMODEM_SINK_DEVICE_SERVICES, &IID_IMbnDeviceServicesEvents, false}),
    [](const ::testing::TestParamInfo<SinkCase>& info) { return std::string(info.param.name); });

TEST_F(Interfaces, ConnectionPointsAnswerOnlyTheirEventInterfaces) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, m_services.As(&container));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IMbnRadioEvents, point.GetAddressOf()));
    ASSERT_EQ(S_OK, m_manager.As(&container));
    EXPECT_EQ(CONNECT_E_NOCONNECTION,
              container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, point.GetAddressOf()));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IMbnRadioEvents, point.GetAddressOf()));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.GetAddressOf()));
    EXPECT_EQ(container.Get(), back.Get());
}

class DeviceServices : public SimModemTest {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        simmodem::InterfaceSpec sarOnly = simmodem::InterfaceSpec::Qualcomm();
        sarOnly.services = {SIMMODEM_SERVICE_MS_SAR, SIMMODEM_SERVICE_QMUX};
        sarOnly.maxCommandSize = 64;
        s.interfaces.push_back(sarOnly);
        return s;
    }

    std::vector<std::wstring> Enumerate(uint32_t position) {
        std::vector<std::wstring> ids;
        SAFEARRAY* array = nullptr;
        EXPECT_EQ(S_OK, Context(m_sim.InterfaceId(position))->EnumerateDeviceServices(&array));
        if (!array) return ids;
        EXPECT_EQ(sizeof(MBN_DEVICE_SERVICE), ::SafeArrayGetElemsize(array));
        LONG upper = -1;
        ::SafeArrayGetUBound(array, 1, &upper);
        for (LONG i = 0; i <= upper; ++i) {
            MBN_DEVICE_SERVICE item = {};
            EXPECT_EQ(S_OK, ::SafeArrayGetElement(array, &i, &item));
            ids.emplace_back(item.deviceServiceID);
            EXPECT_EQ(VARIANT_FALSE, item.dataWriteSupported);
            ::SysFreeString(item.deviceServiceID);
        }
        ::SafeArrayDestroy(array);
        return ids;
    }
};

TEST_F(DeviceServices, EnumeratesEachInterfacesServicesAndFindsThemByAnyCase) {
    EXPECT_EQ(simmodem::InterfaceSpec::AllServices(), Enumerate(0));
    EXPECT_EQ((std::vector<std::wstring>{SIMMODEM_SERVICE_MS_SAR, SIMMODEM_SERVICE_QMUX}), Enumerate(1));

    ComPtr<IMbnDeviceService> diag = Service(L"{2D0C12C9-0E6A-495A-915C-8D174FE5D63C}");
    ASSERT_TRUE(diag);
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, diag->get_DeviceServiceID(&text));
    EXPECT_STREQ(SIMMODEM_SERVICE_DIAG, text) << "the id as the modem lists it";
    ::SysFreeString(text);
    ASSERT_EQ(S_OK, diag->get_InterfaceID(&text));
    EXPECT_EQ(m_sim.InterfaceId(0), std::wstring(text));
    ::SysFreeString(text);
    EXPECT_FALSE(Service(SIMMODEM_SERVICE_DIAG, 1)) << "not listed on the Qualcomm interface";
    EXPECT_NE(Service(SIMMODEM_SERVICE_DIAG).Get(), diag.Get()) << "a new object per call";

    ULONG size = 0;
    ComPtr<IMbnDeviceServicesContext> context = Context(m_sim.InterfaceId(1));
    EXPECT_EQ(S_OK, context->get_MaxCommandSize(&size));
    EXPECT_EQ(64u, size);
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR, 1);
    ASSERT_TRUE(sar);
    SAFEARRAY* big = MakeArray(Bytes(64, 0));
    ULONG requestId = 0;
    EXPECT_EQ(E_INVALIDARG, sar->SetCommand(1, big, &requestId)) << "data must be smaller than MaxCommandSize";
    ::SafeArrayDestroy(big);
}

TEST_F(DeviceServices, CommandsNeedTheirOwnOpenSession) {
    ComPtr<IMbnDeviceService> sar = Service(SIMMODEM_SERVICE_MS_SAR);
    ComPtr<IMbnDeviceService> other = Service(SIMMODEM_SERVICE_MS_SAR);
    SAFEARRAY* empty = MakeArray({});
    ULONG requestId = 0;
    EXPECT_EQ(kNoSession, sar->QueryCommand(1, empty, &requestId));
    EXPECT_EQ(kNoSession, sar->CloseCommandSession(&requestId));

    ASSERT_EQ(S_OK, sar->OpenCommandSession(&requestId));
    SinkEvent opened;
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionOpened, requestId, kWaitMs, &opened));
    EXPECT_EQ(static_cast<void*>(sar.Get()), opened.object);
    EXPECT_EQ(S_OK, opened.status);
    BOOL open = static_cast<BOOL>(0x7F7F7F7F);  // all four bytes must be written
    EXPECT_EQ(S_OK, sar->get_IsCommandSessionOpen(&open));
    EXPECT_EQ(TRUE, open);
    open = static_cast<BOOL>(0x7F7F7F7F);
    EXPECT_EQ(S_OK, other->get_IsCommandSessionOpen(&open));
    EXPECT_EQ(FALSE, open);
    EXPECT_EQ(kNoSession, other->QueryCommand(1, empty, &requestId));
    EXPECT_EQ(1u, m_sim.OpenSessionCount(0, SIMMODEM_SERVICE_MS_SAR));

    ULONG closeId = 0;
    ASSERT_EQ(S_OK, sar->CloseCommandSession(&closeId));
    EXPECT_GT(closeId, requestId);
    SinkEvent closed;
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionClosed, closeId, kWaitMs, &closed));
    EXPECT_EQ(static_cast<void*>(sar.Get()), closed.object);
    EXPECT_EQ(S_OK, sar->get_IsCommandSessionOpen(&open));
    EXPECT_EQ(FALSE, open);
    ::SafeArrayDestroy(empty);

    auto log = m_sim.Log();
    ASSERT_EQ(2u, log.size()) << "refused calls are not received by the modem";
    EXPECT_EQ(uint32_t(SIMMODEM_OP_OPEN_SESSION), log[0].op);
    EXPECT_EQ(uint32_t(SIMMODEM_OP_CLOSE_SESSION), log[1].op);
    EXPECT_EQ(SIMMODEM_SERVICE_MS_SAR, log[1].service);
    sar.Reset();
    other.Reset();
    EXPECT_EQ(0u, m_sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE));
}

// A client that waits inside one callback for another completion (as a library
// that reopens its sessions on arrival does) gets it from a standby thread;
// with hand-over off there is only the one thread, and it waits in vain.
class HandOver : public SimModemTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        s.settings.handOverMs = GetParam();
        return s;
    }
};

TEST_P(HandOver, BlockedSinkGetsCompletionsFromAStandbyThread) {
    ComPtr<IMbnDeviceService> diag = Service(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    ComPtr<CTestSink> waiter;
    waiter.Attach(new CTestSink());
    std::atomic<int> outcome{-1};
    CTestSink* raw = waiter.Get();
    waiter->hook = [&, raw](const SinkEvent& e) {
        if (e.kind != SinkEvent::Arrival) return;
        ULONG requestId = 0;
        if (FAILED(diag->OpenCommandSession(&requestId))) return;
        outcome = raw->WaitForRequest(SinkEvent::SessionOpened, requestId, 600) ? 1 : 0;
    };
    ComPtr<IConnectionPoint> managerPoint, servicesPoint;
    DWORD managerCookie = 0, servicesCookie = 0;
    ASSERT_EQ(S_OK, Advise(m_manager.Get(), IID_IMbnInterfaceManagerEvents,
                           static_cast<IMbnInterfaceManagerEvents*>(raw), managerPoint, managerCookie));
    ASSERT_EQ(S_OK, Advise(m_services.Get(), IID_IMbnDeviceServicesEvents,
                           static_cast<IMbnInterfaceManagerEvents*>(raw), servicesPoint, servicesCookie));
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(m_sim.WaitIdle(5000));
    EXPECT_EQ(GetParam() ? 1 : 0, outcome.load());
    SinkEvent opened;
    if (GetParam() && waiter->WaitForKind(SinkEvent::SessionOpened, 0, &opened)) {
        EXPECT_TRUE(m_sim.IsDeliveryThread(opened.thread));
        EXPECT_NE(m_sim.PrimaryThreadId(), opened.thread);
    }
    managerPoint->Unadvise(managerCookie);
    servicesPoint->Unadvise(servicesCookie);
}

INSTANTIATE_TEST_SUITE_P(Settings, HandOver, ::testing::Values(100u, 0u));

}  // namespace
}  // namespace simtest

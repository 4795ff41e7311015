// Which pointer each event passes for the object it is about, in the three
// delivery modes; that the objects made for events answer as the originals do
// and are released; and the stray completions that the stray faults send.
#include "SimModemFixture.h"

#include "SimRegistryLayout.h"

#include <map>

namespace simtest {
namespace {

// An event's object as the sink saw it during the delivery (it may be gone after).
struct Seen {
    SinkEvent::Kind kind = SinkEvent::Arrival;
    ULONG requestId = 0;
    HRESULT status = S_OK;
    void* pointer = nullptr;
    IUnknown* identity = nullptr;  // compared only
    std::wstring interfaceId;
    std::wstring serviceId;  // device-service events
    BOOL sessionOpen = FALSE;
};

IUnknown* IdentityOf(IUnknown* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
    return identity.Get();  // still held by the object's owner
}

bool IsServiceEvent(SinkEvent::Kind kind) {
    return kind == SinkEvent::SessionOpened || kind == SinkEvent::SetComplete || kind == SinkEvent::QueryComplete ||
           kind == SinkEvent::Notification;
}

Seen Look(const SinkEvent& e) {
    Seen seen;
    seen.kind = e.kind;
    seen.requestId = e.requestId;
    seen.status = e.status;
    seen.pointer = e.object;
    if (!e.object) return seen;
    IUnknown* object = static_cast<IUnknown*>(e.object);  // every event interface starts with IUnknown
    seen.identity = IdentityOf(object);
    BSTR text = nullptr;
    if (IsServiceEvent(e.kind)) {
        ComPtr<IMbnDeviceService> service;
        if (FAILED(object->QueryInterface(IID_IMbnDeviceService, reinterpret_cast<void**>(service.GetAddressOf()))))
            return seen;
        if (SUCCEEDED(service->get_InterfaceID(&text)) && text) seen.interfaceId = text;
        ::SysFreeString(text);
        text = nullptr;
        if (SUCCEEDED(service->get_DeviceServiceID(&text)) && text) seen.serviceId = text;
        ::SysFreeString(text);
        service->get_IsCommandSessionOpen(&seen.sessionOpen);
        return seen;
    }
    ComPtr<IMbnInterface> itf;
    if (SUCCEEDED(object->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(itf.GetAddressOf()))) &&
        SUCCEEDED(itf->get_InterfaceID(&text)) && text)
        seen.interfaceId = text;
    ::SysFreeString(text);
    return seen;
}

class Delivery : public SimModemTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        simmodem::InterfaceSpec second = simmodem::InterfaceSpec::Nuvik();
        second.interfaceId = L"{7E3D2C1B-0A9F-4E8D-8C7B-6A5F4E3D2C1B}";
        s.interfaces.push_back(second);
        s.settings.delivery = GetParam();
        return s;
    }
    void SetUp() override {
        SimModemTest::SetUp();
        m_sink->hook = [this](const SinkEvent& e) {
            Seen seen = Look(e);
            std::lock_guard<std::mutex> guard(m_lock);
            m_seen.push_back(seen);
        };
    }
    void TearDown() override {
        m_sink->hook = nullptr;
        SimModemTest::TearDown();
    }

    std::vector<Seen> SeenOf(SinkEvent::Kind kind) {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<Seen> found;
        for (const Seen& s : m_seen)
            if (s.kind == kind) found.push_back(s);
        return found;
    }

    // The event's object against the one the caller holds: the pointer, the
    // identity and the ids as the mode says.
    void ExpectFor(const Seen& seen, void* callerPointer, IUnknown* caller, const char* what) {
        const uint32_t mode = GetParam();
        EXPECT_EQ(seen.pointer == callerPointer, mode == SIMMODEM_DELIVERY_SAME) << what;
        EXPECT_EQ(seen.identity == IdentityOf(caller), mode != SIMMODEM_DELIVERY_OTHER) << what;
        EXPECT_EQ(seen.interfaceId, m_sim.InterfaceId(0)) << what;
    }

    std::mutex m_lock;
    std::vector<Seen> m_seen;
};

TEST_P(Delivery, EveryEventPassesTheObjectAsTheModeSaysAndLetsItGo) {
    EXPECT_EQ(m_sim.Delivery(), GetParam());
    ComPtr<IMbnDeviceService> sar = Service(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    ULONG opened = 0;
    ASSERT_EQ(S_OK, sar->OpenCommandSession(&opened));
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionOpened, opened, kWaitMs));
    const SinkEvent set = Set(sar.Get(), 2, {1, 0, 0, 0, 5, 0, 0, 0});
    const SinkEvent query = Query(sar.Get(), 1);
    ASSERT_TRUE(m_sim.SetTransmitting(0, true));
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Notification, kWaitMs));

    ComPtr<IMbnInterface> itf = Interface();
    ComPtr<IMbnRadio> radio;
    ComPtr<IMbnRegistration> registration;
    ASSERT_EQ(S_OK, itf.As(&radio));
    ASSERT_EQ(S_OK, itf.As(&registration));
    ULONG switched = 0;
    ASSERT_EQ(S_OK, radio->SetSoftwareRadioState(MBN_RADIO_OFF, &switched));
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::RadioComplete, switched, kWaitMs));
    ASSERT_TRUE(m_sim.SetRegistration(0, MBN_REGISTER_STATE_ROAMING));
    ASSERT_TRUE(m_sim.WaitIdle());  // a removal drops what is still pending for the interface
    ASSERT_TRUE(m_sim.RemoveInterface(0));
    ASSERT_TRUE(m_sim.ArriveInterface(0));
    ASSERT_TRUE(m_sim.WaitIdle());

    const std::map<SinkEvent::Kind, ULONG> requests = {{SinkEvent::SessionOpened, opened},
                                                       {SinkEvent::SetComplete, set.requestId},
                                                       {SinkEvent::QueryComplete, query.requestId},
                                                       {SinkEvent::Notification, 0}};
    for (const auto& request : requests) {
        std::vector<Seen> seen = SeenOf(request.first);
        ASSERT_EQ(seen.size(), 1u) << request.first;
        ExpectFor(seen[0], sar.Get(), sar.Get(), "device-service event");
        EXPECT_EQ(seen[0].requestId, request.second) << "the request ids are the same in every mode";
        EXPECT_EQ(seen[0].serviceId, SIMMODEM_SERVICE_MS_SAR);
        EXPECT_TRUE(seen[0].sessionOpen) << "the event's object shares the caller's session";
    }
    for (SinkEvent::Kind kind : {SinkEvent::RadioComplete, SinkEvent::RadioChange})
        for (const Seen& seen : SeenOf(kind)) ExpectFor(seen, radio.Get(), itf.Get(), "radio event");
    ASSERT_EQ(SeenOf(SinkEvent::RegisterChange).size(), 1u);
    ExpectFor(SeenOf(SinkEvent::RegisterChange)[0], registration.Get(), itf.Get(), "registration event");
    ASSERT_EQ(SeenOf(SinkEvent::Arrival).size(), 1u);
    ExpectFor(SeenOf(SinkEvent::Arrival)[0], itf.Get(), itf.Get(), "arrival");
    EXPECT_EQ(SeenOf(SinkEvent::Removal).size(), 1u);

    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_EVENT_OBJECT), 0u) << "nothing kept: every event object is gone";
    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE), 1u) << "only the caller's service";
}

TEST_P(Delivery, EventObjectThatASinkKeepsWorksAndIsCountedUntilReleased) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    ComPtr<IMbnDeviceService> kept;
    m_sink->hook = [&kept](const SinkEvent& e) {
        if (e.kind == SinkEvent::QueryComplete && !kept) kept = static_cast<IMbnDeviceService*>(e.object);
    };
    Query(sar.Get(), 1);
    ASSERT_TRUE(m_sim.WaitIdle());
    ASSERT_TRUE(kept);
    const uint32_t made = GetParam() == SIMMODEM_DELIVERY_SAME ? 0u : 1u;
    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_EVENT_OBJECT), made);

    // Commands through it reach the caller's service and its session.
    BOOL open = FALSE;
    EXPECT_EQ(S_OK, kept->get_IsCommandSessionOpen(&open));
    EXPECT_TRUE(open);
    const SinkEvent done = Query(kept.Get(), 1);
    EXPECT_EQ(S_OK, done.status);
    EXPECT_EQ(m_sim.Log().back().requestId, done.requestId);

    sar.Reset();
    kept.Reset();
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_EVENT_OBJECT), 0u);
    EXPECT_EQ(m_sim.ObjectCount(SIMMODEM_OBJECT_DEVICE_SERVICE), 0u) << "the event object held the service no longer";
}

TEST_P(Delivery, StrayCompletionsComeFirstAndAreNotTheCommands) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    const HRESULT refused = static_cast<HRESULT>(5);
    for (uint32_t kind : {SIMMODEM_FAULT_STRAY_SERVICE, SIMMODEM_FAULT_STRAY_INTERFACE, SIMMODEM_FAULT_STRAY_REQUEST})
        ASSERT_TRUE(m_sim.AddFault(simmodem::FaultSpec::Stray(kind, SIMMODEM_SERVICE_MS_SAR, 1, refused, 1)));
    const Bytes config = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    SAFEARRAY* data = MakeArray(config);
    ULONG requestId = 0;
    ASSERT_EQ(S_OK, sar->SetCommand(1, data, &requestId));
    ::SafeArrayDestroy(data);
    ASSERT_TRUE(m_sim.WaitIdle());
    const std::vector<Seen> sets = SeenOf(SinkEvent::SetComplete);
    ASSERT_EQ(sets.size(), 4u);
    struct Expected {
        const char* what;
        std::wstring interfaceId;
        const wchar_t* serviceId;
        bool sameRequest;
    } expected[] = {
        {"another service", m_sim.InterfaceId(0), SIMMODEM_SERVICE_DIAG, true},
        {"another interface", m_sim.InterfaceId(1), SIMMODEM_SERVICE_MS_SAR, true},
        {"another request", m_sim.InterfaceId(0), SIMMODEM_SERVICE_MS_SAR, false},
    };
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sets[i].status, refused) << expected[i].what;
        EXPECT_EQ(sets[i].interfaceId, expected[i].interfaceId) << expected[i].what;
        EXPECT_EQ(sets[i].serviceId, expected[i].serviceId) << expected[i].what;
        EXPECT_EQ(sets[i].requestId == requestId, expected[i].sameRequest) << expected[i].what;
        // Only the stray request comes on the command's own service object.
        EXPECT_EQ(sets[i].identity == IdentityOf(sar.Get()),
                  !expected[i].sameRequest && GetParam() != SIMMODEM_DELIVERY_OTHER)
            << expected[i].what;
    }
    EXPECT_EQ(sets[3].requestId, requestId) << "the command's own completion comes last";
    EXPECT_EQ(sets[3].status, S_OK);
    // Used up: the next command gets only its own completion.
    m_sink->Clear();
    Query(sar.Get(), 1);
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(m_sink->Count(SinkEvent::QueryComplete), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, Delivery,
                         ::testing::Values(SIMMODEM_DELIVERY_SAME, SIMMODEM_DELIVERY_TEAROFF, SIMMODEM_DELIVERY_OTHER),
                         [](const ::testing::TestParamInfo<uint32_t>& info) { return std::string(simmodem::DeliveryName(info.param)); });

class DeliverySetting : public SimModemTest {};

TEST_F(DeliverySetting, ComesFromTheStartStateAndGoesBackWithAReset) {
    simmodem::StartState state;
    state.settings.delivery = SIMMODEM_DELIVERY_OTHER;
    ASSERT_TRUE(simreg::WriteStartState(state));
    simmodem::StartState read;
    ASSERT_TRUE(simreg::ReadStartState(read));
    EXPECT_EQ(read.settings.delivery, static_cast<uint32_t>(SIMMODEM_DELIVERY_OTHER));
    ASSERT_TRUE(CSimModemRemote::Clear());

    EXPECT_EQ(m_sim.Delivery(), static_cast<uint32_t>(SIMMODEM_DELIVERY_SAME));
    EXPECT_TRUE(m_sim.SetDelivery(SIMMODEM_DELIVERY_TEAROFF));
    EXPECT_EQ(m_sim.Delivery(), static_cast<uint32_t>(SIMMODEM_DELIVERY_TEAROFF));
    EXPECT_FALSE(m_sim.SetDelivery(3)) << "no such mode";
    EXPECT_EQ(m_sim.Delivery(), static_cast<uint32_t>(SIMMODEM_DELIVERY_TEAROFF));
    ASSERT_TRUE(m_sim.Reset(simmodem::StartState()));
    EXPECT_EQ(m_sim.Delivery(), static_cast<uint32_t>(SIMMODEM_DELIVERY_SAME));
}

}  // namespace
}  // namespace simtest

// What the modem does with commands: the MS SAR configuration and
// transmission status, the diag service's SAR data exchange, enable, version
// and device root with its reboot.
#include "SimModemFixture.h"
#include "TestSupport.h"

namespace simtest {
namespace {

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) Put32(b, w);
    return b;
}

using Commands = SimModemTest;

TEST_F(Commands, SarConfigSetAndQueryReplyWithTheStoredConfiguration) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    // OS control, back-off off, one state {antenna 0, index 1} at offset 20.
    SinkEvent done = Set(sar.Get(), 1, Words({1, 0, 1, 20, 8, 0, 1}));
    EXPECT_EQ(S_OK, done.status);
    EXPECT_EQ(1u, done.id);
    EXPECT_EQ(static_cast<void*>(sar.Get()), done.object);
    EXPECT_EQ(Words({1, 0, 0, 1, 24, 8, 0, 1}), done.data) << "32 bytes, the state now at offset 24";
    EXPECT_EQ(Words({1, 0, 0, 1, 24, 8, 0, 1}), Query(sar.Get(), 1).data);

    done = Set(sar.Get(), 1, Words({1, 1, 2, 28, 8, 36, 8, 0xFFFFFFFF, 3, 1, 4}));
    EXPECT_EQ(Words({1, 1, 0, 2, 32, 8, 40, 8, 0xFFFFFFFF, 3, 1, 4}), done.data);
    SimModemSarConfig stored = {};
    ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
    EXPECT_EQ(1u, stored.backOffStatus);
    EXPECT_EQ(2u, stored.elementCount);
    EXPECT_EQ(0xFFFFFFFFu, stored.states[0].antennaIndex);
    EXPECT_EQ(4u, stored.states[1].backOffIndex);

    struct Bad {
        const char* what;
        Bytes payload;
    } bad[] = {
        {"shorter than its header", Words({1, 0})},
        {"state past the end", Words({1, 1, 1, 28, 8, 0, 1})},
        {"state shorter than 8 bytes", Words({1, 1, 1, 20, 4, 0, 1})},
        {"pair list past the end", Words({1, 1, 3, 20, 8})},
        {"mode 2", Words({2, 1, 1, 20, 8, 0, 1})},
    };
    for (const Bad& b : bad) {
        done = Set(sar.Get(), 1, b.payload);
        EXPECT_EQ(E_INVALIDARG, done.status) << b.what;
        ASSERT_TRUE(m_sim.GetSarConfig(0, stored));
        EXPECT_EQ(2u, stored.elementCount) << b.what << ": the stored configuration stays";
    }
    EXPECT_EQ(kNotSupported, Query(sar.Get(), 7).status);
}

TEST_F(Commands, TransmissionChangesAreNotifiedOnlyWhileEnabled) {
    ComPtr<IMbnDeviceService> sar = OpenService(SIMMODEM_SERVICE_MS_SAR);
    ASSERT_TRUE(sar);
    EXPECT_EQ(Words({1, 0, 5}), Set(sar.Get(), 2, Words({1, 5})).data);
    ASSERT_TRUE(m_sim.SetTransmitting(0, true));
    SinkEvent note;
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Notification, kWaitMs, &note));
    EXPECT_EQ(static_cast<void*>(sar.Get()), note.object);
    EXPECT_EQ(2u, note.id);
    EXPECT_EQ(Words({1, 1, 5}), note.data);
    EXPECT_EQ(Words({1, 1, 5}), Query(sar.Get(), 2).data);

    EXPECT_EQ(Words({0, 1, 5}), Set(sar.Get(), 2, Words({0, 5})).data);
    ASSERT_TRUE(m_sim.SetTransmitting(0, false));
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(1u, Notifications(sar.Get()).size());
    SimModemTxState tx = {};
    ASSERT_TRUE(m_sim.GetTxState(0, tx));
    EXPECT_EQ(0u, tx.notificationEnabled);
    EXPECT_EQ(0u, tx.transmitting);
    EXPECT_EQ(E_INVALIDARG, Set(sar.Get(), 2, Words({2, 5})).status);
}

class SarData : public SimModemTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        s.settings.frameSize = GetParam();
        return s;
    }

    // Waits for the count-th notification on the service and returns it.
    Bytes NthNotification(IMbnDeviceService* service, size_t count) {
        std::vector<SinkEvent> found;
        testsupport::WaitUntil(
            [&] {
                found = Notifications(service);
                return found.size() >= count;
            },
            std::chrono::milliseconds(kWaitMs));
        return found.size() >= count ? found[count - 1].data : Bytes();
    }
};

TEST_P(SarData, WrittenImageIsAcknowledgedAndReadBackFrameByFrame) {
    Bytes image(1234);
    for (size_t i = 0; i < image.size(); ++i) image[i] = i % 7 == 0 ? 0x7E : i % 11 == 0 ? 0x7D : uint8_t(i * 13);
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);

    size_t notes = 0;
    for (size_t offset = 0; offset < image.size(); offset += 500) {
        Bytes chunk(image.begin() + offset, image.begin() + std::min(image.size(), offset + 500));
        EXPECT_EQ(S_OK, Set(diag.Get(), 2, WritePacket(chunk, offset ? 1 : 0)).status);
        Bytes ack = NthNotification(diag.Get(), ++notes);
        EXPECT_TRUE(IsValidAck(ack)) << "ack of the chunk at " << offset;
    }
    EXPECT_EQ(image, m_sim.SarImage(0));

    // A spoilt packet is completed but neither acknowledged nor stored.
    EXPECT_EQ(S_OK, Set(diag.Get(), 2, WritePacket(Bytes(10, 0x55), 0, 0x0100)).status);
    EXPECT_EQ(S_OK, Set(diag.Get(), 2, ReadRequest(0, 0x0001)).status);
    ASSERT_TRUE(m_sim.WaitIdle());
    EXPECT_EQ(notes, Notifications(diag.Get()).size());
    EXPECT_EQ(image, m_sim.SarImage(0));

    Bytes read;
    int32_t remaining = -1;
    for (int frames = 0; remaining != 0 && frames < 100; ++frames) {
        Set(diag.Get(), 2, ReadRequest(uint16_t(read.size())));
        DataFrame frame = ParseDataFrame(NthNotification(diag.Get(), ++notes));
        ASSERT_TRUE(frame.valid) << "frame " << frames;
        EXPECT_EQ(std::min<size_t>(GetParam(), image.size() - read.size()), frame.count);
        read.insert(read.end(), frame.data.begin(), frame.data.end());
        remaining = frame.remaining;
        EXPECT_EQ(int32_t(image.size() - read.size()), remaining);
    }
    EXPECT_EQ(image, read);

    // A new write (flag 0) replaces the image; an empty one leaves it empty and still reads.
    Set(diag.Get(), 2, WritePacket({}, 0));
    EXPECT_TRUE(IsValidAck(NthNotification(diag.Get(), ++notes)));
    EXPECT_TRUE(m_sim.SarImage(0).empty());
    Set(diag.Get(), 2, ReadRequest(0));
    DataFrame empty = ParseDataFrame(NthNotification(diag.Get(), ++notes));
    EXPECT_TRUE(empty.valid);
    EXPECT_EQ(0, empty.count);
    EXPECT_EQ(0, empty.remaining);
}

// 126 = 0x7E: the frame's own count field goes out escaped.
INSTANTIATE_TEST_SUITE_P(FrameSizes, SarData, ::testing::Values(500u, 126u));

struct DiagCase {
    const char* name;
    ULONG cid;
    Bytes payload;
    HRESULT status;
    Bytes query;  // the query reply afterwards
};

void PrintTo(const DiagCase& c, std::ostream* os) { *os << c.name; }

class Diag : public SimModemTest, public ::testing::WithParamInterface<DiagCase> {};

TEST_P(Diag, SetThenQuery) {
    const DiagCase& c = GetParam();
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    SinkEvent done = Set(diag.Get(), c.cid, c.payload);
    EXPECT_EQ(c.status, done.status);
    EXPECT_EQ(c.cid, done.id);
    SinkEvent reply = Query(diag.Get(), c.cid);
    EXPECT_EQ(S_OK, reply.status);
    EXPECT_EQ(c.query, reply.data);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Diag,
    ::testing::Values(DiagCase{"Enable", 3, {0x00, 0x11}, S_OK, {1, 0, 0, 0}},
                      DiagCase{"Disable", 3, {0x00, 0x22}, S_OK, {0, 0, 0, 0}},
                      DiagCase{"EnableWithOtherBytes", 3, {0x00, 0x33}, E_INVALIDARG, {0, 0, 0, 0}},
                      DiagCase{"Version", 4, {0x03, 0x00, 0xEF, 0xBE}, S_OK, {0x00, 0x03, 0, 0, 0xEF, 0xBE}},
                      DiagCase{"VersionTooShort", 4, {0x03, 0x00, 0xEF}, E_INVALIDARG, {0, 0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<DiagCase>& info) { return std::string(info.param.name); });

class Reboot : public SimModemTest {
protected:
    simmodem::StartState State() override {
        simmodem::StartState s;
        s.settings.rebootRemoveDelayMs = 100;
        s.settings.rebootArriveDelayMs = 200;
        s.interfaces[0].tableIndex = 7;
        return s;
    }
};

TEST_F(Reboot, DeviceRootRemovesTheModuleThenItArrivesAgainWithItsState) {
    ComPtr<IMbnInterface> itf = Interface();
    ComPtr<IMbnDeviceService> diag = OpenService(SIMMODEM_SERVICE_DIAG);
    ASSERT_TRUE(diag);
    EXPECT_EQ(S_OK, Set(diag.Get(), 3, {0x00, 0x11}).status);
    EXPECT_EQ(E_INVALIDARG, Set(diag.Get(), 5, {0x00, 0x12}).status);
    EXPECT_EQ(kNotSupported, Query(diag.Get(), 5).status);
    EXPECT_EQ(S_OK, Set(diag.Get(), 5, {0x00, 0x11}).status);

    SinkEvent removal;
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Removal, kWaitMs, &removal));
    EXPECT_EQ(static_cast<void*>(itf.Get()), removal.object);
    EXPECT_TRUE(m_sink->WaitFor(
        [](const SinkEvent& e) {
            return e.kind == SinkEvent::StateChange && e.state == MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL;
        },
        kWaitMs));
    SAFEARRAY* empty = MakeArray({});
    ULONG requestId = 0;
    if (m_sim.IsPresent(0) == 0) {  // the module is back after 200 ms: only while it is away
        EXPECT_EQ(kNotConnected, diag->QueryCommand(3, empty, &requestId));
        EXPECT_FALSE(Service(SIMMODEM_SERVICE_DIAG));
    }
    ASSERT_TRUE(m_sink->WaitForKind(SinkEvent::Arrival, kWaitMs));
    EXPECT_TRUE(m_sink->WaitFor(
        [](const SinkEvent& e) {
            return e.kind == SinkEvent::StateChange && e.state == MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL;
        },
        kWaitMs));

    // Sessions did not survive; what the modem stored did.
    EXPECT_EQ(kNoSession, diag->QueryCommand(3, empty, &requestId));
    ::SafeArrayDestroy(empty);
    ASSERT_EQ(S_OK, diag->OpenCommandSession(&requestId));
    ASSERT_TRUE(m_sink->WaitForRequest(SinkEvent::SessionOpened, requestId, kWaitMs));
    EXPECT_EQ((Bytes{1, 0, 0, 0}), Query(diag.Get(), 3).data);
    EXPECT_EQ((Bytes{0, 7, 0, 0, 0, 0}), Query(diag.Get(), 4).data);

    auto events = m_sink->Events();
    size_t completed = 0, removed = 0, arrived = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == SinkEvent::SetComplete && events[i].id == 5 && events[i].status == S_OK) completed = i;
        if (events[i].kind == SinkEvent::Removal) removed = i;
        if (events[i].kind == SinkEvent::Arrival) arrived = i;
    }
    EXPECT_LT(completed, removed);
    EXPECT_LT(removed, arrived);
}

}  // namespace
}  // namespace simtest

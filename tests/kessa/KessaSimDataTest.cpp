// SAR data through Kessa.dll and the simulated modem: write packets as the
// modem received them, images written and read back, frames of every size
// whose count fields need escaping, the user callback, and messages the
// simulator never sends, delivered by the test itself.
#include "BoundedRun.h"
#include "KessaSimFixture.h"
#include "KessaSinkTap.h"
#include "TestSupport.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

using namespace kessasim;
using kessatest::AwaitBounded;
using kessatest::RunBounded;
using sartest::ModemFrame;
using sartest::ReadRequestWire;
using sartest::WritePacketWire;
using simmodem::FaultSpec;

namespace {
const uint32_t kSarValueCid = 2;

// Bytes that hold 7D and 7E among the others.
Bytes Pattern(size_t length, uint32_t seed = 1) {
    Bytes data(length);
    uint32_t x = seed;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(x >> 16);
        if (i % 37 == 5) data[i] = 0x7E;
        if (i % 41 == 7) data[i] = 0x7D;
    }
    return data;
}

uint16_t CrcStep(uint16_t state, uint8_t byte) {
    state ^= byte;
    for (int bit = 0; bit < 8; ++bit) state = (state & 1) ? static_cast<uint16_t>((state >> 1) ^ 0x8408) : state >> 1;
    return state;
}

// Sets the last two bytes of the chunk so that its packet's CRC is 0x7D7E:
// both CRC bytes then go out escaped.
void ForceEscapedCrc(Bytes& data, size_t offset, size_t n, uint8_t flag) {
    if (n < 2) return;
    Bytes head = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
    sartest::AppendLe16(head, static_cast<uint16_t>(n));
    head.push_back(flag);
    head.insert(head.end(), data.begin() + offset, data.begin() + offset + n - 2);
    uint16_t state = 0xFFFF;
    for (uint8_t b : head) state = CrcStep(state, b);
    for (uint32_t pair = 0; pair < 0x10000; ++pair) {
        const uint8_t b1 = static_cast<uint8_t>(pair), b2 = static_cast<uint8_t>(pair >> 8);
        if (static_cast<uint16_t>(~CrcStep(CrcStep(state, b1), b2)) == 0x7D7E) {
            data[offset + n - 2] = b1;
            data[offset + n - 1] = b2;
            return;
        }
    }
}

// The packets of a write: one up to 500 bytes, else 500-byte chunks; flag 0 first, then 1.
std::vector<Bytes> ExpectedPackets(const Bytes& data) {
    std::vector<Bytes> packets;
    size_t offset = 0;
    do {
        const size_t n = std::min<size_t>(500, data.size() - offset);
        packets.push_back(WritePacketWire(Bytes(data.begin() + offset, data.begin() + offset + n), offset ? 1 : 0));
        offset += n;
    } while (offset < data.size());
    return packets;
}

std::vector<Bytes> Payloads(const std::vector<simmodem::LogEntry>& entries, size_t from = 0) {
    std::vector<Bytes> payloads;
    for (size_t i = from; i < entries.size(); ++i) payloads.push_back(entries[i].payload);
    return payloads;
}

// The read requests of a read of an image in frames of frameSize bytes.
std::vector<Bytes> ExpectedRequests(size_t imageSize, size_t frameSize) {
    std::vector<Bytes> requests;
    size_t received = 0;
    do {
        requests.push_back(ReadRequestWire(static_cast<uint16_t>(received)));
        received += std::min(frameSize, imageSize - received);
    } while (received < imageSize);
    return requests;
}

Bytes Read(const KessaExports& kessa, SarDeviceContext* context, int32_t& result) {
    uint8_t* data = nullptr;
    int32_t length = -1;
    result = kessa.GetSarValue(context, &data, &length);
    if (result != KESSA_OK || data == nullptr || length < 0) return {};
    return Bytes(data, data + length);
}

// Frames as the user callback saw them.
struct Frames {
    std::mutex lock;
    std::vector<Bytes> frames;
    std::vector<SarDeviceContext*> handles;

    static void Callback(SarDeviceContext* handle, const uint8_t* frame, uint32_t length, void* user) {
        Frames* self = static_cast<Frames*>(user);
        std::lock_guard<std::mutex> guard(self->lock);
        self->frames.emplace_back(frame, frame + length);
        self->handles.push_back(handle);
    }
    // The callback may still be at the last frames when the read returns.
    bool WaitFor(size_t n) {
        return testsupport::WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(lock);
                return frames.size() >= n;
            },
            std::chrono::seconds(5));
    }
};
}  // namespace

TEST_P(KessaSimModes, WritesGoOutInEscapedPacketsOf500Bytes) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    // 626: the second packet's acknowledgement holds the chunk length 126 (7E), raw.
    for (size_t length : {0u, 500u, 501u, 1000u, 626u}) {
        Bytes data = Pattern(length, static_cast<uint32_t>(length));
        for (size_t offset = 0; offset < length; offset += 500)
            ForceEscapedCrc(data, offset, std::min<size_t>(500, length - offset), offset ? 1 : 0);
        const std::vector<Bytes> expected = ExpectedPackets(data);
        for (size_t i = 0; i < expected.size(); ++i) {
            if (std::min<size_t>(500, length - 500 * i) < 2) continue;  // too short to steer its CRC
            ASSERT_EQ(Bytes(expected[i].end() - 5, expected[i].end()), (Bytes{0x7D, 0x5E, 0x7D, 0x5D, 0x7E}))
                << "both CRC bytes of the packet are escaped";
        }

        const size_t before = Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid).size();
        EXPECT_EQ(m_kessa.SetSarValue(context, data.data(), static_cast<int32_t>(length)), KESSA_OK) << length;
        EXPECT_EQ(Payloads(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid), before), expected) << length;
        EXPECT_EQ(m_sim.SarImage(0), data) << length;
    }
    // An empty write is one packet of 0 bytes whose CRC covers the 15 header bytes.
    EXPECT_EQ(WritePacketWire({}, 0), (Bytes{0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73,
                                             0x00, 0x00, 0x00, 0x94, 0x67, 0x7E}));
}

TEST_P(KessaSimModes, ImageOf64KiBIsWrittenAndReadBackByteExact) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const Bytes image = Pattern(64 * 1024, 7);
    ASSERT_EQ(m_kessa.SetSarValue(context, image.data(), static_cast<int32_t>(image.size())), KESSA_OK);
    EXPECT_EQ(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid).size(), 132u);
    EXPECT_TRUE(m_sim.SarImage(0) == image);

    const size_t writes = Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid).size();
    int32_t result = -9;
    const Bytes read = Read(m_kessa, context, result);
    EXPECT_EQ(result, KESSA_OK);
    EXPECT_EQ(read.size(), image.size());
    EXPECT_TRUE(read == image);
    // One request per frame, with the received count's low 16 bits; none after the frame that left 0.
    EXPECT_EQ(Payloads(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid), writes), ExpectedRequests(image.size(), 500));
}

TEST_P(KessaSimModes, EveryFrameOfAReadReachesTheCallbackOfEveryContext) {
    simmodem::StartState state;
    state.interfaces[0].sarImage = Pattern(1201);
    Start(state);
    SarDeviceContext* reader = InitAndOpen();
    SarDeviceContext* other = Open();
    SarDeviceContext* silent = Open();
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(silent, nullptr);
    Frames readerFrames, otherFrames, silentFrames;
    EXPECT_EQ(m_kessa.SetSarCallBack(reader, &Frames::Callback, &readerFrames), KESSA_OK);
    EXPECT_EQ(m_kessa.SetSarCallBack(other, &Frames::Callback, &otherFrames), KESSA_OK);
    EXPECT_EQ(m_kessa.SetSarCallBack(silent, &Frames::Callback, nullptr), KESSA_OK);  // runs only with both set

    int32_t result = -9;
    const Bytes read = Read(m_kessa, reader, result);
    EXPECT_EQ(result, KESSA_OK);
    EXPECT_EQ(read, state.interfaces[0].sarImage);
    const Bytes& image = state.interfaces[0].sarImage;
    const std::vector<Bytes> frames = {Bytes(image.begin(), image.begin() + 500),
                                       Bytes(image.begin() + 500, image.begin() + 1000),
                                       Bytes(image.begin() + 1000, image.end())};
    EXPECT_TRUE(readerFrames.WaitFor(3));
    EXPECT_TRUE(otherFrames.WaitFor(3));
    EXPECT_EQ(readerFrames.frames, frames);
    EXPECT_EQ(readerFrames.handles, std::vector<SarDeviceContext*>(3, reader));
    EXPECT_EQ(otherFrames.frames, frames);
    EXPECT_EQ(otherFrames.handles, std::vector<SarDeviceContext*>(3, other));
    EXPECT_TRUE(silentFrames.frames.empty());
    EXPECT_EQ(Payloads(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid)), ExpectedRequests(1201, 500));
}

namespace {
// A callback that, at its first frame, calls the library on its own context.
struct Reentrant {
    enum class Action { SetItselfAgain, ClearItself, ReadItsContext };

    Reentrant(const KessaExports& kessa, Action action) : kessa(kessa), action(action) {}

    static void Callback(SarDeviceContext* handle, const uint8_t* frame, uint32_t length, void* user) {
        Reentrant* self = static_cast<Reentrant*>(user);
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->frames.emplace_back(frame, frame + length);
            first = self->frames.size() == 1;
        }
        if (!first) return;
        int32_t result = -9;
        Bytes read;
        switch (self->action) {
            case Action::SetItselfAgain:
                result = self->kessa.SetSarCallBack(handle, &Callback, self);
                break;
            case Action::ClearItself:
                result = self->kessa.SetSarCallBack(handle, nullptr, nullptr);
                break;
            case Action::ReadItsContext: {
                uint8_t* data = nullptr;
                int32_t size = -1;
                result = self->kessa.GetSarValue(handle, &data, &size);
                if (result == KESSA_OK && data && size >= 0) read.assign(data, data + size);
                break;
            }
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->result = result;
        self->read = read;
        self->returned = true;
    }

    size_t FrameCount() {
        std::lock_guard<std::mutex> guard(lock);
        return frames.size();
    }
    bool Returned() {
        std::lock_guard<std::mutex> guard(lock);
        return returned;
    }

    const KessaExports& kessa;
    const Action action;
    std::mutex lock;
    std::vector<Bytes> frames;
    bool returned = false;  // the call from the first frame came back
    int32_t result = -9;
    Bytes read;
};

struct ReentryCase {
    const char* name;
    Reentrant::Action action;
};

void PrintTo(const ReentryCase& c, std::ostream* os) { *os << c.name; }

const ReentryCase kReentryCases[] = {
    {"SetsItselfAgain", Reentrant::Action::SetItselfAgain},
    {"ClearsItself", Reentrant::Action::ClearItself},
    {"ReadsItsOwnContext", Reentrant::Action::ReadItsContext},
};

class KessaSimReentry : public KessaSim, public ::testing::WithParamInterface<ReentryCase> {};
}  // namespace

TEST_P(KessaSimReentry, CallbackMayCallTheLibraryOnItsOwnContext) {
    const ReentryCase& c = GetParam();
    simmodem::StartState state;
    state.interfaces[0].sarImage = Pattern(1201, 11);  // frames of 500, 500 and 201 bytes
    const Bytes& image = state.interfaces[0].sarImage;
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    Reentrant callback(m_kessa, c.action);
    ASSERT_EQ(m_kessa.SetSarCallBack(context, &Reentrant::Callback, &callback), KESSA_OK);

    const std::vector<Bytes> frames = {Bytes(image.begin(), image.begin() + 500),
                                       Bytes(image.begin() + 500, image.begin() + 1000),
                                       Bytes(image.begin() + 1000, image.end())};
    std::vector<Bytes> seen = frames;  // by the callback, in order
    std::vector<Bytes> requests = ExpectedRequests(image.size(), 500);
    if (c.action == Reentrant::Action::ClearItself) seen.resize(1);
    if (c.action == Reentrant::Action::ReadItsContext) {
        // Its read waits for the caller's read to end, then takes the image again.
        seen.insert(seen.end(), frames.begin(), frames.end());
        const std::vector<Bytes> again = requests;
        requests.insert(requests.end(), again.begin(), again.end());
    }

    int32_t result = -9, length = -1;
    RunBounded("a read whose callback calls the library", std::chrono::seconds(20), [&] {
        uint8_t* data = nullptr;
        result = m_kessa.GetSarValue(context, &data, &length);
    });
    // Only the length: the buffer itself may be taken by the callback's own read by now.
    EXPECT_EQ(result, KESSA_OK);
    EXPECT_EQ(length, 1201);
    AwaitBounded("the callback's call into the library", std::chrono::seconds(20), [&] { return callback.Returned(); });
    // Frames queued behind the first one reach the callback once that call came back.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return callback.FrameCount() >= seen.size(); }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a frame too many
    std::lock_guard<std::mutex> guard(callback.lock);
    EXPECT_EQ(callback.result, KESSA_OK);
    EXPECT_EQ(callback.frames, seen);  // in order, each once
    if (c.action == Reentrant::Action::ReadItsContext) {
        EXPECT_TRUE(callback.read == image);
    }
    EXPECT_EQ(Payloads(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid)), requests);
}

INSTANTIATE_TEST_SUITE_P(Kessa, KessaSimReentry, ::testing::ValuesIn(kReentryCases),
                         [](const ::testing::TestParamInfo<ReentryCase>& info) { return info.param.name; });

namespace {
struct FrameCase {
    const char* name;
    uint32_t frameSize;
    size_t imageSize;
    uint8_t fill;  // 0: a pattern
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

// The modem escapes every byte of a frame before the end mark, its count fields too.
const FrameCase kFrameCases[] = {
    {"Frames125", 125, 1000, 0},            // 7D in the frame's count field
    {"Frames126", 126, 1000, 0},            // 7E in the frame's count field
    {"Frames32000", 0x7D00, 40000, 0},      // 7D as the count's high byte
    {"RemainingCount126", 500, 626, 0},     // 7E in the remaining count
    {"RemainingCount125", 500, 625, 0},     // 7D in the remaining count
    {"RemainingCount0x7D7E", 500, 500 + 0x7D7E, 0},  // both low bytes escaped
    {"FramesOf7E", 126, 300, 0x7E},
    {"OneByteFrames", 1, 130, 0},
    {"CountWrapsPast64KiB", 500, 70000, 0},  // the request carries the count's low 16 bits
    {"EmptyImage", 500, 0, 0},
};

class KessaSimFrames : public KessaSim, public ::testing::WithParamInterface<FrameCase> {};
}  // namespace

TEST_P(KessaSimFrames, ReadBackIsByteExact) {
    const FrameCase& c = GetParam();
    simmodem::StartState state;
    state.settings.frameSize = c.frameSize;
    state.interfaces[0].sarImage = c.fill ? Bytes(c.imageSize, c.fill) : Pattern(c.imageSize, c.frameSize);
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    Frames frames;
    ASSERT_EQ(m_kessa.SetSarCallBack(context, &Frames::Callback, &frames), KESSA_OK);

    int32_t result = -9;
    const Bytes read = Read(m_kessa, context, result);
    EXPECT_EQ(result, KESSA_OK);
    EXPECT_EQ(read.size(), c.imageSize);
    EXPECT_TRUE(read == state.interfaces[0].sarImage);
    const std::vector<Bytes> requests = ExpectedRequests(c.imageSize, c.frameSize);
    EXPECT_EQ(Payloads(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid)), requests);
    EXPECT_TRUE(frames.WaitFor(requests.size()));  // one frame per request
    EXPECT_EQ(frames.frames.size(), requests.size());
    for (size_t i = 0; i < frames.frames.size(); ++i)
        EXPECT_EQ(frames.frames[i].size(), std::min<size_t>(c.frameSize, c.imageSize - i * c.frameSize)) << i;
}

INSTANTIATE_TEST_SUITE_P(Kessa, KessaSimFrames, ::testing::ValuesIn(kFrameCases),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

TEST_P(KessaSimModes, ReadWhoseCountWouldWrapToZeroFails) {
    // 128 frames of 512 bytes make 65536: a request for 0 would start the image over.
    simmodem::StartState state;
    state.settings.frameSize = 512;
    state.interfaces[0].sarImage = Pattern(70000);
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const Clock::time_point start = Clock::now();
    int32_t result = 0;
    EXPECT_TRUE(Read(m_kessa, context, result).empty());
    EXPECT_EQ(result, KESSA_FAILED);
    EXPECT_LT(SecondsSince(start), 5.0);
    const std::vector<simmodem::LogEntry> requests = Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid);
    EXPECT_EQ(requests.size(), 128u);
    EXPECT_EQ(Payloads(requests), ExpectedRequests(65536, 512));
    EXPECT_EQ(m_debug.Count("GetSarValueCmd received count wraps to 0 at 65536 bytes\n"), 1u);
}

namespace {
// With the simulator's own answers to SAR data switched off, the test answers
// through the library's sink.
class KessaSimCrafted : public KessaSim {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_bCom = true;
        KessaSim::SetUp();
        ASSERT_TRUE(m_tap.Install());
        simmodem::StartState state;
        state.faults.push_back(
            FaultSpec::NeverComplete(SIMMODEM_SERVICE_DIAG, kSarValueCid, SIMMODEM_ALWAYS, SIMMODEM_OP_SET));
        Start(state);
        m_context = InitAndOpen();
        ASSERT_NE(m_context, nullptr);
        ASSERT_TRUE(m_tap.Sink()) << "the library advised no sink on the tapped manager";
        m_id = m_sim.InterfaceId(0);
    }
    void TearDown() override {
        KessaSim::TearDown();
        m_tap.Revoke();
        if (m_bCom) ::CoUninitialize();
    }
    bool Notify(const Bytes& bytes) { return m_tap.Notify(m_id, bytes); }
    // Waits until the modem received n SAR data commands.
    bool WaitForSarData(size_t n) {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid).size() < n) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    CSinkTap m_tap;
    SarDeviceContext* m_context = nullptr;
    std::wstring m_id;
    bool m_bCom = false;
};

// A write acknowledgement: u16 632 at 4, the u16 at 10, chunk length at 12, CRC of 0..15 at 16, end mark.
Bytes AckWire(uint16_t chunkLength, uint16_t at10 = 2, uint16_t crcError = 0) {
    Bytes a = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00};
    sartest::AppendLe16(a, at10);
    sartest::AppendLe16(a, chunkLength);
    sartest::AppendLe16(a, 0);
    sartest::AppendLe16(a, static_cast<uint16_t>(sartest::ReferenceCrc(a) ^ crcError));
    a.push_back(0x7E);
    return a;
}
}  // namespace

TEST_F(KessaSimCrafted, OnlyAValidAcknowledgementCompletesAWrite) {
    const struct {
        const char* name;
        Bytes ack;
        int32_t result;
    } cases[] = {
        {"valid", AckWire(10), KESSA_OK},
        {"wrong CRC", AckWire(10, 2, 0x0100), KESSA_FAILED},
        {"u16 at 10 not 2", AckWire(10, 3), KESSA_FAILED},
    };
    const Bytes data = Pattern(10);
    size_t sent = 0;
    for (const auto& c : cases) {
        const Clock::time_point start = Clock::now();
        std::future<int32_t> write = std::async(std::launch::async, [&] {
            return m_kessa.SetSarValue(m_context, data.data(), static_cast<int32_t>(data.size()));
        });
        ASSERT_TRUE(WaitForSarData(++sent)) << c.name;
        ASSERT_TRUE(Notify(c.ack)) << c.name;
        EXPECT_EQ(write.get(), c.result) << c.name;
        const double seconds = SecondsSince(start);
        if (c.result == KESSA_OK)
            EXPECT_LT(seconds, 1.0) << c.name;
        else
            EXPECT_GE(seconds, 1.95) << c.name;  // the whole wait for an acknowledgement
    }
}

TEST_F(KessaSimCrafted, ShortIncompleteAndForeignMessagesAreNotFrames) {
    Frames frames;
    ASSERT_EQ(m_kessa.SetSarCallBack(m_context, &Frames::Callback, &frames), KESSA_OK);
    std::future<Bytes> read = std::async(std::launch::async, [&] {
        int32_t result = -9;
        Bytes data = Read(m_kessa, m_context, result);
        EXPECT_EQ(result, KESSA_OK);
        return data;
    });
    ASSERT_TRUE(WaitForSarData(1));

    const Bytes data = Pattern(40, 3);
    Bytes sixteen = ModemFrame({}, 0);
    sixteen.erase(sixteen.begin() + 15, sixteen.end() - 1);  // 16 bytes, still ending in the end mark
    ASSERT_EQ(sixteen.size(), 16u);
    Bytes incomplete = ModemFrame(Pattern(8), 0);
    incomplete.pop_back();  // no end mark
    Bytes foreign = ModemFrame(Pattern(8), 0);
    foreign[4] = 0x79;  // packet 633
    for (const Bytes& message : {sixteen, incomplete, foreign}) ASSERT_TRUE(Notify(message));
    ASSERT_TRUE(Notify(ModemFrame(data, 0)));

    ASSERT_EQ(read.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(read.get(), data);
    EXPECT_EQ(frames.frames, std::vector<Bytes>{data});
    EXPECT_EQ(Commands(SIMMODEM_SERVICE_DIAG, kSarValueCid).size(), 1u);  // no second request
}

namespace {
// Frames as the callback saw them, each held up a little so that later
// frames arrive while it runs.
struct SlowFrames {
    static void Callback(SarDeviceContext*, const uint8_t* frame, uint32_t length, void* user) {
        SlowFrames* self = static_cast<SlowFrames*>(user);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->frames.emplace_back(frame, frame + length);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock);
        return frames.size();
    }

    std::mutex lock;
    std::vector<Bytes> frames;
};
}  // namespace

TEST_F(KessaSimCrafted, FramesFromConcurrentThreadsReachTheCallbackInArrivalOrderOnce) {
    SlowFrames seen;
    ASSERT_EQ(m_kessa.SetSarCallBack(m_context, &SlowFrames::Callback, &seen), KESSA_OK);
    std::future<Bytes> read = std::async(std::launch::async, [&] {
        int32_t result = -9;
        Bytes data = Read(m_kessa, m_context, result);
        EXPECT_EQ(result, KESSA_OK);
        return data;
    });
    ASSERT_TRUE(WaitForSarData(1));
    ASSERT_TRUE(m_tap.DiagService(m_id));

    // Every frame tells itself apart; the order in which they join the read
    // is the order of arrival.
    const int kThreads = 4, kFramesEach = 24;
    std::vector<Bytes> sent;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFramesEach; ++i) {
            Bytes data = {static_cast<uint8_t>(t), static_cast<uint8_t>(i), 0x7E, 0x7D};
            data.resize(4 + (t * kFramesEach + i) % 9, static_cast<uint8_t>(0xA0 + t));
            sent.push_back(data);
        }
    std::atomic<bool> go{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kFramesEach; ++i) EXPECT_TRUE(Notify(ModemFrame(sent[t * kFramesEach + i], 1)));
        });
    go = true;
    for (std::thread& sender : senders) sender.join();
    const Bytes last = {0xEE, 0xEE};
    ASSERT_TRUE(Notify(ModemFrame(last, 0)));
    sent.push_back(last);

    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const Bytes data = read.get();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return seen.Count() >= sent.size(); }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a frame too many
    std::lock_guard<std::mutex> guard(seen.lock);
    ASSERT_EQ(seen.frames.size(), sent.size());
    Bytes joined;
    for (const Bytes& frame : seen.frames) joined.insert(joined.end(), frame.begin(), frame.end());
    EXPECT_TRUE(joined == data) << "the callback saw the frames in another order than the read";
    std::vector<Bytes> once = seen.frames;
    std::sort(once.begin(), once.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(once, sent);
    EXPECT_EQ(seen.frames.back(), last);
}

// The command frame and the SAR data read and write, run by the command bodies
// against test doubles of the device services that answer through the sink.
#include "KessaInProcess.h"

#include "SarCommands.h"
#include "SarPacket.h"

#include <chrono>
#include <string>

using namespace kessatest;
using sartest::Ack;
using sartest::DataFrame;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {
using Call = std::function<int(SarDeviceContext*, std::string&)>;

// The command bodies, with their out-values written into a text.
const Call kSetEnable = [](SarDeviceContext* c, std::string&) { return SetSarEnableCmd(c, 1); };
const Call kSetDisable = [](SarDeviceContext* c, std::string&) { return SetSarEnableCmd(c, 0); };
const Call kGetEnable = [](SarDeviceContext* c, std::string& out) {
    uint8_t enabled = 0xAA;
    int result = GetSarEnableCmd(c, &enabled);
    out = "enabled=" + std::to_string(enabled);
    return result;
};
const Call kSetVersion = [](SarDeviceContext* c, std::string&) { return SetSarVersionCmd(c, 2, 0xBEEF); };
const Call kGetVersion = [](SarDeviceContext* c, std::string& out) {
    int32_t index = 0x55;
    uint16_t crc = 0x7777;
    int result = GetSarVersionCmd(c, &index, &crc);
    out = "index=" + std::to_string(index) + " crc=" + std::to_string(crc);
    return result;
};
const Call kSetIndex = [](SarDeviceContext* c, std::string&) { return SetSarIndexCmd(c, 3); };
const Call kGetIndex = [](SarDeviceContext* c, std::string& out) {
    int32_t index = 0x55;
    int result = GetSarIndexCmd(c, &index);
    out = "index=" + std::to_string(index);
    return result;
};
const Call kSetRoot = [](SarDeviceContext* c, std::string&) { return SetDeviceRootCmd(c); };
const Call kSetValue = [](SarDeviceContext* c, std::string&) {
    const uint8_t data[3] = {1, 2, 3};
    return SetSarValueCmd(c, data, 3);
};
const Call kGetValue = [](SarDeviceContext* c, std::string&) {
    uint8_t* data = nullptr;
    int32_t length = 0;
    return GetSarValueCmd(c, &data, &length);
};

Bytes Encode(const uint8_t* chunk, uint16_t n, uint8_t flag) {
    uint8_t raw[kSarRawPacketBufferSize];
    uint8_t out[kSarEscapedPacketBufferSize];
    return Bytes(out, out + EncodeSarWritePacket(chunk, n, flag, raw, sizeof(raw), out, sizeof(out)));
}

class Commands : public KessaInProcess {
protected:
    void SetUp() override {
        KessaInProcess::SetUp();
        m_context = Open();
    }
    // Every command on the service is answered before SetCommand / QueryCommand returns.
    void AnswerAtOnce(CFakeDeviceService& service, HRESULT status, const Bytes& reply) {
        service.onCommand = [this, &service, status, reply](const CFakeDeviceService::Command& command) {
            Complete(service, command, status, reply);
        };
    }
    SarDeviceContext* m_context = nullptr;
};

struct Answered {
    const char* what;
    bool sarService;  // else the diag service
    ULONG cid;
    bool query;
    Bytes payload;
    Bytes reply;
    Call call;
    std::string outputs;
};
}  // namespace

TEST_F(Commands, CompletionThatArrivesBeforeTheWaitCounts) {
    const Answered cases[] = {
        {"set enable", false, CID_SAR_ENABLE, false, {0x00, 0x11}, {}, kSetEnable, ""},
        {"set disable", false, CID_SAR_ENABLE, false, {0x00, 0x22}, {}, kSetDisable, ""},
        {"get enable", false, CID_SAR_ENABLE, true, {}, {1, 0, 0, 0}, kGetEnable, "enabled=1"},
        {"get enable, 0", false, CID_SAR_ENABLE, true, {}, {0, 0, 0, 0}, kGetEnable, "enabled=0"},
        {"set version", false, CID_SAR_VERSION, false, {0x02, 0x00, 0xEF, 0xBE}, {}, kSetVersion, ""},
        {"get version", false, CID_SAR_VERSION, true, {}, {0, 5, 0, 0, 0x34, 0x12}, kGetVersion,
         "index=5 crc=4660"},
        {"set index", true, MBIM_CID_MS_SAR_CONFIG, false, SarConfigPayload(3),
         SarConfigReply(1, 0, 16), kSetIndex, ""},
        {"get index", true, MBIM_CID_MS_SAR_CONFIG, true, {}, SarConfigReply(1, 4), kGetIndex,
         "index=4"},
        {"device root", false, CID_DEVICE_ROOT, false, {0x00, 0x11}, {}, kSetRoot, ""},
    };
    for (const Answered& c : cases) {
        CFakeDeviceService& service = c.sarService ? m_sar : m_diag;
        AnswerAtOnce(service, S_OK, c.reply);
        const size_t sentBefore = service.Sent().size();
        std::string outputs;
        const auto start = steady_clock::now();
        EXPECT_EQ(c.call(m_context, outputs), 0) << c.what;
        EXPECT_LT(steady_clock::now() - start, milliseconds(500)) << c.what;
        EXPECT_EQ(outputs, c.outputs) << c.what;
        const std::vector<CFakeDeviceService::Command> sent = service.Sent();
        ASSERT_EQ(sent.size(), sentBefore + 1) << c.what;
        EXPECT_EQ(sent.back().cid, c.cid) << c.what;
        EXPECT_EQ(sent.back().query, c.query) << c.what;
        EXPECT_EQ(sent.back().payload, c.payload) << c.what;
        service.onCommand = nullptr;
    }
    EXPECT_EQ(m_context->m_dwRequestId2, m_diag.Sent().back().requestId);  // the device root keeps its own id
}

TEST_F(Commands, CompletionFromAnotherThreadCounts) {
    m_diag.onCommand = [this](const CFakeDeviceService::Command& command) {
        m_threads.emplace_back([this, command] {
            std::this_thread::sleep_for(milliseconds(100));
            Complete(m_diag, command, S_OK, {});
        });
    };
    EXPECT_EQ(SetSarEnableCmd(m_context, 1), 0);
}

TEST_F(Commands, OnlyACompletionAfterTheSendCounts) {
    CTraceCapture trace;
    // A completion left over from before the command...
    SetComplete(&m_diag, CID_SAR_VERSION, S_OK, m_context->m_dwRequestId1, {});
    // ...and, while it waits, spurious wake-ups and completions of other requests.
    std::atomic<bool> done{false};
    m_diag.onCommand = [&](const CFakeDeviceService::Command& command) {
        m_threads.emplace_back([&, command] {
            while (!done) {
                m_context->m_wakeCommand.Disturb();
                SetComplete(&m_diag, command.cid, S_OK, command.requestId + 1000, {});
                std::this_thread::sleep_for(milliseconds(10));
            }
        });
    };
    const auto start = steady_clock::now();
    EXPECT_EQ(SetSarEnableCmd(m_context, 1), -1);
    EXPECT_GE(steady_clock::now() - start, milliseconds(950));
    done = true;
    EXPECT_TRUE(trace.Contains("wait 1000ms\n"));
}

namespace {
struct TimeOut {
    const char* name;
    HRESULT answer;  // S_OK: no answer at all
    HRESULT hrCommand;
    Call call;
    int expected;
    std::string outputs;
    const char* printed;
    const char* notPrinted;
    milliseconds wait;
};

std::ostream& operator<<(std::ostream& os, const TimeOut& t) { return os << t.name; }

class CommandTimeOut : public Commands, public ::testing::WithParamInterface<TimeOut> {};
}  // namespace

TEST_P(CommandTimeOut, GivesItsResultAndOutValues) {
    const TimeOut& t = GetParam();
    CTraceCapture trace;
    for (CFakeDeviceService* service : {&m_diag, &m_sar}) {
        service->hrCommand = t.hrCommand;
        if (t.answer != S_OK) AnswerAtOnce(*service, t.answer, {});
    }
    std::string outputs;
    const auto start = steady_clock::now();
    EXPECT_EQ(t.call(m_context, outputs), t.expected);
    const auto elapsed = steady_clock::now() - start;
    EXPECT_GE(elapsed, t.wait - milliseconds(50));
    EXPECT_LT(elapsed, t.wait + milliseconds(900));
    EXPECT_EQ(outputs, t.outputs);
    if (t.printed) {
        EXPECT_TRUE(trace.Contains(t.printed));
    }
    if (t.notPrinted) {
        EXPECT_FALSE(trace.Contains(t.notPrinted));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kessa, CommandTimeOut,
    ::testing::Values(
        TimeOut{"SetEnableSilent", S_OK, S_OK, kSetEnable, -1, "", "wait 1000ms\n", nullptr, milliseconds(1000)},
        TimeOut{"SetEnableBusy", kBusy, S_OK, kSetEnable, -2, "", nullptr, "wait 1000ms\n", milliseconds(1000)},
        TimeOut{"GetEnableBusy", kBusy, S_OK, kGetEnable, -2, "enabled=0", nullptr, nullptr, milliseconds(1000)},
        TimeOut{"GetEnableNotSent", S_OK, E_FAIL, kGetEnable, -1, "enabled=0", nullptr, nullptr, milliseconds(1000)},
        TimeOut{"GetIndexBusy", kBusy, S_OK, kGetIndex, -1, "index=-1", nullptr, nullptr, milliseconds(1000)},
        TimeOut{"GetVersionSilent", S_OK, S_OK, kGetVersion, -1, "index=-1 crc=30583", nullptr, nullptr,
                milliseconds(1000)},
        TimeOut{"SetIndexBusy", kBusy, S_OK, kSetIndex, -2, "", nullptr, nullptr, milliseconds(1000)},
        TimeOut{"DeviceRootBusy", kBusy, S_OK, kSetRoot, -2, "", nullptr, nullptr, milliseconds(2000)},
        TimeOut{"SetValueBusy", kBusy, S_OK, kSetValue, -2, "", nullptr, "set value time out\n", milliseconds(2000)},
        TimeOut{"GetValueSilent", S_OK, S_OK, kGetValue, -1, "", nullptr, nullptr, milliseconds(2000)}),
    [](const ::testing::TestParamInfo<TimeOut>& info) { return std::string(info.param.name); });

TEST_F(Commands, NothingIsSentWithoutTheServicesAndFailedSetsEndAtOnce) {
    struct Case {
        const char* what;
        Call call;
        int absent;
        int refused;  // SetCommand fails; queries are left out: they time out
    } cases[] = {
        {"set enable", kSetEnable, -1, -1},   {"get enable", kGetEnable, -1, 0},
        {"set version", kSetVersion, -1, -1}, {"get version", kGetVersion, -1, 0},
        {"set index", kSetIndex, -1, -1},     {"get index", kGetIndex, -1, 0},
        {"device root", kSetRoot, -3, -3},    {"set value", kSetValue, -1, -1},
        {"get value", kGetValue, -1, -1},
    };
    for (const Case& c : cases) {
        std::string outputs;
        m_manager->SetDeviceServices(nullptr, nullptr, nullptr);
        auto start = steady_clock::now();
        EXPECT_EQ(c.call(m_context, outputs), c.absent) << c.what;
        EXPECT_LT(steady_clock::now() - start, milliseconds(300)) << c.what;
        if (c.refused == 0) continue;
        m_manager->SetDeviceServices(&m_diag, &m_sar, &m_aux);
        m_diag.hrCommand = m_sar.hrCommand = E_FAIL;
        start = steady_clock::now();
        EXPECT_EQ(c.call(m_context, outputs), c.refused) << c.what;
        EXPECT_LT(steady_clock::now() - start, milliseconds(300)) << c.what;
        m_diag.hrCommand = m_sar.hrCommand = S_OK;
    }
}

TEST_F(Commands, WriteSendsEachChunkAfterItsAcknowledgement) {
    m_diag.onCommand = [this](const CFakeDeviceService::Command& command) {
        if (command.cid == CID_SAR_VALUE) Notification(&m_diag, Ack());
    };
    for (size_t length : {0u, 500u, 501u, 1000u}) {
        Bytes data(length);
        for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0x7C + i % 4);  // 7D and 7E among them
        const size_t sentBefore = m_diag.Sent().size();
        EXPECT_EQ(SetSarValueCmd(m_context, length ? data.data() : nullptr, static_cast<int32_t>(length)), 0);
        const std::vector<CFakeDeviceService::Command> sent = m_diag.Sent();
        const std::vector<SarWriteChunk> plan = PlanSarWrite(length);
        ASSERT_EQ(sent.size() - sentBefore, plan.size()) << length;
        for (size_t i = 0; i < plan.size(); ++i) {
            const CFakeDeviceService::Command& packet = sent[sentBefore + i];
            EXPECT_EQ(packet.cid, CID_SAR_VALUE);
            EXPECT_FALSE(packet.query);
            EXPECT_EQ(packet.payload, Encode(data.data() + plan[i].offset, plan[i].length, plan[i].flag))
                << length << " packet " << i;
        }
    }
}

TEST_F(Commands, WriteRefusesNegativeLengthsAndMissingData) {
    const uint8_t data[4] = {};
    EXPECT_EQ(SetSarValueCmd(m_context, data, -1), -1);
    EXPECT_EQ(SetSarValueCmd(m_context, data, INT32_MIN), -1);
    EXPECT_EQ(SetSarValueCmd(m_context, nullptr, 4), -1);
    EXPECT_TRUE(m_diag.Sent().empty());
}

TEST_F(Commands, WriteStopsAtAnInvalidAcknowledgement) {
    CTraceCapture trace;
    m_diag.onCommand = [this](const CFakeDeviceService::Command&) {
        Notification(&m_diag, m_diag.Sent().size() == 1 ? Ack() : sartest::AckWithBadCrc());
    };
    const Bytes data(501, 0x33);
    EXPECT_EQ(SetSarValueCmd(m_context, data.data(), 501), -1);
    EXPECT_EQ(m_diag.Sent().size(), 2u);
    EXPECT_TRUE(trace.Contains("set value time out\n"));
}

TEST_F(Commands, ReadCollectsFramesUntilNothingRemains) {
    const Bytes first(300, 0x7E), second = {1, 2, 0x7D};
    std::vector<uint16_t> receivedCounts;
    m_diag.onCommand = [&](const CFakeDeviceService::Command& command) {
        ASSERT_EQ(command.payload.size(), kSarReadRequestSize);
        const uint16_t received = sartest::U16(command.payload, 12);
        receivedCounts.push_back(received);
        Notification(&m_diag, received == 0 ? DataFrame(first, 3) : DataFrame(second, 0));
    };
    for (int read = 0; read < 2; ++read) {
        uint8_t* data = nullptr;
        int32_t length = 0;
        ASSERT_EQ(GetSarValueCmd(m_context, &data, &length), 0);
        Bytes expected(first);
        expected.insert(expected.end(), second.begin(), second.end());
        ASSERT_EQ(length, 303);
        EXPECT_EQ(Bytes(data, data + length), expected);
        EXPECT_EQ(data, m_context->m_pAccumBuffer.get());
    }
    EXPECT_EQ(receivedCounts, (std::vector<uint16_t>{0, 300, 0, 300}));
}

TEST_F(Commands, ReadThatTimesOutLeavesNothing) {
    m_diag.onCommand = [this](const CFakeDeviceService::Command&) {
        if (m_diag.Sent().size() == 1) Notification(&m_diag, DataFrame({1, 2, 3}, 5));
    };
    uint8_t* data = nullptr;
    int32_t length = -7;
    EXPECT_EQ(GetSarValueCmd(m_context, &data, &length), -1);
    EXPECT_EQ(m_diag.Sent().size(), 2u);
    EXPECT_EQ(m_context->m_dwAccumLength, 0u);
    EXPECT_EQ(length, -7);
}

TEST_F(Commands, ReadBeyondTheBufferFailsAtOnce) {
    const Bytes frame = sartest::Frame(1, sartest::Le32(1), Bytes(6 * 1024 * 1024, 0x01), {0x12, 0x34});
    m_diag.onCommand = [&](const CFakeDeviceService::Command&) { Notification(&m_diag, frame); };
    uint8_t* data = nullptr;
    int32_t length = 0;
    const auto start = steady_clock::now();
    EXPECT_EQ(GetSarValueCmd(m_context, &data, &length), -1);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1500));
    EXPECT_EQ(m_diag.Sent().size(), 2u);
    EXPECT_EQ(m_context->m_dwAccumLength, 0u);
    EXPECT_EQ(data, nullptr);
}

// The commands through Kessa.dll and the simulated modem: the payloads the
// modem received, the values read back, the device-root reboot, busy answers
// and time-outs, several contexts at once, and the file check exports.
#include "KessaSimFixture.h"

#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

using namespace kessasim;
using simmodem::FaultSpec;

namespace {
using Call = std::function<int32_t(const KessaExports&, SarDeviceContext*, std::string& out)>;

const Call kSetEnable = [](const KessaExports& k, SarDeviceContext* c, std::string&) { return k.SetSarEnable(c, 1); };
const Call kSetDisable = [](const KessaExports& k, SarDeviceContext* c, std::string&) { return k.SetSarEnable(c, 0); };
const Call kGetEnable = [](const KessaExports& k, SarDeviceContext* c, std::string& out) {
    uint8_t enabled = 0xAA;
    const int32_t result = k.GetSarEnable(c, &enabled);
    out = "enabled=" + std::to_string(enabled);
    return result;
};
const Call kGetVersion = [](const KessaExports& k, SarDeviceContext* c, std::string& out) {
    int32_t index = 0x55;
    uint16_t crc = 0x7777;
    const int32_t result = k.GetSarVersion(c, &index, &crc);
    std::ostringstream text;
    text << "index=" << index << " crc=0x" << std::hex << crc;
    out = text.str();
    return result;
};
const Call kGetIndex = [](const KessaExports& k, SarDeviceContext* c, std::string& out) {
    int32_t index = 0x55;
    const int32_t result = k.GetSarIndex(c, &index);
    out = "index=" + std::to_string(index);
    return result;
};
const Call kSetRoot = [](const KessaExports& k, SarDeviceContext* c, std::string&) { return k.SetDeviceRoot(c); };

Call SetVersion(int32_t index, int32_t crc) {
    return [=](const KessaExports& k, SarDeviceContext* c, std::string&) { return k.SetSarVersion(c, index, crc); };
}
Call SetIndex(int32_t index) {
    return [=](const KessaExports& k, SarDeviceContext* c, std::string&) { return k.SetSarIndex(c, index); };
}
Call SetValue(size_t length) {
    return [=](const KessaExports& k, SarDeviceContext* c, std::string&) {
        const Bytes data(length, 0x5A);
        return k.SetSarValue(c, data.data(), static_cast<int32_t>(length));
    };
}
const Call kGetValue = [](const KessaExports& k, SarDeviceContext* c, std::string& out) {
    uint8_t* data = nullptr;
    int32_t length = -7;
    const int32_t result = k.GetSarValue(c, &data, &length);
    out = "length=" + std::to_string(length);
    return result;
};

Bytes ConfigPayload(uint32_t index) {
    Bytes payload;
    for (uint32_t field : {0u, 1u, 1u, 20u, 8u, 0xFFFFFFFFu, index}) {
        const Bytes le = sartest::Le32(field);
        payload.insert(payload.end(), le.begin(), le.end());
    }
    return payload;
}

struct Sent {
    const char* name;
    Call call;
    const wchar_t* service;
    uint32_t op;
    uint32_t cid;
    Bytes payload;
    const char* out;  // out-values afterwards, "" for a set
};
}  // namespace

TEST_P(KessaSimModes, EachCommandSendsItsPayloadAndReadsTheModemsValues) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const Sent sent[] = {
        {"enable", kSetEnable, SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_SET, 3, {0x00, 0x11}, ""},
        {"enable flag", kGetEnable, SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_QUERY, 3, {}, "enabled=1"},
        {"disable", kSetDisable, SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_SET, 3, {0x00, 0x22}, ""},
        {"disabled flag", kGetEnable, SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_QUERY, 3, {}, "enabled=0"},
        // Only the low 16 bits of index and CRC go out.
        {"version", SetVersion(0x10003, 0x1BEEF), SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_SET, 4, {0x03, 0x00, 0xEF, 0xBE},
         ""},
        {"version read", kGetVersion, SIMMODEM_SERVICE_DIAG, SIMMODEM_OP_QUERY, 4, {}, "index=3 crc=0xbeef"},
        {"back-off index", SetIndex(6), SIMMODEM_SERVICE_MS_SAR, SIMMODEM_OP_SET, 1, ConfigPayload(6), ""},
        {"back-off index read", kGetIndex, SIMMODEM_SERVICE_MS_SAR, SIMMODEM_OP_QUERY, 1, {}, "index=6"},
    };
    for (const Sent& s : sent) {
        const uint32_t before = m_sim.LogCount();
        std::string out;
        EXPECT_EQ(s.call(m_kessa, context, out), KESSA_OK) << s.name;
        EXPECT_EQ(out, s.out) << s.name;
        const std::vector<simmodem::LogEntry> log = m_sim.Log();
        ASSERT_EQ(log.size(), before + 1u) << s.name;
        const simmodem::LogEntry& e = log.back();
        EXPECT_TRUE(SameService(e.service, s.service)) << s.name;
        EXPECT_EQ(e.op, s.op) << s.name;
        EXPECT_EQ(e.cid, s.cid) << s.name;
        EXPECT_EQ(e.payload, s.payload) << s.name;
    }
    SimModemDiagState diag = {};
    ASSERT_TRUE(m_sim.GetDiagState(0, diag));
    EXPECT_EQ(diag.sarEnable, 0u);
    EXPECT_EQ(diag.tableIndex, 3u);
    EXPECT_EQ(diag.tableCrc, 0xBEEFu);
    SimModemSarConfig config = {};
    ASSERT_TRUE(m_sim.GetSarConfig(0, config));
    EXPECT_EQ(config.mode, 0u);
    EXPECT_EQ(config.backOffStatus, 1u);
    EXPECT_EQ(config.elementCount, 1u);
    EXPECT_EQ(config.states[0].antennaIndex, 0xFFFFFFFFu);
    EXPECT_EQ(config.states[0].backOffIndex, 6u);
}

TEST_P(KessaSimModes, ValuesTheModemHoldsAtStartAreReadBack) {
    simmodem::StartState state;
    state.interfaces[0].sarEnable = 1;
    state.interfaces[0].tableIndex = 9;
    state.interfaces[0].tableCrc = 0x7E7D;
    const uint32_t fields[] = {1, 1, 1, 20, 8, 0, 12};
    for (uint32_t field : fields) {
        const Bytes le = sartest::Le32(field);
        state.interfaces[0].sarConfig.insert(state.interfaces[0].sarConfig.end(), le.begin(), le.end());
    }
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const std::pair<Call, const char*> reads[] = {
        {kGetEnable, "enabled=1"}, {kGetVersion, "index=9 crc=0x7e7d"}, {kGetIndex, "index=12"}};
    for (const auto& read : reads) {
        std::string out;
        EXPECT_EQ(read.first(m_kessa, context, out), KESSA_OK) << read.second;
        EXPECT_EQ(out, read.second);
    }
}

TEST_P(KessaSimModes, DeviceRootRebootsTheModemAndTheLibraryFollows) {
    simmodem::StartState state;
    state.settings.rebootRemoveDelayMs = 50;
    state.settings.rebootArriveDelayMs = 300;  // long enough to see the modem away
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);

    EXPECT_EQ(m_kessa.SetDeviceRoot(context), KESSA_OK);
    const std::vector<simmodem::LogEntry> roots = Commands(SIMMODEM_SERVICE_DIAG, 5);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].op, static_cast<uint32_t>(SIMMODEM_OP_SET));
    EXPECT_EQ(roots[0].payload, (Bytes{0x00, 0x11}));

    ASSERT_TRUE(WaitReady(0, std::chrono::seconds(2)));
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_FAILED);
    ASSERT_TRUE(WaitReady(1));
    EXPECT_EQ(m_sim.IsPresent(0), 1);
    EXPECT_EQ(m_kessa.SetSarEnable(context, 1), KESSA_OK);
    uint8_t enabled = 0;
    EXPECT_EQ(m_kessa.GetSarEnable(context, &enabled), KESSA_OK);
    EXPECT_EQ(enabled, 1);
}

namespace {
struct Unanswered {
    const char* name;
    Call call;
    int32_t result;
    const char* out;
    double seconds;
};

// Each command on a context of its own, all at once: their waits overlap.
struct Outcome {
    int32_t result = 0;
    std::string out;
    double seconds = 0;
};

std::vector<Outcome> RunTogether(const KessaExports& kessa, const std::vector<SarDeviceContext*>& contexts,
                                 const std::vector<Unanswered>& cases) {
    std::vector<Outcome> outcomes(cases.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < cases.size(); ++i)
        threads.emplace_back([&, i] {
            const Clock::time_point start = Clock::now();
            outcomes[i].result = cases[i].call(kessa, contexts[i], outcomes[i].out);
            outcomes[i].seconds = SecondsSince(start);
        });
    for (std::thread& t : threads) t.join();
    return outcomes;
}

void ExpectOutcomes(const std::vector<Unanswered>& cases, const std::vector<Outcome>& outcomes) {
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(outcomes[i].result, cases[i].result) << cases[i].name;
        EXPECT_EQ(outcomes[i].out, cases[i].out) << cases[i].name;
        EXPECT_GE(outcomes[i].seconds, cases[i].seconds - 0.05) << cases[i].name;
        EXPECT_LT(outcomes[i].seconds, cases[i].seconds + 1.5) << cases[i].name;
    }
}
}  // namespace

TEST_P(KessaSimModes, BusyAnswersWithNothingAfterThemEndInMinusTwo) {
    simmodem::StartState state;
    // The sessions open as usual; every command is answered busy.
    for (const wchar_t* service : {SIMMODEM_SERVICE_DIAG, SIMMODEM_SERVICE_MS_SAR})
        for (uint32_t op : {SIMMODEM_OP_SET, SIMMODEM_OP_QUERY})
            state.faults.push_back(FaultSpec::Busy(service, SIMMODEM_ANY, SIMMODEM_ALWAYS, op));
    Start(state);
    ASSERT_EQ(Init(), KESSA_OK);
    const std::vector<Unanswered> cases = {
        {"SetSarEnable", kSetEnable, -2, "", 1},
        {"GetSarEnable", kGetEnable, -2, "enabled=0", 1},
        {"SetSarVersion", SetVersion(1, 2), -2, "", 1},
        {"GetSarVersion", kGetVersion, -2, "index=-1 crc=0x7777", 1},
        {"SetSarIndex", SetIndex(2), -2, "", 1},
        {"GetSarIndex", kGetIndex, -1, "index=-1", 1},  // never -2
        {"SetDeviceRoot", kSetRoot, -2, "", 2},
        {"SetSarValue", SetValue(501), -2, "", 2},
        {"GetSarValue", kGetValue, -2, "length=-7", 2},
    };
    std::vector<SarDeviceContext*> contexts;
    for (size_t i = 0; i < cases.size(); ++i) contexts.push_back(Open());
    ExpectOutcomes(cases, RunTogether(m_kessa, contexts, cases));
    // A busy time-out is silent.
    EXPECT_EQ(m_debug.Count("wait 1000ms\n"), 0u);
    EXPECT_EQ(m_debug.Count("set value time out\n"), 0u);
    EXPECT_FALSE(m_sim.Log().empty());
}

TEST_P(KessaSimModes, CommandsWithoutCompletionTimeOut) {
    simmodem::StartState state;
    for (const wchar_t* service : {SIMMODEM_SERVICE_DIAG, SIMMODEM_SERVICE_MS_SAR})
        for (uint32_t op : {SIMMODEM_OP_SET, SIMMODEM_OP_QUERY})
            state.faults.push_back(FaultSpec::NeverComplete(service, SIMMODEM_ANY, SIMMODEM_ALWAYS, op));
    Start(state);
    ASSERT_EQ(Init(), KESSA_OK);
    const std::vector<Unanswered> cases = {
        {"SetSarEnable", kSetEnable, -1, "", 1},
        {"GetSarEnable", kGetEnable, -1, "enabled=0", 1},
        {"SetSarVersion", SetVersion(1, 2), -1, "", 1},
        {"GetSarVersion", kGetVersion, -1, "index=-1 crc=0x7777", 1},  // the CRC is left alone
        {"SetSarIndex", SetIndex(2), -1, "", 1},
        {"GetSarIndex", kGetIndex, -1, "index=-1", 1},
        {"SetDeviceRoot", kSetRoot, -1, "", 2},
        {"SetSarValue", SetValue(501), -1, "", 2},
        {"GetSarValue", kGetValue, -1, "length=-7", 2},
    };
    std::vector<SarDeviceContext*> contexts;
    for (size_t i = 0; i < cases.size(); ++i) contexts.push_back(Open());
    ExpectOutcomes(cases, RunTogether(m_kessa, contexts, cases));
    EXPECT_EQ(m_debug.Count("wait 1000ms\n"), 1u);
    EXPECT_EQ(m_debug.Count("set value time out\n"), 1u);
    // Each command went out once: nothing is retried.
    EXPECT_EQ(m_sim.Log().size() - Sessions(SIMMODEM_OP_OPEN_SESSION).size(), cases.size());
}

TEST_P(KessaSimModes, RepliesTooShortForTheirFieldsWakeNobody) {
    simmodem::StartState state;
    state.faults = {
        FaultSpec::Reply(SIMMODEM_SERVICE_DIAG, 3, {1, 0, 0, 0, 0, 0, 0, 0}, SIMMODEM_ALWAYS, SIMMODEM_OP_QUERY),
        FaultSpec::Reply(SIMMODEM_SERVICE_DIAG, 4, {0, 5, 0, 0, 0x34}, SIMMODEM_ALWAYS, SIMMODEM_OP_QUERY),
        FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, Bytes(31, 1), SIMMODEM_ALWAYS, SIMMODEM_OP_QUERY),
        FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, Bytes(15, 1), SIMMODEM_ALWAYS, SIMMODEM_OP_SET),
    };
    Start(state);
    ASSERT_EQ(Init(), KESSA_OK);
    const std::vector<Unanswered> cases = {
        {"GetSarEnable, 8 bytes", kGetEnable, -1, "enabled=0", 1},
        {"GetSarVersion, 5 bytes", kGetVersion, -1, "index=-1 crc=0x7777", 1},
        {"GetSarIndex, 31 bytes", kGetIndex, -1, "index=-1", 1},
        {"SetSarIndex, 15 bytes", SetIndex(2), -1, "", 1},
    };
    std::vector<SarDeviceContext*> contexts;
    for (size_t i = 0; i < cases.size(); ++i) contexts.push_back(Open());
    ExpectOutcomes(cases, RunTogether(m_kessa, contexts, cases));
}

TEST_P(KessaSimModes, TwoContextsEachGetTheirOwnCompletions) {
    ASSERT_EQ(Init(), KESSA_OK);
    SarDeviceContext* a = Open();
    SarDeviceContext* b = Open();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::vector<std::string> failures[2];
    std::thread versions([&] {
        for (int i = 1; i <= 25; ++i) {
            if (m_kessa.SetSarVersion(a, i, 0x1000 + i) != KESSA_OK) failures[0].push_back("set " + std::to_string(i));
            int32_t index = -1;
            uint16_t crc = 0;
            if (m_kessa.GetSarVersion(a, &index, &crc) != KESSA_OK || index != i || crc != 0x1000 + i)
                failures[0].push_back("get " + std::to_string(i) + ": " + std::to_string(index));
        }
    });
    std::thread enables([&] {
        for (int i = 1; i <= 25; ++i) {
            const uint8_t want = static_cast<uint8_t>(i % 2);
            if (m_kessa.SetSarEnable(b, want) != KESSA_OK) failures[1].push_back("set " + std::to_string(i));
            uint8_t enabled = 0xAA;
            if (m_kessa.GetSarEnable(b, &enabled) != KESSA_OK || enabled != want)
                failures[1].push_back("get " + std::to_string(i) + ": " + std::to_string(enabled));
        }
    });
    versions.join();
    enables.join();
    EXPECT_TRUE(failures[0].empty()) << failures[0].front();
    EXPECT_TRUE(failures[1].empty()) << failures[1].front();
}

TEST_P(KessaSimModes, FileCheckExports) {
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    const Bytes file = sartest::Text("123456789xyz");
    const Bytes other = sartest::Text("123456789abc");
    struct Case {
        const uint8_t* data;
        uint16_t length;
        uint16_t crc;
    } cases[] = {{file.data(), 12, 0x906E}, {file.data(), 3, 0xFFFB}, {nullptr, 12, 0xFFFB}};
    for (const Case& c : cases) {
        uint16_t crc = 0;
        EXPECT_EQ(m_kessa.GetFileCrc(context, c.data, c.length, &crc), KESSA_OK);
        EXPECT_EQ(crc, c.crc) << "length " << c.length;
    }
    uint8_t equal = 0xAA;
    EXPECT_EQ(m_kessa.IsWrite(context, nullptr, 0, nullptr, 0, &equal), KESSA_OK);
    EXPECT_EQ(equal, 1);
    EXPECT_EQ(m_kessa.IsWrite(context, file.data(), 12, other.data(), 12, &equal), KESSA_OK);
    EXPECT_EQ(equal, 1);  // the last three bytes are left out
    EXPECT_EQ(m_kessa.IsWrite(context, file.data(), 12, file.data(), 11, &equal), KESSA_OK);
    EXPECT_EQ(equal, 0);
    EXPECT_EQ(m_sim.LogCount(), 3u);  // no device traffic beyond Init's sessions
}

// Reads and writes have locks of their own: their completions must neither
// pass for a command's completion nor hide it.
TEST_P(KessaSimModes, CommandsRunWhileSarDataMovesOnTheSameContext) {
    simmodem::StartState state;
    state.interfaces[0].sarImage = sartest::Text("image");
    Start(state);
    SarDeviceContext* context = InitAndOpen();
    ASSERT_NE(context, nullptr);
    std::atomic<bool> moving{true};
    std::vector<std::string> failures;
    int rounds = 0;
    std::thread commands([&] {
        for (int i = 0; moving; ++i, ++rounds) {
            const uint8_t want = static_cast<uint8_t>(i % 2);
            const Clock::time_point start = Clock::now();
            const int32_t set = m_kessa.SetSarEnable(context, want);
            uint8_t enabled = 0xAA;
            const int32_t get = m_kessa.GetSarEnable(context, &enabled);
            if (set != KESSA_OK || get != KESSA_OK || enabled != want)
                failures.push_back("round " + std::to_string(i) + ": set " + std::to_string(set) + " get " +
                                   std::to_string(get) + " enabled " + std::to_string(enabled) + " after " +
                                   std::to_string(SecondsSince(start)) + " s");
        }
    });
    const Bytes image(20000, 0x42);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m_kessa.SetSarValue(context, image.data(), static_cast<int32_t>(image.size())), KESSA_OK);
        uint8_t* data = nullptr;
        int32_t length = 0;
        EXPECT_EQ(m_kessa.GetSarValue(context, &data, &length), KESSA_OK);
        EXPECT_EQ(length, 20000);
    }
    moving = false;
    commands.join();
    EXPECT_GT(rounds, 10);
    EXPECT_TRUE(failures.empty()) << failures.size() << " rounds failed, first " << failures.front();
}

// The simulator's own wire code and text forms, without COM: checked against
// values worked out independently (the tests' CRC and packet builders).
#include "CSimFirmware.h"
#include "SimCodec.h"
#include "SimModemTestUtil.h"
#include "SimText.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;

TEST(SimCodec, CrcMatchesTheCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(0x906E, simcodec::Crc16X25(reinterpret_cast<const uint8_t*>(text), 9));
    Bytes bytes(text, text + 9);
    EXPECT_EQ(0x906E, simtest::Crc(bytes, 9)) << "the tests' own CRC agrees";
}

TEST(SimCodec, EscapingRoundTripsAndRejectsBrokenPairs) {
    EXPECT_EQ((Bytes{0x01, 0x7D, 0x5E, 0x7D, 0x5D, 0x5E}), simcodec::Escape({0x01, 0x7E, 0x7D, 0x5E}));
    struct Case {
        Bytes raw;
        bool ok;
        Bytes logical;
    } cases[] = {
        {{0x7D, 0x5E, 0x7D, 0x5D}, true, {0x7E, 0x7D}},
        {{}, true, {}},
        {{0x41, 0x7D}, false, {}},        // pair cut off
        {{0x7D, 0x41}, false, {}},        // not an escape
        {{0x41, 0x7E, 0x42}, false, {}},  // a frame boundary inside the frame
    };
    for (const Case& c : cases) {
        Bytes logical;
        EXPECT_EQ(c.ok, simcodec::Unescape(c.raw.data(), c.raw.size(), logical));
        if (c.ok) {
            EXPECT_EQ(c.logical, logical);
        }
    }
}

TEST(SimCodec, WritePacketsAreCheckedBeforeUse) {
    Bytes escapes = {0x7E, 0x7D, 0x00, 0x7E};
    Bytes noEndMark = simtest::WritePacket({1, 2, 3}, 0);
    noEndMark.pop_back();
    Bytes longerThanSaid = simtest::WritePacket({1, 2, 3}, 0);
    longerThanSaid.insert(longerThanSaid.end() - 3, 0x55);
    Bytes readInstead = simtest::ReadRequest(0);
    struct Case {
        const char* what;
        Bytes raw;
        simcodec::PacketCheck check;
        bool append;
        Bytes data;
    } cases[] = {
        {"first chunk", simtest::WritePacket({1, 2, 3}, 0), simcodec::PacketCheck::Ok, false, {1, 2, 3}},
        {"later chunk with escapes", simtest::WritePacket(escapes, 1), simcodec::PacketCheck::Ok, true, escapes},
        {"empty chunk", simtest::WritePacket({}, 0), simcodec::PacketCheck::Ok, false, {}},
        {"spoilt CRC", simtest::WritePacket({1, 2, 3}, 0, 0x8000), simcodec::PacketCheck::BadCrc, false, {}},
        {"flag 2", simtest::WritePacket({1, 2, 3}, 2), simcodec::PacketCheck::Malformed, false, {}},
        {"no end mark", noEndMark, simcodec::PacketCheck::Malformed, false, {}},
        {"more bytes than its length", longerThanSaid, simcodec::PacketCheck::Malformed, false, {}},
        {"a read request", readInstead, simcodec::PacketCheck::Malformed, false, {}},
        {"short", {0x4B, 0x0B, 0x7E}, simcodec::PacketCheck::Malformed, false, {}},
    };
    for (const Case& c : cases) {
        simcodec::WritePacket packet;
        EXPECT_EQ(c.check, simcodec::ParseWritePacket(c.raw, packet)) << c.what;
        if (c.check != simcodec::PacketCheck::Ok) continue;
        EXPECT_EQ(c.append, packet.append) << c.what;
        EXPECT_EQ(c.data, packet.data) << c.what;
    }
    EXPECT_TRUE(simtest::IsValidAck(simcodec::BuildWriteAck(500)));
}

// The host sends only the low 16 bits of what it has received: a read of more
// than 64 KiB still has to come out whole and in order.
TEST(SimFirmware, ReadsPastSixtyFourKibibytesWithWrappedCounts) {
    SimModemStore store;
    store.image.resize(70000);
    for (size_t i = 0; i < store.image.size(); ++i) store.image[i] = static_cast<uint8_t>(i * 7 + i / 256);
    Bytes read;
    int32_t remaining = -1;
    for (int frames = 0; remaining != 0 && frames < 200; ++frames) {
        SimCommandResult r = CSimFirmware::Execute(store, SimServiceKind::Diag, true, 2,
                                                   simtest::ReadRequest(static_cast<uint16_t>(read.size())), 500);
        ASSERT_EQ(1u, r.notifications.size());
        simtest::DataFrame frame = simtest::ParseDataFrame(r.notifications[0]);
        ASSERT_TRUE(frame.valid);
        read.insert(read.end(), frame.data.begin(), frame.data.end());
        remaining = frame.remaining;
    }
    EXPECT_EQ(store.image, read);
    // Asking from 0 again starts a new read.
    SimCommandResult again = CSimFirmware::Execute(store, SimServiceKind::Diag, true, 2, simtest::ReadRequest(0), 500);
    simtest::DataFrame first = simtest::ParseDataFrame(again.notifications.at(0));
    EXPECT_EQ(Bytes(store.image.begin(), store.image.begin() + 500), first.data);
    EXPECT_EQ(69500, first.remaining);
}

TEST(SimText, FaultsSurviveTheirTextForm) {
    std::vector<simmodem::FaultSpec> faults = {
        simmodem::FaultSpec::Fail(SIMMODEM_METHOD_SET_COMMAND, static_cast<HRESULT>(0x80004005), 2),
        simmodem::FaultSpec::Busy(SIMMODEM_SERVICE_DIAG, 3, 1, SIMMODEM_OP_SET),
        simmodem::FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5),
        simmodem::FaultSpec::NeverComplete(L"", SIMMODEM_ANY, 1, SIMMODEM_OP_OPEN_SESSION),
        simmodem::FaultSpec::Reply(SIMMODEM_SERVICE_MS_SAR, 1, {0x01, 0xFE}),
        simmodem::FaultSpec::RemoveAfter(3, 250, SIMMODEM_SERVICE_DIAG, 2),
        simmodem::FaultSpec::Stray(SIMMODEM_FAULT_STRAY_SERVICE, SIMMODEM_SERVICE_MS_SAR, 1, 5, 1, SIMMODEM_OP_SET),
        simmodem::FaultSpec::Stray(SIMMODEM_FAULT_STRAY_INTERFACE, L"", SIMMODEM_ANY, E_FAIL),
        simmodem::FaultSpec::Stray(SIMMODEM_FAULT_STRAY_REQUEST, SIMMODEM_SERVICE_DIAG, 3, 5, 2, SIMMODEM_OP_QUERY),
        simmodem::FaultSpec::Delay(SIMMODEM_SERVICE_MS_SAR, 1, 1500, SIMMODEM_ALWAYS, SIMMODEM_OP_SET),
        simmodem::FaultSpec::Delay(L"", SIMMODEM_ANY, 20, 3, SIMMODEM_OP_RADIO),
        simmodem::FaultSpec::Hold(SIMMODEM_SERVICE_DIAG, 3, 2, SIMMODEM_OP_QUERY),
        simmodem::FaultSpec::Hold(L"", SIMMODEM_ANY),
    };
    faults[0].sink = SIMMODEM_SINK_RADIO;
    faults[0].interfaceIndex = 1;
    for (const auto& f : faults) {
        std::wstring text = simtext::FormatFault(f);
        simtext::Change change;
        simmodem::FaultSpec back;
        ASSERT_TRUE(simtext::ParseChange(text, change)) << text.c_str();
        ASSERT_TRUE(simtext::ParseFault(change, back)) << text.c_str();
        EXPECT_EQ(simtext::FormatFault(back), text);
        EXPECT_EQ(f.reply, back.reply);
        EXPECT_EQ(f.count, back.count);
        EXPECT_EQ(f.delayMs, back.delayMs);
        EXPECT_EQ(f.kind == SIMMODEM_FAULT_BUSY ? static_cast<int32_t>(0x800700AA) : f.hr, back.hr);
    }
    simtext::Change change;
    simmodem::FaultSpec fault;
    EXPECT_FALSE(simtext::ParseChange(L";if=0", change));
    EXPECT_FALSE(simtext::ParseChange(L"radio;hw", change));
    ASSERT_TRUE(simtext::ParseChange(L"fault;kind=hresult;method=NoSuchMethod", change));
    EXPECT_FALSE(simtext::ParseFault(change, fault));
    ASSERT_TRUE(simtext::ParseChange(L"fault;kind=busy;cid=12a", change));
    EXPECT_FALSE(simtext::ParseFault(change, fault));
    ASSERT_TRUE(simtext::ParseChange(L"fault;kind=delay;ms=1.5s", change));
    EXPECT_FALSE(simtext::ParseFault(change, fault));
}

TEST(SimText, SlowSarSetsReadAsWritten) {
    // The form end-to-end tests put in a start state's Modem\Faults.
    const std::wstring text = L"fault;kind=delay;svc={68223D04-9F6C-4E0F-822D-28441FB72340};cid=1;op=set;count=always;ms=1500";
    simtext::Change change;
    simmodem::FaultSpec fault;
    ASSERT_TRUE(simtext::ParseChange(text, change));
    ASSERT_TRUE(simtext::ParseFault(change, fault));
    EXPECT_EQ(uint32_t(SIMMODEM_FAULT_DELAY), fault.kind);
    EXPECT_EQ(SIMMODEM_SERVICE_MS_SAR, fault.service);
    EXPECT_EQ(1u, fault.cid);
    EXPECT_EQ(uint32_t(SIMMODEM_OP_SET), fault.op);
    EXPECT_EQ(SIMMODEM_ALWAYS, fault.count);
    EXPECT_EQ(1500u, fault.delayMs);
    EXPECT_EQ(SIMMODEM_ANY, fault.interfaceIndex);
    // Names are read without regard to case; the op is written as the log writes it.
    EXPECT_TRUE(simtext::EqualsNoCase(text, simtext::FormatFault(fault)));
}

TEST(SimText, LogLinesSurviveTheirTextForm) {
    simmodem::LogEntry entry;
    entry.sequence = 12;
    entry.interfaceIndex = 1;
    entry.op = SIMMODEM_OP_SET;
    entry.cid = 2;
    entry.requestId = 4000000000u;
    entry.service = SIMMODEM_SERVICE_DIAG;
    entry.payload = {0x4B, 0x0B, 0x7E};
    for (bool empty : {false, true}) {
        if (empty) {
            entry.payload.clear();
            entry.service.clear();
            entry.op = SIMMODEM_OP_RADIO;
        }
        simmodem::LogEntry back;
        ASSERT_TRUE(simtext::ParseLogLine(simtext::FormatLogLine(entry) + L"\r", back));
        EXPECT_EQ(entry.sequence, back.sequence);
        EXPECT_EQ(entry.op, back.op);
        EXPECT_EQ(entry.requestId, back.requestId);
        EXPECT_EQ(entry.service, back.service);
        EXPECT_EQ(entry.payload, back.payload);
    }
    simmodem::LogEntry ignored;
    EXPECT_FALSE(simtext::ParseLogLine(L"1\t0\t-\tSET\t1\t2\t0", ignored)) << "odd hex";
}

}  // namespace

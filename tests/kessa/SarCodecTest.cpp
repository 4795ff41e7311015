// The byte-level rules on plain inputs: CRC, file check, write packets and
// escaping, read requests, data frames, acknowledgements and reply fields.
#include <gtest/gtest.h>

#include "SarCrc.h"
#include "SarMessage.h"
#include "SarPacket.h"
#include "SarTestBytes.h"

#include <cstring>
#include <string>
#include <vector>

namespace {
using namespace sartest;

// Undoes the wire escaping of a whole packet (end mark excluded).
Bytes Unescape(const Bytes& wire) {
    Bytes out;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        if (wire[i] == 0x7D) {
            ++i;
            out.push_back(wire[i] == 0x5E ? 0x7E : 0x7D);
        } else {
            out.push_back(wire[i]);
        }
    }
    return out;
}

Bytes Encode(const Bytes& chunk, uint8_t flag) {
    uint8_t raw[kSarRawPacketBufferSize];
    uint8_t out[kSarEscapedPacketBufferSize];
    size_t n = EncodeSarWritePacket(chunk.data(), static_cast<uint16_t>(chunk.size()), flag, raw, sizeof(raw), out,
                                    sizeof(out));
    return Bytes(out, out + n);
}

const Bytes kWriteHeader = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
}  // namespace

TEST(SarCrc, CheckValueAndEveryTableEntry) {
    EXPECT_EQ(Crc16X25(Text("123456789").data(), 9), 0x906E);
    EXPECT_EQ(Crc16X25(nullptr, 0), 0x0000);
    // One byte of each value reaches every table entry once.
    for (int value = 0; value < 256; ++value) {
        Bytes one = {static_cast<uint8_t>(value), static_cast<uint8_t>(0xFF - value)};
        EXPECT_EQ(Crc16X25(one.data(), one.size()), ReferenceCrc(one)) << "byte " << value;
    }
}

TEST(SarCrc, FileCrcLeavesOutStoredCrcAndEndMark) {
    const Bytes file = Text("123456789xyz");
    struct Case {
        const uint8_t* data;
        uint16_t length;
        uint16_t expected;
    } cases[] = {
        {file.data(), 12, 0x906E},   // the first 9 of 12 bytes
        {file.data(), 3, 0xFFFB},    // nothing left to check
        {nullptr, 12, 0xFFFB},
        {nullptr, 0, 0xFFFB},
        {file.data(), 4, ReferenceCrc(Text("1"))},
    };
    for (const Case& c : cases) EXPECT_EQ(SarFileCrc(c.data, c.length), c.expected) << "length " << c.length;
}

TEST(SarCrc, FilesMatchOnTheirCheckedBytesOnly) {
    const Bytes a = Text("123456789abc");
    const Bytes sameButTrailer = Text("123456789xyz");
    const Bytes different = Text("123456780abc");
    EXPECT_TRUE(SarFilesMatch(nullptr, 0, nullptr, 0));  // both 0xFFFB
    EXPECT_TRUE(SarFilesMatch(a.data(), 12, sameButTrailer.data(), 12));
    EXPECT_FALSE(SarFilesMatch(a.data(), 12, different.data(), 12));
    EXPECT_FALSE(SarFilesMatch(a.data(), 12, nullptr, 0));
}

TEST(SarPacket, CommandPayloads) {
    EXPECT_EQ(SarEnablePayload(1), (Bytes{0x00, 0x11}));
    EXPECT_EQ(SarEnablePayload(7), (Bytes{0x00, 0x11}));
    EXPECT_EQ(SarEnablePayload(0), (Bytes{0x00, 0x22}));
    EXPECT_EQ(DeviceRootPayload(), (Bytes{0x00, 0x11}));
    // Only the low 16 bits of both arguments go out.
    EXPECT_EQ(SarVersionPayload(0x12345, 0xABCDEF), (Bytes{0x45, 0x23, 0xEF, 0xCD}));
    EXPECT_EQ(SarConfigPayload(3), (Bytes{0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 8, 0, 0, 0,
                                          0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}));
}

TEST(SarPacket, WritesAreChunkedIn500Bytes) {
    struct Case {
        size_t length;
        std::vector<SarWriteChunk> chunks;
    } cases[] = {
        {0, {{0, 0, 0}}},
        {500, {{0, 500, 0}}},
        {501, {{0, 500, 0}, {500, 1, 1}}},
        {1000, {{0, 500, 0}, {500, 500, 1}}},
        {1201, {{0, 500, 0}, {500, 500, 1}, {1000, 201, 1}}},
    };
    for (const Case& c : cases) {
        const std::vector<SarWriteChunk> plan = PlanSarWrite(c.length);
        ASSERT_EQ(plan.size(), c.chunks.size()) << "length " << c.length;
        for (size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].offset, c.chunks[i].offset) << "length " << c.length << " packet " << i;
            EXPECT_EQ(plan[i].length, c.chunks[i].length) << "length " << c.length << " packet " << i;
            EXPECT_EQ(plan[i].flag, c.chunks[i].flag) << "length " << c.length << " packet " << i;
        }
    }
}

TEST(SarPacket, EveryPacketOfAWriteDecodes) {
    for (size_t length : {0u, 500u, 501u, 1000u}) {
        Bytes data(length);
        for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 0x70);  // 7D and 7E among them
        for (const SarWriteChunk& chunk : PlanSarWrite(length)) {
            const Bytes slice(data.begin() + chunk.offset, data.begin() + chunk.offset + chunk.length);
            const Bytes wire = Encode(slice, chunk.flag);
            ASSERT_FALSE(wire.empty());
            EXPECT_EQ(wire.back(), 0x7E);
            for (size_t i = 0; i + 1 < wire.size(); ++i) EXPECT_NE(wire[i], 0x7E) << "unescaped 7E at " << i;
            const Bytes raw = Unescape(wire);
            ASSERT_EQ(raw.size(), 15 + chunk.length + 2u);
            EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 12), kWriteHeader);
            EXPECT_EQ(U16(raw, 12), chunk.length);
            EXPECT_EQ(raw[14], chunk.flag);
            EXPECT_EQ(Bytes(raw.begin() + 15, raw.begin() + 15 + chunk.length), slice);
            EXPECT_EQ(U16(raw, 15 + chunk.length), ReferenceCrc(Bytes(raw.begin(), raw.begin() + 15 + chunk.length)));
        }
    }
}

TEST(SarPacket, EscapesDataAndCrcBytes) {
    struct Case {
        const char* what;
        Bytes chunk;
        uint8_t flag;
        Bytes wire;
    } cases[] = {
        {"7E and 7D in the data", {0x7E, 0x7D, 0x01}, 0,
         {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73, 0x03, 0x00, 0x00, 0x7D, 0x5E, 0x7D,
          0x5D, 0x01, 0x02, 0xC9, 0x7E}},
        {"7E as the CRC's low byte", {0x25}, 1,
         {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73, 0x01, 0x00, 0x01, 0x25, 0x7D, 0x5E,
          0x51, 0x7E}},
        {"7D as the CRC's high byte", {0xD8}, 1,
         {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73, 0x01, 0x00, 0x01, 0xD8, 0x14, 0x7D,
          0x5D, 0x7E}},
    };
    for (const Case& c : cases) EXPECT_EQ(Encode(c.chunk, c.flag), c.wire) << c.what;
}

TEST(SarPacket, EscapedBufferTakesTheWorstCase) {
    EXPECT_EQ(kSarEscapedPacketBufferSize, 1023u);
    // Everything after the fixed 12 header bytes doubles: 505 bytes for a full chunk.
    Bytes raw(15 + 500 + 3, 0x7E);
    std::memcpy(raw.data(), kWriteHeader.data(), 12);
    Bytes out(kSarEscapedPacketBufferSize + 8, 0xAA);
    EXPECT_EQ(EscapeSarPacket(raw.data(), raw.size(), out.data(), kSarEscapedPacketBufferSize), 1023u);
    EXPECT_EQ(out[1022], 0x7E);
    // One byte less does not fit, and nothing is written past the capacity.
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_EQ(EscapeSarPacket(raw.data(), raw.size(), out.data(), kSarEscapedPacketBufferSize - 1), 0u);
    for (size_t i = kSarEscapedPacketBufferSize - 1; i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << i;
    // A real chunk of 500 bytes 7E fits.
    const Bytes wire = Encode(Bytes(500, 0x7E), 0);
    EXPECT_GE(wire.size(), 12u + 3 + 1000 + 2 + 1);
    EXPECT_LE(wire.size(), kSarEscapedPacketBufferSize);
}

TEST(SarPacket, PacketsThatCannotBeBuiltAreRefused) {
    uint8_t raw[kSarRawPacketBufferSize];
    const Bytes big(501, 1);
    EXPECT_EQ(BuildSarWritePacket(big.data(), 501, 0, raw, sizeof(raw)), 0u);
    EXPECT_EQ(BuildSarWritePacket(big.data(), 10, 0, raw, 27), 0u);
    EXPECT_EQ(BuildSarWritePacket(nullptr, 10, 0, raw, sizeof(raw)), 0u);
    EXPECT_EQ(BuildSarWritePacket(nullptr, 0, 0, raw, sizeof(raw)), 18u);
}

TEST(SarPacket, ReadRequestCarriesTheReceivedCount) {
    uint8_t request[kSarReadRequestSize];
    ASSERT_EQ(BuildSarReadRequest(300, request, sizeof(request)), 17u);
    EXPECT_EQ(Bytes(request, request + 17), (Bytes{0x4B, 0x0B, 0x24, 0x00, 0x77, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3,
                                                  0x73, 0x2C, 0x01, 0x65, 0x4B, 0x7E}));
    EXPECT_EQ(BuildSarReadRequest(0, request, 16), 0u);
}

namespace {
const Bytes kRemainingZero = {0, 0, 0, 0};

struct Parsed {
    SarFrameStatus status;
    SarDataFrame frame;
    Bytes data;
};

Parsed Parse(const Bytes& raw, size_t capacity = 4096) {
    Parsed p;
    Bytes out(capacity + 16, 0xAA);
    p.status = ParseSarDataFrame(raw.data(), raw.size(), out.data(), capacity, p.frame);
    for (size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << "written past the buffer at " << i;
    p.data.assign(out.begin(), out.begin() + p.frame.dataLength);
    return p;
}
}  // namespace

TEST(SarMessage, MessagesAreClassifiedByPacketId) {
    const Bytes frame = Frame(3, kRemainingZero, {1, 2, 3}, {9, 9});
    EXPECT_EQ(ClassifySarMessage(frame.data(), frame.size()), SarMessageKind::DataFrame);
    Bytes ack = frame;
    ack[4] = 0x78;
    EXPECT_EQ(ClassifySarMessage(ack.data(), ack.size()), SarMessageKind::WriteAck);
    Bytes other = frame;
    other[4] = 0x79;
    EXPECT_EQ(ClassifySarMessage(other.data(), other.size()), SarMessageKind::Ignored);
    // 16 bytes or fewer are not looked at.
    EXPECT_EQ(ClassifySarMessage(frame.data(), 16), SarMessageKind::Ignored);
    EXPECT_EQ(ClassifySarMessage(nullptr, 40), SarMessageKind::Ignored);
}

TEST(SarMessage, DataFramesYieldTheirData) {
    const Bytes data = {0x10, 0x7E, 0x20, 0x30, 0x7D};  // ends in an escaped byte
    struct Case {
        const char* what;
        Bytes remainingRaw;
        Bytes crc;
    } cases[] = {
        {"plain CRC", {5, 0, 0, 0}, {0x12, 0x34}},
        {"CRC low byte escaped", {5, 0, 0, 0}, {0x7E, 0x34}},
        {"CRC high byte escaped", {5, 0, 0, 0}, {0x12, 0x7D}},
        {"both CRC bytes escaped", {5, 0, 0, 0}, {0x7D, 0x7E}},
        {"plain CRC bytes 5E 5D", {5, 0, 0, 0}, {0x5E, 0x5D}},
        {"7D 5E pair in the remaining field", {0x7D, 0x5E, 0, 0, 0}, {0x12, 0x34}},
        {"two pairs in the remaining field", {0x7D, 0x5D, 0x7D, 0x5E, 0, 0}, {0x7E, 0x7E}},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(Frame(300, c.remainingRaw, data, c.crc));
        ASSERT_EQ(p.status, SarFrameStatus::Parsed) << c.what;
        EXPECT_TRUE(p.frame.complete) << c.what;
        EXPECT_EQ(p.frame.count, 300) << c.what;
        EXPECT_EQ(p.data, data) << c.what;
    }
}

TEST(SarMessage, FrameFieldsAreReadAsLogicalBytes) {
    const Parsed p = Parse(Frame(0x0102, {0x00, 0x01, 0x00, 0x00}, {1}, {2, 3}));
    EXPECT_EQ(p.frame.count, 0x0102);
    EXPECT_EQ(p.frame.remaining, 256);
    // A pair in the remaining field is one byte of the count.
    const Parsed escaped = Parse(Frame(1, {0x7D, 0x5E, 0, 0, 0}, {1}, {2, 3}));
    EXPECT_EQ(escaped.frame.remaining, 0x7E);
    EXPECT_EQ(escaped.data, Bytes{1});
}

TEST(SarMessage, EscapedCountFieldsOfAModemFrame) {
    // A modem escapes the count fields like every other byte before the end mark.
    struct Case {
        uint16_t count;
        int32_t remaining;
    } cases[] = {{125, 0}, {126, 0}, {0x7D00, 0}, {0x7E7D, 0}, {500, 126}, {500, 0x7D7E}, {500, 0x7E7D7E7D}, {1, -1}};
    for (const Case& c : cases) {
        const Bytes data = Bytes(c.count < 1000 ? c.count : 1000, 0x7D);
        const Parsed p = Parse(ModemFrame(data, c.remaining, c.count), 2048);
        ASSERT_EQ(p.status, SarFrameStatus::Parsed) << c.count << " " << c.remaining;
        EXPECT_TRUE(p.frame.complete);
        EXPECT_EQ(p.frame.count, c.count);
        EXPECT_EQ(p.frame.remaining, c.remaining);
        EXPECT_EQ(p.data, data) << c.count << " " << c.remaining;
    }
    // Too short for its 20 logical bytes: 20 raw bytes of which two are a pair.
    Bytes cut = ModemFrame({}, 126);
    cut.resize(20);
    SarFrameFields fields;
    EXPECT_FALSE(ReadSarFrameFields(cut.data(), cut.size(), fields));
    EXPECT_EQ(Parse(cut).status, SarFrameStatus::Malformed);
}

TEST(SarMessage, CrcSizeIsReadFromTheEnd) {
    struct Case {
        Bytes tail;  // the last bytes of a frame, end mark included
        size_t crcSize;
    } cases[] = {
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x7E}, 2},
        {{0x01, 0x02, 0x03, 0x7D, 0x5E, 0x7E}, 3},  // second CRC byte escaped
        {{0x01, 0x02, 0x7D, 0x5D, 0x05, 0x7E}, 3},  // first CRC byte escaped
        {{0x01, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}, 4},
        {{0x01, 0x02, 0x5E, 0x7D, 0x5E, 0x7E}, 3},  // 5E before the pair, but no 7D before it
    };
    for (const Case& c : cases) {
        Bytes raw(20, 0x11);
        raw.insert(raw.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(SarFrameCrcSize(raw.data(), raw.size()), c.crcSize);
    }
}

TEST(SarMessage, PairEndingAtLMinus3IsNotJoined) {
    // L = 8, L-3 = 5: the pair at 4..5 is copied as two bytes, the pair at 1..2 is joined.
    const Bytes raw = {0x11, 0x7D, 0x5E, 0x22, 0x7D, 0x5E, 0x33, 0x7E};
    uint8_t out[16];
    size_t written = 0;
    ASSERT_TRUE(UnescapeSarFrameData(raw.data(), raw.size(), 0, 6, out, sizeof(out), written));
    EXPECT_EQ(Bytes(out, out + written), (Bytes{0x11, 0x7E, 0x22, 0x7D, 0x5E}));
    // A 7D followed by anything else stays as it is.
    const Bytes lone = {0x7D, 0x41, 0x7D, 0x5D, 0, 0, 0, 0};
    ASSERT_TRUE(UnescapeSarFrameData(lone.data(), lone.size(), 0, 4, out, sizeof(out), written));
    EXPECT_EQ(Bytes(out, out + written), (Bytes{0x7D, 0x41, 0x7D}));
}

TEST(SarMessage, ShortIncompleteAndOversizeFrames) {
    // Fewer than 20 bytes hold no count and remaining fields.
    Bytes shortFrame = Frame(0, kRemainingZero, {}, {1, 2});
    shortFrame.resize(19);
    EXPECT_EQ(Parse(shortFrame).status, SarFrameStatus::Malformed);
    // No room for data, CRC and end mark after the skipped field.
    const Bytes noRoom = Frame(0, kRemainingZero, {}, {});
    EXPECT_EQ(Parse(noRoom).status, SarFrameStatus::Malformed);
    // An empty data part is still a frame.
    const Parsed empty = Parse(Frame(0, kRemainingZero, {}, {1, 2}));
    EXPECT_EQ(empty.status, SarFrameStatus::Parsed);
    EXPECT_EQ(empty.frame.dataLength, 0u);
    // Without the end mark the frame is incomplete.
    const Parsed open = Parse(Frame(3, kRemainingZero, {1, 2, 3}, {4, 5}, false));
    EXPECT_EQ(open.status, SarFrameStatus::Parsed);
    EXPECT_FALSE(open.frame.complete);
    // Data beyond the buffer are refused without writing past it (Parse checks the guard bytes).
    const Bytes nine = Frame(9, kRemainingZero, Bytes(9, 0x7E), {1, 2});
    EXPECT_EQ(Parse(nine, 8).status, SarFrameStatus::TooLarge);
    EXPECT_EQ(Parse(nine, 9).status, SarFrameStatus::Parsed);
}

TEST(SarMessage, AcknowledgementValidity) {
    const Bytes good = Ack(2);
    ASSERT_GT(good.size(), 16u);
    EXPECT_EQ(ClassifySarMessage(good.data(), good.size()), SarMessageKind::WriteAck);
    EXPECT_TRUE(IsValidSarWriteAck(good.data(), good.size()));
    const Bytes badCrc = AckWithBadCrc();
    EXPECT_FALSE(IsValidSarWriteAck(badCrc.data(), badCrc.size()));
    const Bytes notTwo = Ack(3);  // CRC right, u16 at 10 wrong
    EXPECT_FALSE(IsValidSarWriteAck(notTwo.data(), notTwo.size()));
    EXPECT_FALSE(IsValidSarWriteAck(good.data(), 11));
}

TEST(SarMessage, ReplyFieldsNeedTheirBytes) {
    Bytes reply(32, 0);
    reply[1] = 7;
    reply[4] = 0x34;
    reply[5] = 0x12;
    reply[12] = 2;
    reply[28] = 5;
    uint32_t count = 0;
    int32_t index = 0;
    uint16_t crc = 0;
    uint32_t value = 0;
    EXPECT_FALSE(ReadSarConfigElementCount(reply.data(), 15, count));
    ASSERT_TRUE(ReadSarConfigElementCount(reply.data(), 16, count));
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(ReadSarConfigBackoffIndex(reply.data(), 31, index));
    ASSERT_TRUE(ReadSarConfigBackoffIndex(reply.data(), 32, index));
    EXPECT_EQ(index, 5);
    EXPECT_FALSE(ReadSarVersionReply(reply.data(), 5, index, crc));
    ASSERT_TRUE(ReadSarVersionReply(reply.data(), 6, index, crc));
    EXPECT_EQ(index, 7);
    EXPECT_EQ(crc, 0x1234);
    for (size_t length : {3u, 5u, 8u}) EXPECT_FALSE(ReadSarQueryValue(reply.data(), length, value)) << length;
    Bytes four = {0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(ReadSarQueryValue(four.data(), 4, value));
    EXPECT_EQ(value, 1u);
}

// libFuzzer target over the SAR data codec. Each input goes, as it stands,
// through every reader of bytes from outside (the modem's notifications and
// command replies, a caller's SAR file), into buffers of exactly the size the
// reader is given, so that the address sanitizer sees any byte written or read
// past them; then the input serves as the data of a write, a data frame and an
// acknowledgement that the codec builds, and each must read back as built.
#include "SarCrc.h"
#include "SarFuzzBytes.h"
#include "SarMessage.h"
#include "SarPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using sarfuzz::Bytes;

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "SarCodecFuzz:%d: %s\n", line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                           \
    do {                                                \
        if (!(condition)) Fail(#condition, __LINE__);   \
    } while (0)

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// A heap copy of exactly length bytes: a read past the end is seen.
std::unique_ptr<uint8_t[]> Copy(const uint8_t* data, size_t length) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
    if (length) std::memcpy(copy.get(), data, length);
    return copy;
}

// Undoes the escaping of every byte before the end mark, as the modem does:
// written here again, apart from the codec's own reader.
Bytes Unescape(const Bytes& wire) {
    Bytes out;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        if (wire[i] == kSarEscape && i + 2 < wire.size()) {
            ++i;
            out.push_back(wire[i] == kSarEscapedEndMark ? kSarEndMark : kSarEscape);
        } else {
            out.push_back(wire[i]);
        }
    }
    return out;
}

void ReadFrame(const uint8_t* raw, size_t length, size_t capacity) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
    SarDataFrame frame;
    const SarFrameStatus status = ParseSarDataFrame(raw, length, out.get(), capacity, frame);
    if (status == SarFrameStatus::Parsed) {
        FUZZ_CHECK(frame.dataLength <= capacity);
        FUZZ_CHECK(frame.dataLength <= length);
        FUZZ_CHECK(frame.complete == (raw[length - 1] == kSarEndMark));
    }
}

// Every reader on bytes as a notification or a reply brings them.
void ReadAsReceived(const uint8_t* raw, size_t length) {
    ClassifySarMessage(raw, length);

    SarFrameFields fields;
    if (ReadSarFrameFields(raw, length, fields)) {
        FUZZ_CHECK(fields.dataStart >= 20 && fields.dataStart <= length && fields.dataStart <= 40);
    }
    if (length > 0) {
        const size_t crcSize = SarFrameCrcSize(raw, length);
        FUZZ_CHECK(crcSize >= 2 && crcSize <= 4);
    }
    // The data never outgrow the raw bytes; half of them exercises a buffer too small.
    ReadFrame(raw, length, length);
    ReadFrame(raw, length, length / 2);

    if (length >= 2) {
        // Any start and count, in range or not.
        const size_t start = raw[0] % (length + 1);
        const size_t count = raw[1] % (length + 2);
        const size_t capacity = count / 2 + 1;
        std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
        size_t written = 0;
        if (UnescapeSarFrameData(raw, length, start, count, out.get(), capacity, written))
            FUZZ_CHECK(written <= count && written <= capacity);
        else
            FUZZ_CHECK(written <= capacity);
    }

    IsValidSarWriteAck(raw, length);

    // As a SAR file handed to the file check: its last three bytes are left out.
    const uint16_t fileLength = static_cast<uint16_t>(length < 0xFFFF ? length : 0xFFFF);
    const uint16_t fileCrc = SarFileCrc(raw, fileLength);
    FUZZ_CHECK(fileCrc == (fileLength < 4 ? kSarNoFileCrc : Crc16X25(raw, fileLength - 3u)));
    const uint16_t half = fileLength / 2;
    FUZZ_CHECK(SarFilesMatch(raw, half, raw + half, fileLength - half) ==
               (SarFileCrc(raw, half) == SarFileCrc(raw + half, fileLength - half)));

    uint32_t u32 = 0;
    int32_t i32 = 0;
    uint16_t u16 = 0;
    ReadSarConfigElementCount(raw, length, u32);
    ReadSarConfigBackoffIndex(raw, length, i32);
    ReadSarVersionReply(raw, length, i32, u16);
    ReadSarQueryValue(raw, length, u32);
}

// One packet of a write: the escaped packet reads back, un-escaped
// independently, as its header, chunk and CRC.
void CheckWritePacket(const uint8_t* chunk, const SarWriteChunk& plan) {
    const uint16_t n = plan.length;
    const Bytes wire = sarfuzz::WritePacket(chunk, n, plan.flag);
    FUZZ_CHECK(!wire.empty());
    FUZZ_CHECK(wire.back() == kSarEndMark);
    FUZZ_CHECK(std::memchr(wire.data(), kSarEndMark, wire.size() - 1) == nullptr);

    const Bytes raw = Unescape(wire);
    FUZZ_CHECK(raw.size() == kSarWriteHeaderSize + n + 2);
    FUZZ_CHECK(GetU16(&raw[12]) == n);
    FUZZ_CHECK(raw[14] == plan.flag);
    FUZZ_CHECK(n == 0 || std::memcmp(&raw[kSarWriteHeaderSize], chunk, n) == 0);
    FUZZ_CHECK(Crc16X25(raw.data(), kSarWriteHeaderSize + n) == GetU16(&raw[kSarWriteHeaderSize + n]));

    // One byte short of the escaped length: refused, nothing written past the buffer.
    Bytes logical = raw;
    logical.push_back(kSarEndMark);
    std::unique_ptr<uint8_t[]> tight(new uint8_t[wire.size() - 1]);
    FUZZ_CHECK(EscapeSarPacket(logical.data(), logical.size(), tight.get(), wire.size() - 1) == 0);
}

// The whole input written as SAR data: chunks of up to 500 bytes that cover
// it in order, flag 0 on the first packet only.
void WriteRoundTrip(const uint8_t* data, size_t size) {
    const std::vector<SarWriteChunk> plan = PlanSarWrite(size);
    FUZZ_CHECK(!plan.empty());
    size_t covered = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        FUZZ_CHECK(plan[i].offset == covered);
        FUZZ_CHECK(plan[i].length <= kSarChunkSize);
        FUZZ_CHECK(plan[i].flag == (i == 0 ? 0 : 1));
        FUZZ_CHECK(plan[i].length > 0 || size == 0);
        CheckWritePacket(data + plan[i].offset, plan[i]);
        covered += plan[i].length;
    }
    FUZZ_CHECK(covered == size);
}

// The whole input as the data of a data frame whose counts come from its first bytes.
void DataFrameRoundTrip(const uint8_t* data, size_t size) {
    uint8_t fields[6] = {};
    std::memcpy(fields, data, size < sizeof(fields) ? size : sizeof(fields));
    const uint16_t count = GetU16(fields);
    const int32_t remaining = static_cast<int32_t>(GetU16(fields + 2) | (static_cast<uint32_t>(GetU16(fields + 4)) << 16));
    const Bytes wire = sarfuzz::DataFrame(data, size, count, remaining);
    FUZZ_CHECK(ClassifySarMessage(wire.data(), wire.size()) == SarMessageKind::DataFrame);

    std::unique_ptr<uint8_t[]> raw = Copy(wire.data(), wire.size());
    std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    SarDataFrame frame;
    FUZZ_CHECK(ParseSarDataFrame(raw.get(), wire.size(), out.get(), size, frame) == SarFrameStatus::Parsed);
    FUZZ_CHECK(frame.complete);
    FUZZ_CHECK(frame.count == count);
    FUZZ_CHECK(frame.remaining == remaining);
    FUZZ_CHECK(frame.dataLength == size);
    FUZZ_CHECK(size == 0 || std::memcmp(out.get(), data, size) == 0);
}

// The input as the body of an acknowledgement: valid with 2 at offset 10, not with a CRC off by one bit.
void AcknowledgementRoundTrip(const uint8_t* data, size_t size) {
    Bytes ack = sarfuzz::Acknowledgement(2, data, size);
    FUZZ_CHECK(IsValidSarWriteAck(Copy(ack.data(), ack.size()).get(), ack.size()));
    ack[ack.size() - 3] ^= 0x01;
    FUZZ_CHECK(!IsValidSarWriteAck(Copy(ack.data(), ack.size()).get(), ack.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAsReceived(Copy(data, size).get(), size);
    WriteRoundTrip(data, size);
    DataFrameRoundTrip(data, size);
    // The length is read modulo 65536: bodies that large are another case.
    if (size < 0x10000 - 32) AcknowledgementRoundTrip(data, size);
    return 0;
}

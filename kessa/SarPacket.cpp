#include "SarPacket.h"

#include "SarCrc.h"

#include <cstring>

namespace {
// Bytes 0 to 11 of every packet of the SAR data protocol; the packet id goes at 4.
const uint8_t kSarPacketPrefix[4] = {0x4B, 0x0B, 0x24, 0x00};
const uint8_t kSarPacketTag[4] = {0x00, 0x00, 0xB3, 0x73};

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutPacketHeader(uint8_t* p, uint16_t packetId) {
    std::memcpy(p, kSarPacketPrefix, 4);
    PutU32(p + 4, packetId);
    std::memcpy(p + 8, kSarPacketTag, 4);
}
}  // namespace

std::vector<uint8_t> SarEnablePayload(uint8_t enable) {
    return {0x00, static_cast<uint8_t>(enable != 0 ? 0x11 : 0x22)};
}

std::vector<uint8_t> SarVersionPayload(int32_t tableIndex, int32_t tableCrc) {
    std::vector<uint8_t> payload(4);
    PutU16(&payload[0], static_cast<uint16_t>(tableIndex));
    PutU16(&payload[2], static_cast<uint16_t>(tableCrc));
    return payload;
}

std::vector<uint8_t> DeviceRootPayload() { return {0x00, 0x11}; }

std::vector<uint8_t> SarConfigPayload(int32_t backoffIndex) {
    // SARMode, SARBackOffStatus, ElementCount, state offset, state size, SARAntennaIndex, SARBackOffIndex.
    const uint32_t fields[7] = {0, 1, 1, 20, 8, 0xFFFFFFFFu, static_cast<uint32_t>(backoffIndex)};
    std::vector<uint8_t> payload(kSarConfigPayloadSize);
    for (size_t i = 0; i < 7; ++i) PutU32(&payload[4 * i], fields[i]);
    return payload;
}

std::vector<SarWriteChunk> PlanSarWrite(size_t length) {
    std::vector<SarWriteChunk> chunks;
    if (length <= kSarChunkSize) {
        chunks.push_back({0, static_cast<uint16_t>(length), 0});
        return chunks;
    }
    chunks.reserve((length + kSarChunkSize - 1) / kSarChunkSize);
    for (size_t offset = 0; offset < length; offset += kSarChunkSize) {
        size_t n = length - offset < kSarChunkSize ? length - offset : kSarChunkSize;
        chunks.push_back({offset, static_cast<uint16_t>(n), static_cast<uint8_t>(offset == 0 ? 0 : 1)});
    }
    return chunks;
}

size_t BuildSarWritePacket(const uint8_t* chunk, uint16_t n, uint8_t flag, uint8_t* raw, size_t capacity) {
    const size_t length = kSarWriteHeaderSize + n + 3;
    if (n > kSarChunkSize || length > capacity || (n > 0 && chunk == nullptr)) return 0;
    PutPacketHeader(raw, kSarPacketWrite);
    PutU16(raw + 12, n);
    raw[14] = flag;
    if (n > 0) std::memcpy(raw + kSarWriteHeaderSize, chunk, n);
    PutU16(raw + kSarWriteHeaderSize + n, Crc16X25(raw, kSarWriteHeaderSize + n));
    raw[kSarWriteHeaderSize + n + 2] = kSarEndMark;
    return length;
}

size_t EscapeSarPacket(const uint8_t* raw, size_t length, uint8_t* out, size_t capacity) {
    if (length == 0) return 0;
    size_t used = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        const uint8_t b = raw[i];
        if (b == kSarEndMark || b == kSarEscape) {
            if (capacity - used < 2) return 0;
            out[used++] = kSarEscape;
            out[used++] = b == kSarEndMark ? kSarEscapedEndMark : kSarEscapedEscape;
        } else {
            if (capacity - used < 1) return 0;
            out[used++] = b;
        }
    }
    if (capacity - used < 1) return 0;
    out[used++] = raw[length - 1];
    return used;
}

size_t EncodeSarWritePacket(const uint8_t* chunk, uint16_t n, uint8_t flag, uint8_t* raw, size_t rawCapacity,
                            uint8_t* out, size_t outCapacity) {
    const size_t rawLength = BuildSarWritePacket(chunk, n, flag, raw, rawCapacity);
    return rawLength == 0 ? 0 : EscapeSarPacket(raw, rawLength, out, outCapacity);
}

size_t BuildSarReadRequest(uint16_t bytesReceived, uint8_t* out, size_t capacity) {
    if (capacity < kSarReadRequestSize) return 0;
    PutPacketHeader(out, kSarPacketRead);
    PutU16(out + 12, bytesReceived);
    PutU16(out + 14, Crc16X25(out, 14));
    out[16] = kSarEndMark;
    return kSarReadRequestSize;
}

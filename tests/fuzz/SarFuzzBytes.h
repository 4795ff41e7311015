// Messages of the SAR data protocol put together from the codec's own
// builders (headers, CRC, escaping), for the fuzz target's seeds and its
// round trips. Plain bytes, native build: no platform header.
#pragma once

#include "SarCrc.h"
#include "SarPacket.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sarfuzz {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Escapes every byte of the logical message and ends it with the end mark.
inline Bytes EscapeWithEndMark(Bytes logical) {
    logical.push_back(kSarEndMark);
    Bytes out(2 * logical.size());
    out.resize(EscapeSarPacket(logical.data(), logical.size(), out.data(), out.size()));
    return out;
}

// Bytes 0 to 11 of the codec's read request and write packet: the packet id at 4.
inline Bytes ReadPacketHeader() {
    uint8_t request[kSarReadRequestSize];
    BuildSarReadRequest(0, request, sizeof(request));
    return Bytes(request, request + 12);
}

inline Bytes WritePacketHeader() {
    uint8_t raw[kSarRawPacketBufferSize];
    BuildSarWritePacket(nullptr, 0, 0, raw, sizeof(raw));
    return Bytes(raw, raw + 12);
}

// A data frame as a modem sends it: header, count at 14, remaining at 16,
// data and CRC, every byte escaped, then the end mark.
inline Bytes DataFrame(const uint8_t* data, size_t length, uint16_t count, int32_t remaining) {
    Bytes logical = ReadPacketHeader();
    PutU16(logical, 0);
    PutU16(logical, count);
    const uint32_t r = static_cast<uint32_t>(remaining);
    PutU16(logical, static_cast<uint16_t>(r));
    PutU16(logical, static_cast<uint16_t>(r >> 16));
    logical.insert(logical.end(), data, data + length);
    PutU16(logical, Crc16X25(logical.data(), logical.size()));
    return EscapeWithEndMark(logical);
}

// A write acknowledgement: u16 at 10, the body from 12, then the CRC of
// everything before it and the end mark, read raw.
inline Bytes Acknowledgement(uint16_t at10, const uint8_t* body, size_t length) {
    Bytes ack = WritePacketHeader();
    ack[10] = static_cast<uint8_t>(at10);
    ack[11] = static_cast<uint8_t>(at10 >> 8);
    ack.insert(ack.end(), body, body + length);
    PutU16(ack, Crc16X25(ack.data(), ack.size()));
    ack.push_back(kSarEndMark);
    return ack;
}

// An escaped SAR_PKT_WRITE packet, or empty when the codec refuses it.
inline Bytes WritePacket(const uint8_t* chunk, uint16_t n, uint8_t flag) {
    uint8_t raw[kSarRawPacketBufferSize];
    Bytes out(kSarEscapedPacketBufferSize);
    out.resize(EncodeSarWritePacket(chunk, n, flag, raw, sizeof(raw), out.data(), out.size()));
    return out;
}

}  // namespace sarfuzz

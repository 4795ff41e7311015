// Bytes that the library sends: command payloads, SAR data write packets
// (chunked, CRC-checked, escaped) and read requests. All fields little-endian.
// Plain bytes in, plain bytes out: no platform header here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Device-service command ids.
constexpr uint32_t MBIM_CID_MS_SAR_CONFIG = 1;
constexpr uint32_t CID_SAR_VALUE = 2;
constexpr uint32_t CID_SAR_ENABLE = 3;
constexpr uint32_t CID_SAR_VERSION = 4;
constexpr uint32_t CID_DEVICE_ROOT = 5;

// Packet ids of the SAR data protocol carried by CID_SAR_VALUE.
constexpr uint16_t kSarPacketRead = 631;
constexpr uint16_t kSarPacketWrite = 632;

constexpr uint8_t kSarEndMark = 0x7E;
constexpr uint8_t kSarEscape = 0x7D;
constexpr uint8_t kSarEscapedEndMark = 0x5E;  // 7D 5E stands for 7E
constexpr uint8_t kSarEscapedEscape = 0x5D;   // 7D 5D stands for 7D

constexpr size_t kSarChunkSize = 500;
constexpr size_t kSarWriteHeaderSize = 15;
// Header, chunk, CRC and end mark of the longest chunk fit in the raw scratch buffer.
constexpr size_t kSarRawPacketBufferSize = 600;
// Bytes 0 to 11 of a write packet never need escaping; the chunk length, flag,
// 500 data bytes and the CRC (505 bytes) may all double; then the end mark.
constexpr size_t kSarEscapedPacketBufferSize = 12 + 2 * 505 + 1;
constexpr size_t kSarReadRequestSize = 17;
constexpr size_t kSarConfigPayloadSize = 28;

// Payloads of the plain commands.
std::vector<uint8_t> SarEnablePayload(uint8_t enable);                      // 00 11 on, 00 22 off
std::vector<uint8_t> SarVersionPayload(int32_t tableIndex, int32_t tableCrc);  // u16 index, u16 CRC
std::vector<uint8_t> DeviceRootPayload();                                   // 00 11
// SarConfigPayload as this library fills it: device-controlled, back-off on,
// one state for all antennas with the given back-off index.
std::vector<uint8_t> SarConfigPayload(int32_t backoffIndex);

// One packet of a SAR data write.
struct SarWriteChunk {
    size_t offset;    // into the caller's data
    uint16_t length;  // 0 to 500
    uint8_t flag;     // 0 for the first packet of a write, 1 for the others
};
// The packets of a write of length bytes: one (possibly empty) packet up to
// 500 bytes, else 500-byte chunks with a shorter last one.
std::vector<SarWriteChunk> PlanSarWrite(size_t length);

// The unescaped SAR_PKT_WRITE packet: header, chunk, CRC of everything before
// it, end mark. Returns its length (18 + n), or 0 when n > 500 or it does not fit.
size_t BuildSarWritePacket(const uint8_t* chunk, uint16_t n, uint8_t flag, uint8_t* raw, size_t capacity);

// Escapes every byte but the last (7E -> 7D 5E, 7D -> 7D 5D) and appends the
// last one as it stands. Returns the escaped length, or 0, writing nothing past
// capacity, when it does not fit.
size_t EscapeSarPacket(const uint8_t* raw, size_t length, uint8_t* out, size_t capacity);

// BuildSarWritePacket then EscapeSarPacket through the caller's scratch buffer.
size_t EncodeSarWritePacket(const uint8_t* chunk, uint16_t n, uint8_t flag, uint8_t* raw, size_t rawCapacity,
                            uint8_t* out, size_t outCapacity);

// The 17-byte SAR_PKT_READ request (sent unescaped); returns 17, or 0 when it does not fit.
size_t BuildSarReadRequest(uint16_t bytesReceived, uint8_t* out, size_t capacity);

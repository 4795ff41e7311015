// The simulated modem's side of the wire: CRC-16/X-25, 7E/7D escaping, the
// vendor SAR data packets (631 read, 632 write), the MS SAR configuration and
// transmission-status layouts and the diag replies. Pure functions on bytes;
// every reader checks its lengths first.
//
// This is the far end of the product's encoder and is written apart from it on
// purpose: a shared mistake would pass unnoticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simcodec {

using Bytes = std::vector<uint8_t>;

// Little-endian field access; readers return false when the field lies past the end.
bool ReadU16(const Bytes& b, size_t offset, uint16_t& value);
bool ReadU32(const Bytes& b, size_t offset, uint32_t& value);
void PutU16(Bytes& b, uint16_t value);
void PutU32(Bytes& b, uint32_t value);

// Reflected polynomial 0x8408, initial 0xFFFF, complemented result (check value
// 0x906E for "123456789").
uint16_t Crc16X25(const uint8_t* data, size_t length);

// 7E -> 7D 5E, 7D -> 7D 5D.
Bytes Escape(const Bytes& logical);
// The inverse; false for a lone trailing 7D, a 7D followed by anything but 5D/5E,
// or a bare 7E (a frame boundary inside the frame).
bool Unescape(const uint8_t* raw, size_t length, Bytes& logical);

// The diag service's packet header: 4B 0B 24 00, u32 packet id, 00 00 B3 73.
constexpr uint16_t kPacketRead = 631;
constexpr uint16_t kPacketWrite = 632;
constexpr uint8_t kEndMark = 0x7E;

// The u16 at raw offset 4 (the packet id), 0 when the message is shorter.
uint16_t PacketKind(const Bytes& raw);

// A SAR data write packet (escaped on the wire, end mark last).
struct WritePacket {
    bool append = false;  // flag at offset 14: 0 starts a new image, 1 appends
    Bytes data;
};
enum class PacketCheck { Ok, Malformed, BadCrc };
PacketCheck ParseWritePacket(const Bytes& raw, WritePacket& packet);
// The acknowledgement of a good write packet (sent raw, not escaped): 19 bytes,
// u16 632 at 4, u16 2 at 10, u16 chunk length at 12, CRC of bytes 0..15 at 16, 7E.
Bytes BuildWriteAck(uint16_t chunkLength);

// A SAR data read request: 17 bytes, u16 bytes received so far at 12, CRC of
// 0..13 at 14, 7E. Accepted raw (as the host sends it) or escaped.
PacketCheck ParseReadRequest(const Bytes& raw, uint16_t& received);
// One data frame: u16 at 14 = bytes in the frame, i32 at 16 = bytes remaining
// after it, the data, CRC of everything before it; all of that escaped, then 7E.
Bytes BuildDataFrame(const uint8_t* data, uint16_t length, int32_t remaining);

// MS SAR configuration, kept by the modem as plain states.
struct SarState {
    uint32_t antennaIndex = 0;
    uint32_t backOffIndex = 0;
};
struct SarConfig {
    uint32_t mode = 0;           // 0 device-controlled, 1 OS-controlled
    uint32_t backOffStatus = 0;  // 0 disabled, 1 enabled
    uint32_t wifiIntegration = 0;
    std::vector<SarState> states;
};
constexpr size_t kMaxSarStates = 16;
// The set payload: mode, back-off status, element count, (offset, size) pairs,
// states at their offsets. False when any field or state lies outside the
// payload, a state is shorter than 8 bytes, mode or status is not 0/1, or there
// are more than kMaxSarStates states.
bool ParseSarConfigPayload(const Bytes& payload, SarConfig& config);
Bytes BuildSarConfigPayload(const SarConfig& config);
// The reply: mode, back-off status, wifi integration, element count, pairs
// (offsets from the reply's first byte), states; 32 bytes for one state.
Bytes BuildSarConfigReply(const SarConfig& config);

// MS SAR transmission status: set {u32 enable, u32 hysteresis s}; reply and
// notification {u32 enable, u32 transmitting, u32 hysteresis}.
bool ParseTransmissionSet(const Bytes& payload, uint32_t& enable, uint32_t& hysteresis);
Bytes BuildTransmissionStatus(uint32_t enable, uint32_t transmitting, uint32_t hysteresis);

// Diag enable: set payload 00 11 (enable) or 00 22 (disable); query reply u32 flag.
bool ParseEnableSet(const Bytes& payload, bool& enable);
// Diag version: set {u16 table index, u16 CRC}; query reply 6 bytes, the index
// big-endian in bytes 0..1 (so byte 1 is its low byte), u16 CRC at 4.
bool ParseVersionSet(const Bytes& payload, uint16_t& tableIndex, uint16_t& tableCrc);
Bytes BuildVersionReply(uint16_t tableIndex, uint16_t tableCrc);
// Device root: set payload 00 11.
bool IsDeviceRootSet(const Bytes& payload);

}  // namespace simcodec

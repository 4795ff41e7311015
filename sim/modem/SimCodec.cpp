#include "SimCodec.h"

namespace simcodec {

namespace {
const uint8_t kMagic[4] = {0x4B, 0x0B, 0x24, 0x00};
const uint8_t kTail[4] = {0x00, 0x00, 0xB3, 0x73};
constexpr size_t kHeaderSize = 12;  // magic, packet id, tail

void PutHeader(Bytes& b, uint16_t kind, const uint8_t tail[4]) {
    b.insert(b.end(), kMagic, kMagic + 4);
    PutU32(b, kind);
    b.insert(b.end(), tail, tail + 4);
}

bool HasHeader(const Bytes& b, uint16_t kind) {
    if (b.size() < kHeaderSize) return false;
    uint32_t id = 0;
    ReadU32(b, 4, id);
    for (int i = 0; i < 4; ++i)
        if (b[i] != kMagic[i] || b[8 + i] != kTail[i]) return false;
    return id == kind;
}

// The logical packet of a raw message that ends with the end mark.
bool Unframe(const Bytes& raw, Bytes& logical) {
    if (raw.size() < 2 || raw.back() != kEndMark) return false;
    return Unescape(raw.data(), raw.size() - 1, logical);
}
}  // namespace

bool ReadU16(const Bytes& b, size_t offset, uint16_t& value) {
    if (offset > b.size() || b.size() - offset < 2) return false;
    value = static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
    return true;
}

bool ReadU32(const Bytes& b, size_t offset, uint32_t& value) {
    if (offset > b.size() || b.size() - offset < 4) return false;
    value = static_cast<uint32_t>(b[offset]) | (static_cast<uint32_t>(b[offset + 1]) << 8) |
            (static_cast<uint32_t>(b[offset + 2]) << 16) | (static_cast<uint32_t>(b[offset + 3]) << 24);
    return true;
}

void PutU16(Bytes& b, uint16_t value) {
    b.push_back(static_cast<uint8_t>(value));
    b.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(Bytes& b, uint32_t value) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint16_t Crc16X25(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

Bytes Escape(const Bytes& logical) {
    Bytes raw;
    raw.reserve(logical.size() + logical.size() / 8 + 2);
    for (uint8_t byte : logical) {
        if (byte == 0x7E || byte == 0x7D) {
            raw.push_back(0x7D);
            raw.push_back(static_cast<uint8_t>(byte ^ 0x20));
        } else {
            raw.push_back(byte);
        }
    }
    return raw;
}

bool Unescape(const uint8_t* raw, size_t length, Bytes& logical) {
    logical.clear();
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = raw[i];
        if (byte == kEndMark) return false;
        if (byte == 0x7D) {
            if (i + 1 >= length || (raw[i + 1] != 0x5D && raw[i + 1] != 0x5E)) return false;
            logical.push_back(static_cast<uint8_t>(raw[++i] ^ 0x20));
        } else {
            logical.push_back(byte);
        }
    }
    return true;
}

uint16_t PacketKind(const Bytes& raw) {
    uint16_t kind = 0;
    return ReadU16(raw, 4, kind) ? kind : 0;
}

PacketCheck ParseWritePacket(const Bytes& raw, WritePacket& packet) {
    Bytes logical;
    if (!Unframe(raw, logical) || !HasHeader(logical, kPacketWrite)) return PacketCheck::Malformed;
    // header, u16 length, flag, data, u16 CRC
    uint16_t length = 0;
    if (!ReadU16(logical, 12, length) || logical.size() != 17u + length || logical[14] > 1) return PacketCheck::Malformed;
    uint16_t crc = 0;
    ReadU16(logical, 15u + length, crc);
    if (Crc16X25(logical.data(), 15u + length) != crc) return PacketCheck::BadCrc;
    packet.append = logical[14] == 1;
    packet.data.assign(logical.begin() + 15, logical.begin() + 15 + length);
    return PacketCheck::Ok;
}

Bytes BuildWriteAck(uint16_t chunkLength) {
    static const uint8_t ackTail[4] = {0x00, 0x00, 0x02, 0x00};  // u16 2 at offset 10: accepted
    Bytes b;
    PutHeader(b, kPacketWrite, ackTail);
    PutU16(b, chunkLength);
    PutU16(b, 0);
    PutU16(b, Crc16X25(b.data(), b.size()));
    b.push_back(kEndMark);
    return b;
}

PacketCheck ParseReadRequest(const Bytes& raw, uint16_t& received) {
    Bytes logical;
    if (raw.size() == 17 && raw.back() == kEndMark) {
        logical.assign(raw.begin(), raw.end() - 1);
    } else if (!Unframe(raw, logical)) {
        return PacketCheck::Malformed;
    }
    if (logical.size() != 16 || !HasHeader(logical, kPacketRead)) return PacketCheck::Malformed;
    uint16_t crc = 0;
    ReadU16(logical, 12, received);
    ReadU16(logical, 14, crc);
    return Crc16X25(logical.data(), 14) == crc ? PacketCheck::Ok : PacketCheck::BadCrc;
}

Bytes BuildDataFrame(const uint8_t* data, uint16_t length, int32_t remaining) {
    Bytes logical;
    PutHeader(logical, kPacketRead, kTail);
    PutU16(logical, 0);
    PutU16(logical, length);
    PutU32(logical, static_cast<uint32_t>(remaining));
    logical.insert(logical.end(), data, data + length);
    PutU16(logical, Crc16X25(logical.data(), logical.size()));
    Bytes raw = Escape(logical);
    raw.push_back(kEndMark);
    return raw;
}

bool ParseSarConfigPayload(const Bytes& payload, SarConfig& config) {
    uint32_t mode = 0, status = 0, count = 0;
    if (!ReadU32(payload, 0, mode) || !ReadU32(payload, 4, status) || !ReadU32(payload, 8, count)) return false;
    if (mode > 1 || status > 1 || count > kMaxSarStates) return false;
    SarConfig parsed;
    parsed.mode = mode;
    parsed.backOffStatus = status;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset = 0, size = 0;
        if (!ReadU32(payload, 12 + 8 * i, offset) || !ReadU32(payload, 16 + 8 * i, size) || size < 8) return false;
        SarState state;
        if (size > payload.size() || offset > payload.size() - size || !ReadU32(payload, offset, state.antennaIndex) ||
            !ReadU32(payload, offset + 4, state.backOffIndex))
            return false;
        parsed.states.push_back(state);
    }
    config = parsed;
    return true;
}

Bytes BuildSarConfigPayload(const SarConfig& config) {
    Bytes b;
    PutU32(b, config.mode);
    PutU32(b, config.backOffStatus);
    PutU32(b, static_cast<uint32_t>(config.states.size()));
    uint32_t first = static_cast<uint32_t>(12 + 8 * config.states.size());
    for (size_t i = 0; i < config.states.size(); ++i) {
        PutU32(b, first + static_cast<uint32_t>(8 * i));
        PutU32(b, 8);
    }
    for (const SarState& s : config.states) {
        PutU32(b, s.antennaIndex);
        PutU32(b, s.backOffIndex);
    }
    return b;
}

Bytes BuildSarConfigReply(const SarConfig& config) {
    Bytes b;
    PutU32(b, config.mode);
    PutU32(b, config.backOffStatus);
    PutU32(b, config.wifiIntegration);
    PutU32(b, static_cast<uint32_t>(config.states.size()));
    uint32_t first = static_cast<uint32_t>(16 + 8 * config.states.size());
    for (size_t i = 0; i < config.states.size(); ++i) {
        PutU32(b, first + static_cast<uint32_t>(8 * i));
        PutU32(b, 8);
    }
    for (const SarState& s : config.states) {
        PutU32(b, s.antennaIndex);
        PutU32(b, s.backOffIndex);
    }
    return b;
}

bool ParseTransmissionSet(const Bytes& payload, uint32_t& enable, uint32_t& hysteresis) {
    uint32_t e = 0, h = 0;
    if (payload.size() != 8 || !ReadU32(payload, 0, e) || !ReadU32(payload, 4, h) || e > 1) return false;
    enable = e;
    hysteresis = h;
    return true;
}

Bytes BuildTransmissionStatus(uint32_t enable, uint32_t transmitting, uint32_t hysteresis) {
    Bytes b;
    PutU32(b, enable);
    PutU32(b, transmitting);
    PutU32(b, hysteresis);
    return b;
}

bool ParseEnableSet(const Bytes& payload, bool& enable) {
    if (payload.size() != 2 || payload[0] != 0x00) return false;
    if (payload[1] == 0x11) enable = true;
    else if (payload[1] == 0x22) enable = false;
    else return false;
    return true;
}

bool ParseVersionSet(const Bytes& payload, uint16_t& tableIndex, uint16_t& tableCrc) {
    if (payload.size() != 4) return false;
    ReadU16(payload, 0, tableIndex);
    ReadU16(payload, 2, tableCrc);
    return true;
}

Bytes BuildVersionReply(uint16_t tableIndex, uint16_t tableCrc) {
    Bytes b = {static_cast<uint8_t>(tableIndex >> 8), static_cast<uint8_t>(tableIndex), 0, 0};
    PutU16(b, tableCrc);
    return b;
}

bool IsDeviceRootSet(const Bytes& payload) { return payload.size() == 2 && payload[0] == 0x00 && payload[1] == 0x11; }

}  // namespace simcodec

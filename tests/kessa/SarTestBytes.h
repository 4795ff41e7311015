// Bytes of the SAR data protocol built independently of the library, for the
// tests: a bitwise CRC, data frames and write acknowledgements as a modem sends them.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace sartest {

using Bytes = std::vector<uint8_t>;

// Bit-by-bit CRC-16/X-25.
inline uint16_t ReferenceCrc(const Bytes& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

inline uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

inline void AppendEscaped(Bytes& out, const Bytes& bytes) {
    for (uint8_t b : bytes) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(b == 0x7E ? 0x5E : 0x5D);
        } else {
            out.push_back(b);
        }
    }
}

inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// A data frame: header, count at 14, the remaining field as raw bytes (it may
// hold an escape pair), escaped data, escaped CRC, end mark.
inline Bytes Frame(uint16_t count, const Bytes& remainingRaw, const Bytes& data, const Bytes& crc,
                   bool endMark = true) {
    Bytes f = {0x4B, 0x0B, 0x24, 0x00, 0x77, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73, 0x00, 0x00};
    f.push_back(static_cast<uint8_t>(count));
    f.push_back(static_cast<uint8_t>(count >> 8));
    f.insert(f.end(), remainingRaw.begin(), remainingRaw.end());
    AppendEscaped(f, data);
    AppendEscaped(f, crc);
    if (endMark) f.push_back(0x7E);
    return f;
}

// A data frame carrying data with the modem's counts.
inline Bytes DataFrame(const Bytes& data, int32_t remaining) {
    return Frame(static_cast<uint16_t>(data.size()), Le32(static_cast<uint32_t>(remaining)), data, {0x12, 0x34});
}

// A write acknowledgement, 20 bytes: the u16 at 10, the CRC of bytes 0 to 16 at 17, the end mark.
inline Bytes Ack(uint16_t at10 = 2) {
    Bytes a = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00};
    a.push_back(static_cast<uint8_t>(at10));
    a.push_back(static_cast<uint8_t>(at10 >> 8));
    a.insert(a.end(), {0x00, 0x00, 0x00, 0x00, 0x00});
    const uint16_t crc = ReferenceCrc(a);
    a.push_back(static_cast<uint8_t>(crc));
    a.push_back(static_cast<uint8_t>(crc >> 8));
    a.push_back(0x7E);
    return a;
}

inline Bytes AckWithBadCrc() {
    Bytes a = Ack();
    a[a.size() - 3] ^= 0x01;
    return a;
}

inline void AppendLe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Undoes the escaping of every byte before the end mark.
inline Bytes UnescapeWire(const Bytes& wire) {
    Bytes out;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        if (wire[i] == 0x7D && i + 2 < wire.size()) {
            ++i;
            out.push_back(static_cast<uint8_t>(wire[i] ^ 0x20));
        } else {
            out.push_back(wire[i]);
        }
    }
    return out;
}

// A SAR_PKT_WRITE packet as it goes on the wire: header, chunk length, flag,
// chunk and CRC, all escaped, then the end mark.
inline Bytes WritePacketWire(const Bytes& chunk, uint8_t flag) {
    Bytes raw = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
    AppendLe16(raw, static_cast<uint16_t>(chunk.size()));
    raw.push_back(flag);
    raw.insert(raw.end(), chunk.begin(), chunk.end());
    AppendLe16(raw, ReferenceCrc(raw));
    Bytes wire;
    AppendEscaped(wire, raw);
    wire.push_back(0x7E);
    return wire;
}

// The 17-byte SAR_PKT_READ request, unescaped.
inline Bytes ReadRequestWire(uint16_t received) {
    Bytes r = {0x4B, 0x0B, 0x24, 0x00, 0x77, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
    AppendLe16(r, received);
    AppendLe16(r, ReferenceCrc(r));
    r.push_back(0x7E);
    return r;
}

// A data frame as a modem sends it: every byte before the end mark escaped,
// the count and remaining fields included.
inline Bytes ModemFrame(const Bytes& data, int32_t remaining, uint16_t count) {
    Bytes logical = {0x4B, 0x0B, 0x24, 0x00, 0x77, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73, 0x00, 0x00};
    AppendLe16(logical, count);
    const Bytes r = Le32(static_cast<uint32_t>(remaining));
    logical.insert(logical.end(), r.begin(), r.end());
    logical.insert(logical.end(), data.begin(), data.end());
    AppendLe16(logical, ReferenceCrc(logical));
    Bytes wire;
    AppendEscaped(wire, logical);
    wire.push_back(0x7E);
    return wire;
}

inline Bytes ModemFrame(const Bytes& data, int32_t remaining) {
    return ModemFrame(data, remaining, static_cast<uint16_t>(data.size()));
}

}  // namespace sartest

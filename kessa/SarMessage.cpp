#include "SarMessage.h"

#include "SarCrc.h"
#include "SarPacket.h"

namespace {
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool IsEscapedCode(uint8_t b) { return b == kSarEscapedEndMark || b == kSarEscapedEscape; }

// An escape pair at raw offset i.
bool IsPairAt(const uint8_t* raw, size_t length, size_t i) {
    return i + 1 < length && raw[i] == kSarEscape && IsEscapedCode(raw[i + 1]);
}

const size_t kSarFrameCountOffset = 14;      // logical offsets
const size_t kSarFrameRemainingOffset = 16;
const size_t kSarFrameFieldsEnd = 20;
}  // namespace

SarMessageKind ClassifySarMessage(const uint8_t* raw, size_t length) {
    if (raw == nullptr || length <= 16) return SarMessageKind::Ignored;
    switch (GetU16(raw + 4)) {
        case kSarPacketRead:
            return SarMessageKind::DataFrame;
        case kSarPacketWrite:
            return SarMessageKind::WriteAck;
        default:
            return SarMessageKind::Ignored;
    }
}

bool ReadSarFrameFields(const uint8_t* raw, size_t length, SarFrameFields& fields) {
    fields = SarFrameFields();
    if (raw == nullptr) return false;
    // A pair 7D 5D or 7D 5E is one logical byte; a 7D before anything else stands for itself.
    uint8_t logical[kSarFrameFieldsEnd];
    size_t i = 0;
    for (size_t n = 0; n < kSarFrameFieldsEnd; ++n) {
        if (i >= length) return false;
        if (IsPairAt(raw, length, i)) {
            logical[n] = raw[i + 1] == kSarEscapedEndMark ? kSarEndMark : kSarEscape;
            i += 2;
        } else {
            logical[n] = raw[i++];
        }
    }
    fields.count = GetU16(logical + kSarFrameCountOffset);
    fields.remaining = static_cast<int32_t>(GetU32(logical + kSarFrameRemainingOffset));
    fields.dataStart = i;
    return true;
}

size_t SarFrameCrcSize(const uint8_t* raw, size_t length) {
    if (length < 5) return 2;
    const size_t l = length;
    if (IsEscapedCode(raw[l - 2]) && raw[l - 3] == kSarEscape)
        return IsEscapedCode(raw[l - 4]) && raw[l - 5] == kSarEscape ? 4 : 3;
    return IsEscapedCode(raw[l - 3]) && raw[l - 4] == kSarEscape ? 3 : 2;
}

bool UnescapeSarFrameData(const uint8_t* raw, size_t length, size_t start, size_t count, uint8_t* out,
                          size_t capacity, size_t& written) {
    written = 0;
    const size_t end = start + count;
    if (end > length || end < start) return false;
    for (size_t i = start; i < end;) {
        if (written == capacity) return false;
        if (IsPairAt(raw, length, i) && i + 1 != length - 3) {
            out[written++] = raw[i + 1] == kSarEscapedEndMark ? kSarEndMark : kSarEscape;
            i += 2;
        } else {
            out[written++] = raw[i++];
        }
    }
    return true;
}

SarFrameStatus ParseSarDataFrame(const uint8_t* raw, size_t length, uint8_t* out, size_t capacity,
                                 SarDataFrame& frame) {
    frame = SarDataFrame();
    SarFrameFields fields;
    if (!ReadSarFrameFields(raw, length, fields)) return SarFrameStatus::Malformed;
    const size_t start = fields.dataStart;
    const size_t crcSize = SarFrameCrcSize(raw, length);
    if (start + crcSize + 1 > length) return SarFrameStatus::Malformed;
    const size_t count = length - crcSize - start - 1;

    frame.count = fields.count;
    frame.remaining = fields.remaining;
    frame.complete = raw[length - 1] == kSarEndMark;
    size_t written = 0;
    if (!UnescapeSarFrameData(raw, length, start, count, out, capacity, written)) return SarFrameStatus::TooLarge;
    frame.dataLength = written;
    return SarFrameStatus::Parsed;
}

bool IsValidSarWriteAck(const uint8_t* raw, size_t length) {
    const size_t l = length & 0xFFFF;
    if (raw == nullptr || length < 12 || l < 4) return false;
    return Crc16X25(raw, l - 3) == GetU16(raw + l - 3) && GetU16(raw + 10) == 2;
}

bool ReadSarConfigElementCount(const uint8_t* reply, size_t length, uint32_t& count) {
    if (reply == nullptr || length < 16) return false;
    count = GetU32(reply + 12);
    return true;
}

bool ReadSarConfigBackoffIndex(const uint8_t* reply, size_t length, int32_t& index) {
    if (reply == nullptr || length < 32) return false;
    index = static_cast<int32_t>(GetU32(reply + 28));
    return true;
}

bool ReadSarVersionReply(const uint8_t* reply, size_t length, int32_t& tableIndex, uint16_t& tableCrc) {
    if (reply == nullptr || length < 6) return false;
    tableIndex = reply[1];
    tableCrc = GetU16(reply + 4);
    return true;
}

bool ReadSarQueryValue(const uint8_t* reply, size_t length, uint32_t& value) {
    if (reply == nullptr || length != 4) return false;
    value = GetU32(reply);
    return true;
}

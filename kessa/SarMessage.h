// Bytes that the library receives: SAR data frames and write acknowledgements
// (event notifications of the modem maker's service) and the replies to the
// plain commands. Every reader checks the length before it reads a field.
// Plain bytes in, plain values out: no platform header here.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SarMessageKind { Ignored, DataFrame, WriteAck };

// Only messages longer than 16 bytes count; the u16 at 4 names the packet.
SarMessageKind ClassifySarMessage(const uint8_t* raw, size_t length);

// The fields before a data frame's data, read as logical bytes: a modem
// escapes every byte before the end mark, the two count fields included.
struct SarFrameFields {
    uint16_t count = 0;      // logical u16 at 14
    int32_t remaining = -1;  // logical i32 at 16
    size_t dataStart = 0;    // raw offset after the remaining field's four logical bytes
};

// False when the frame ends before its 20th logical byte.
bool ReadSarFrameFields(const uint8_t* raw, size_t length, SarFrameFields& fields);

// Raw size of a data frame's CRC (2 to 4), read from the end of the frame.
size_t SarFrameCrcSize(const uint8_t* raw, size_t length);

// Un-escapes count raw bytes from start into out. A pair whose second byte
// would be at raw offset length-3 is not joined: its 7D is copied alone.
// False, with nothing written past capacity, when the data do not fit.
bool UnescapeSarFrameData(const uint8_t* raw, size_t length, size_t start, size_t count, uint8_t* out,
                          size_t capacity, size_t& written);

struct SarDataFrame {
    size_t dataLength = 0;   // un-escaped data bytes written to the caller's buffer
    uint16_t count = 0;      // logical u16 at 14: bytes to add to the read's received count
    int32_t remaining = -1;  // logical i32 at 16: bytes the modem still has to send
    bool complete = false;   // the last raw byte is the end mark
};

enum class SarFrameStatus {
    Malformed,  // too short for its fields, or no room for data and CRC
    TooLarge,   // the data do not fit the caller's buffer; nothing written past it
    Parsed
};

// A data frame (ClassifySarMessage gave DataFrame). The frame's CRC is not checked.
SarFrameStatus ParseSarDataFrame(const uint8_t* raw, size_t length, uint8_t* out, size_t capacity,
                                 SarDataFrame& frame);

// A write acknowledgement, read raw: the CRC of bytes 0 to L-4 equals the u16 at
// L-3 (L the length modulo 65536) and the u16 at 10 is 2.
bool IsValidSarWriteAck(const uint8_t* raw, size_t length);

// Replies to commands. Each is false when the reply is too short for its field.
bool ReadSarConfigElementCount(const uint8_t* reply, size_t length, uint32_t& count);  // u32 at 12
bool ReadSarConfigBackoffIndex(const uint8_t* reply, size_t length, int32_t& index);   // u32 at 28
// At least 6 bytes: byte 1 the table index, u16 at 4 the table CRC.
bool ReadSarVersionReply(const uint8_t* reply, size_t length, int32_t& tableIndex, uint16_t& tableCrc);
// Exactly 4 bytes: the u32 value.
bool ReadSarQueryValue(const uint8_t* reply, size_t length, uint32_t& value);

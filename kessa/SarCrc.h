// CRC-16/X-25 of the SAR data protocol and the SAR file check built on it.
// Plain bytes in, plain values out: no platform header here.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint16_t Crc16X25Table[256];

// Initial value 0xFFFF, result complemented; "123456789" gives 0x906E.
uint16_t Crc16X25(const uint8_t* data, size_t length);

// What the file check reports for data it cannot cover (null, or shorter than 4 bytes).
constexpr uint16_t kSarNoFileCrc = 0xFFFB;

// The CRC of the first length-3 bytes, or kSarNoFileCrc.
uint16_t SarFileCrc(const uint8_t* data, uint16_t length);

// Whether two SAR files carry the same check (two uncheckable inputs match).
bool SarFilesMatch(const uint8_t* a, uint16_t lengthA, const uint8_t* b, uint16_t lengthB);

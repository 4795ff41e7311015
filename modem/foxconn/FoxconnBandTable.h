// The Foxconn module's SAR band table (one copy per platform family) and the
// device-management requests that read and write one of its rows. Pure data and
// byte layouts: nothing here calls the platform.
#pragma once

#include <cstddef>
#include <cstdint>

enum : size_t { FOXCONN_TBL_ROWS = 181 };

enum : uint32_t {
    FOXCONN_TECH_WCDMA = 1,
    FOXCONN_TECH_LTE = 2,
    FOXCONN_TECH_SA = 3,    // band2 is the second band of the combination
    FOXCONN_TECH_ENDC = 4,  // band2 is the second band of the combination
    FOXCONN_TECH_NSA = 5,
};

// One row as the table stores it: 10 bytes, little-endian, no padding.
#pragma pack(push, 1)
struct FoxconnBandRow {
    uint32_t tech;
    uint8_t band;
    uint8_t band2;
    uint16_t value1;  // tenths
    uint16_t value2;  // tenths
};
#pragma pack(pop)
static_assert(sizeof(FoxconnBandRow) == 10, "a band table row is 10 packed bytes");

extern const FoxconnBandRow foxconn_tbl_lumo[FOXCONN_TBL_ROWS];
extern const FoxconnBandRow foxconn_tbl_dovra[FOXCONN_TBL_ROWS];
// Indexed by tech - 1; NUL-padded fields of 10 characters.
extern const char foxconn_tech_names[5][10];

// The copy for a platform: Dovra only when the machine is not Lumo and is Dovra,
// Lumo otherwise (also when neither flag is set).
const FoxconnBandRow* FoxconnSelectTable(bool lumoPlatform, bool dovraPlatform);

// The name that log lines print before a row's band; "" for an unknown tech.
const char* FoxconnTechName(uint32_t tech);

// Requests are TLV elements (type u8, length u16 LE, value). Offsets of the
// request that both reading and writing build on.
enum : size_t {
    FOXCONN_TLV_TECH_OFFSET = 0,      // 01 01 00 tech
    FOXCONN_TLV_BAND_OFFSET = 4,      // 02 01 00 band
    FOXCONN_TLV_RESERVED_OFFSET = 8,  // 03 02 00 FF FF
    FOXCONN_TLV_BAND2_OFFSET = 13,    // 04 01 00 band2
    FOXCONN_TLV_VALUES_OFFSET = 17,   // 07 05 00 count v1lo v1hi v2lo v2hi
    FOXCONN_READ_REQUEST_SHORT = 13,  // tech, band, reserved
    FOXCONN_READ_REQUEST_LONG = 17,   // ... and band2, for the combinations
    FOXCONN_WRITE_VALUE_COUNT = 2,
    FOXCONN_WRITE_REQUEST_SIZE = 2 * FOXCONN_WRITE_VALUE_COUNT + 21,
    FOXCONN_REQUEST_MAX = FOXCONN_WRITE_REQUEST_SIZE,
    // The module's two values in a read response, u16 LE each.
    FOXCONN_RESPONSE_VALUE1_OFFSET = 10,
    FOXCONN_RESPONSE_VALUE2_OFFSET = 12,
    FOXCONN_RESPONSE_MIN = FOXCONN_RESPONSE_VALUE2_OFFSET + 2,
};

// Whether a row's requests carry band2 (the SA and EN-DC combinations).
bool FoxconnRowHasBand2(const FoxconnBandRow& row);

// The read request of a row into request (at least FOXCONN_REQUEST_MAX bytes);
// returns its length, 13 or 17.
size_t FoxconnBuildReadRequest(const FoxconnBandRow& row, uint8_t* request);
// The write request of a row; returns its length, 25.
size_t FoxconnBuildWriteRequest(const FoxconnBandRow& row, uint8_t* request);

// The module's two values from a read response of received bytes; false when
// the response is too short to hold them.
bool FoxconnParseReadResponse(const uint8_t* response, size_t received, uint16_t& value1, uint16_t& value2);

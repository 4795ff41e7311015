// Byte layouts and decisions of the Foxconn path that need no library or platform.
#include <gtest/gtest.h>

#include "CWWANFoxconn.h"
#include "EnumerateGobiDeviceIds.h"
#include "FoxconnBandTable.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::string Hex(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        char part[4];
        std::snprintf(part, sizeof(part), i ? " %02x" : "%02x", bytes[i]);
        text += part;
    }
    return text;
}

struct RequestCase {
    const char* what;
    FoxconnBandRow row;
    bool write;
    const char* bytes;
};

const RequestCase kRequestCases[] = {
    {"LTE read stops after the reserved element", {2, 3, 0, 240, 180}, false,
     "01 01 00 02 02 01 00 03 03 02 00 ff ff"},
    {"NSA read has no band2 either", {5, 78, 0, 270, 270}, false, "01 01 00 05 02 01 00 4e 03 02 00 ff ff"},
    {"SA read carries band2", {3, 1, 5, 240, 240}, false, "01 01 00 03 02 01 00 01 03 02 00 ff ff 04 01 00 05"},
    {"EN-DC read carries band2", {4, 71, 66, 240, 185}, false,
     "01 01 00 04 02 01 00 47 03 02 00 ff ff 04 01 00 42"},
    {"WCDMA write: band2 0, count 2, values little-endian", {1, 1, 0, 245, 175}, true,
     "01 01 00 01 02 01 00 01 03 02 00 ff ff 04 01 00 00 07 05 00 02 f5 00 af 00"},
    {"values above 255 use the high byte", {5, 41, 0, 270, 270}, true,
     "01 01 00 05 02 01 00 29 03 02 00 ff ff 04 01 00 00 07 05 00 02 0e 01 0e 01"},
    {"EN-DC write", {4, 5, 1, 240, 190}, true,
     "01 01 00 04 02 01 00 05 03 02 00 ff ff 04 01 00 01 07 05 00 02 f0 00 be 00"},
};
}  // namespace

TEST(FoxconnRequests, RowRequestsHaveTheDocumentedBytes) {
    for (const RequestCase& c : kRequestCases) {
        uint8_t request[FOXCONN_REQUEST_MAX];
        std::memset(request, 0xCC, sizeof(request));
        size_t length = c.write ? FoxconnBuildWriteRequest(c.row, request) : FoxconnBuildReadRequest(c.row, request);
        EXPECT_EQ(Hex(request, length), c.bytes) << c.what;
    }
}

TEST(FoxconnRequests, ReadResponseNeedsBothValues) {
    uint8_t response[16] = {};
    response[10] = 0x0e;  // 270
    response[11] = 0x01;
    response[12] = 0xaf;  // 175
    uint16_t value1 = 0, value2 = 0;
    ASSERT_TRUE(FoxconnParseReadResponse(response, 14, value1, value2));
    EXPECT_EQ(value1, 270);
    EXPECT_EQ(value2, 175);

    value1 = value2 = 7;
    EXPECT_FALSE(FoxconnParseReadResponse(response, 13, value1, value2));
    EXPECT_FALSE(FoxconnParseReadResponse(response, 0, value1, value2));
    EXPECT_FALSE(FoxconnParseReadResponse(nullptr, 14, value1, value2));
    EXPECT_EQ(value1, 7);
    EXPECT_EQ(value2, 7);
}

TEST(FoxconnBandTable, PlatformFlagsChooseTheCopy) {
    struct {
        bool lumo, dovra;
        const FoxconnBandRow* expected;
    } cases[] = {
        {false, false, foxconn_tbl_lumo},
        {true, false, foxconn_tbl_lumo},
        {false, true, foxconn_tbl_dovra},
        {true, true, foxconn_tbl_lumo},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FoxconnSelectTable(c.lumo, c.dovra), c.expected) << "lumo " << c.lumo << " dovra " << c.dovra;
}

TEST(FoxconnBandTable, UnknownTechnologyHasAnEmptyName) {
    EXPECT_STREQ(FoxconnTechName(0), "");
    EXPECT_STREQ(FoxconnTechName(6), "");
    EXPECT_STREQ(FoxconnTechName(0xFFFFFFFF), "");
}

TEST(FoxconnPowerValue, TenthsFromLowAndHighByte) {
    EXPECT_FLOAT_EQ(CWWANFoxconn::BytesToPowerValue(0xf5, 0x00), 24.5f);
    EXPECT_FLOAT_EQ(CWWANFoxconn::BytesToPowerValue(0x0e, 0x01), 27.0f);
    EXPECT_FLOAT_EQ(CWWANFoxconn::BytesToPowerValue(0xff, 0xff), 6553.5f);
}

TEST(GobiDeviceIds, AdapterIdFromInterfacePath) {
    const std::wstring kPath =
        L"\\\\?\\PCI#VEN_17CB&DEV_0306&SUBSYS_18061B2D#4&2F8A3E5&0&00E8#{ad498944-762f-11d0-8dcb-00c04fc3358c}"
        L"\\{7A3B91C2-0D4E-4F11-9C55-22AB17E0C3D4}";
    struct {
        const char* what;
        std::wstring path;
        std::wstring manufacturer;
        std::wstring id;
    } cases[] = {
        {"usual path, lower-cased", kPath, L"Qualcomm Technologies, Inc.", L"{7a3b91c2-0d4e-4f11-9c55-22ab17e0c3d4}_1"},
        {"manufacturer in capitals", kPath, L"QUALCOMM", L"{7a3b91c2-0d4e-4f11-9c55-22ab17e0c3d4}_1"},
        {"other manufacturer", kPath, L"Intel Corporation", L""},
        {"no manufacturer text", kPath, L"", L""},
        {"fewer than four '#' parts", L"\\\\?\\pci#ven_17cb#{ad498944}\\{guid}", L"Qualcomm", L""},
        {"fourth part without a second piece", L"a#b#c#{ad498944}", L"Qualcomm", L""},
        {"empty second piece", L"a#b#c#{ad498944}\\", L"Qualcomm", L""},
        {"runs of separators count as one", L"##a##b#c#{ad498944}\\\\{GUID}\\x", L"qualcomm", L"{guid}_1"},
        {"only the fourth part counts", L"a#b#c#d\\e#f\\g", L"qualcomm", L"e_1"},
    };
    for (const auto& c : cases) EXPECT_EQ(LanAdapterDeviceId(c.path, c.manufacturer), c.id) << c.what;
}

// The expected tables as data: line sets against row sets, and the search
// that decides whether a reported table holds a row.
#include <gtest/gtest.h>

#include "CFiboTarvoApi.h"
#include "FiboSarTables.h"
#include "FiboTestSupport.h"

#include <algorithm>

using fibotest::ToVector;

namespace {
// A command line pair by pair: "t,v1,m1,v2,m2" gives "t,v1,m1", "t,v2,m2".
std::vector<std::string> ExpandLines(const std::vector<std::string>& lines) {
    std::vector<std::string> rows;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
            fields.push_back(line.substr(start, comma - start));
        fields.push_back(line.substr(start));
        EXPECT_EQ(fields.size() % 2, 1u) << line;
        for (size_t i = 1; i + 1 < fields.size(); i += 2) rows.push_back(fields[0] + "," + fields[i] + "," + fields[i + 1]);
    }
    return rows;
}

struct TableCase {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> rows;
    size_t expectedLines;
    size_t expectedRows;
};
}  // namespace

TEST(FiboSarTables, EachLineSetExpandsPairByPairToItsRowSet) {
    const TableCase cases[] = {
        {"mode 0", ToVector(fibo_sar_cmd_0, 4), ToVector(fibo_sar_tbl_0, 29), 4, 29},
        {"mode 1", ToVector(fibo_sar_cmd_1, 4), ToVector(fibo_sar_tbl_1, 29), 4, 29},
        {"mode 2", ToVector(fibo_sar_cmd_2, 4), ToVector(fibo_sar_tbl_2, 29), 4, 29},
        {"L850", ToVector(fibo_sar_cmd_l850, 6), ToVector(fibo_sar_tbl_l850, 23), 6, 23},
        {"mode 0, second copy", ToVector(FiboSarCopy::fibo_sar_cmd_0, 4), ToVector(FiboSarCopy::fibo_sar_tbl_0, 29), 4,
         29},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.lines.size(), c.expectedLines);
        EXPECT_EQ(c.rows.size(), c.expectedRows);
        EXPECT_EQ(ExpandLines(c.lines), c.rows);
        for (const std::string& line : c.lines) EXPECT_LT(line.size(), FIBO_TEXT_SIZE);
    }
}

TEST(FiboSarTables, SetsHoldTheirKnownValues) {
    // Modes 1 and 2 are one table; the second mode-0 copy is the first one.
    EXPECT_EQ(ToVector(fibo_sar_tbl_1, 29), ToVector(fibo_sar_tbl_2, 29));
    EXPECT_EQ(ToVector(fibo_sar_cmd_1, 4), ToVector(fibo_sar_cmd_2, 4));
    EXPECT_EQ(ToVector(FiboSarCopy::fibo_sar_tbl_0, 29), ToVector(fibo_sar_tbl_0, 29));
    EXPECT_EQ(ToVector(FiboSarCopy::fibo_sar_cmd_0, 4), ToVector(fibo_sar_cmd_0, 4));

    EXPECT_EQ(fibo_sar_tbl_2[0], "1,205,\"0x1\"");
    EXPECT_EQ(fibo_sar_tbl_0[28], "2,130,\"0x20000000000000000\"");
    EXPECT_EQ(fibo_sar_tbl_l850[22], "2,175,\"0x20000000000000000\"");
    EXPECT_EQ(fibo_sar_cmd_l850[5], "2,160,\"0x10000000000\",175,\"0x20000000000000000\"");
    EXPECT_EQ(fibo_sar_cmd_2[2].size(), 160u);

    // The L850 set keeps the mode-2 band order and leaves six bands out.
    std::vector<std::string> l850Bands, mode2Bands;
    auto band = [](const std::string& row) { return row.substr(0, 1) + row.substr(row.find(',', 2)); };
    for (const std::string& row : ToVector(fibo_sar_tbl_l850, 23)) l850Bands.push_back(band(row));
    for (const std::string& row : ToVector(fibo_sar_tbl_2, 29)) mode2Bands.push_back(band(row));
    size_t next = 0;
    for (const std::string& b : l850Bands) {
        auto it = std::find(mode2Bands.begin() + next, mode2Bands.end(), b);
        ASSERT_NE(it, mode2Bands.end()) << b;
        next = static_cast<size_t>(it - mode2Bands.begin()) + 1;
    }
}

TEST(FiboSarTables, ModesChooseTheirSets) {
    struct Case {
        int mode;
        bool l850;
        const std::string* rows;
        size_t rowCount;
        const std::string* lines;
        size_t lineCount;
    };
    const Case cases[] = {
        {0, false, fibo_sar_tbl_0, 29, fibo_sar_cmd_0, 4},     {1, false, fibo_sar_tbl_1, 29, fibo_sar_cmd_1, 4},
        {2, false, fibo_sar_tbl_2, 29, fibo_sar_cmd_2, 4},     {0, true, fibo_sar_tbl_0, 29, fibo_sar_cmd_0, 4},
        {1, true, fibo_sar_tbl_1, 29, fibo_sar_cmd_1, 4},      {2, true, fibo_sar_tbl_l850, 23, fibo_sar_cmd_l850, 6},
        {3, false, nullptr, 0, nullptr, 0},                    {-1, true, nullptr, 0, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.l850 ? " L850" : ""));
        FiboSarSet rows{}, lines{};
        EXPECT_EQ(FiboSarRowsForMode(c.mode, c.l850, rows), c.rows != nullptr);
        EXPECT_EQ(FiboSarLinesForMode(c.mode, c.l850, lines), c.lines != nullptr);
        EXPECT_EQ(rows.items, c.rows);
        EXPECT_EQ(rows.count, c.rowCount);
        EXPECT_EQ(lines.items, c.lines);
        EXPECT_EQ(lines.count, c.lineCount);
    }
}

TEST(FiboSarTables, RowsAreFoundOnlyWhole) {
    const std::string rows[] = {"2,170,\"0x2\"", "2,160,\"0x20000000000000000\""};
    const FiboSarSet set{rows, 2};
    struct Case {
        const char* text;
        std::vector<std::string> missing;
    };
    const Case cases[] = {
        // The closing quote belongs to the row: 0x2 is not a prefix match of 0x2000000.
        {"2,170,\"0x2000000\"", {rows[0], rows[1]}},
        {"x 2,160,\"0x20000000000000000\" y 2,170,\"0x2\" z", {}},
        // The band-66 mask cut to 64 bits is another row.
        {"2,170,\"0x2\"\n2,160,\"0x0000000000000000\"", {rows[1]}},
        {"2,175,\"0x20000000000000000\"\n2,170,\"0x2\"", {rows[1]}},
        {"2,170,\"0X2\"", {rows[0], rows[1]}},
        {"", {rows[0], rows[1]}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FiboSarMissingRows(c.text, set), c.missing);
    }
}

TEST(FiboResultText, EveryCodeHasItsText) {
    const std::pair<int, const char*> cases[] = {
        {0, "FIBO Command SUCCESS"},
        {1, "MBIM tunnel lib is NULL"},
        {2, "MBIM tunnel lib cannot open"},
        {3, "FIBO command send fail"},
        {4, "FIBO invalid command or response error"},
        {5, "FIBO error"},
        {-1, "FIBO error"},
        {1000, "FIBO error"},
    };
    for (const auto& c : cases) EXPECT_EQ(CFiboTarvoApi::GetResultText(c.first), c.second) << c.first;
}

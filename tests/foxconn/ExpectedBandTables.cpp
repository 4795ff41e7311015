#include "ExpectedBandTables.h"

#include <cstdio>
#include <sstream>
#include <string>

namespace {
// "lumo/dovra" or one number for both.
USHORT Pick(const std::string& cell, bool dovra) {
    size_t slash = cell.find('/');
    if (slash == std::string::npos) return static_cast<USHORT>(std::stoi(cell));
    return static_cast<USHORT>(std::stoi(dovra ? cell.substr(slash + 1) : cell.substr(0, slash)));
}

SimCmRow Row(ULONG tech, int band, int band2, USHORT value1, USHORT value2) {
    SimCmRow row = {tech, static_cast<BYTE>(band), static_cast<BYTE>(band2), value1, value2};
    return row;
}

// WCDMA: band and value2; value1 is 245 throughout.
const char kWcdma[] = "1 175/170  2 165/190  4 160  5 185/195  6 185/195  8 200/205  9 205/170  19 185/195";

// LTE: band, value1, value2.
const char kLte[] =
    "1 240 165/175  2 240 165/175  3 240 180/170  4 240 160  5 245 185/190  7 240 155/145  8 245 190/205 "
    "12 245 210/205  13 245 190/185  14 245 190/180  17 245 215/205  18 245 185/190  19 245 185/190 "
    "20 245 230/225  25 240 170/175  26 245 185/190  28 245 230/210  30 230/240 155  34 240 180/190 "
    "38 240 155/175  39 240 205/195  40 240 215/220  41 270 185/175  42 240 220/210  48 220 200 "
    "66 240 160  71 245 225/210";

// NSA bands; 270 and 270 throughout.
const char kNsa[] = "1 2 3 5 7 8 12 20 28 38 41 66 71 77 78 79";

// Pairs: x, y, then value1/value2 of the SA row (band x, band2 y) and of the
// EN-DC row (band y, band2 x).
const char kPairs[] =
    "1 5 240 240 240 190/165  1 8 240 240 240 240  1 28 240 240 240 240  1 41 240 165/175 240 240 "
    "1 77 240 165/175 240 240  1 78 240 165/175 270 270  1 79 240 165/175 240 240 "
    "2 5 240 240 240 190/165  2 12 240 240 240 240/160  2 41 240 155/240 240 240  2 71 240 240 240 240/185 "
    "3 5 240 240 240 190/165  3 20 240 240 240 240  3 28 240 240 240 240/170  3 41 240 180/170 270 240/270 "
    "3 77 240 180/170 240 240  3 78 240 180/170 240/270 240/270  3 79 240 180/170 270 240/270 "
    "5 2 240 170 240 240  5 7 240 170 240 240  5 66 240 170 240 240  5 78 240 170 270 240/270 "
    "7 5 240 240 240 190/165  7 28 240 240 240 240  7 71 240 240 240 240/185  7 78 240 140 240 240 "
    "8 1 240 190/205 240 240  8 3 240 190/205 240 240  8 41 240 190/205 240 240  8 77 240 190/205 240 240 "
    "8 78 240 190/205 270 240/270 "
    "12 2 240 195/190 240 240  12 7 240 195/190 240 240  12 66 240 195/190 240 240 "
    "13 2 240 175/165 240 240  13 66 240 175/165 240 240 "
    "18 77 240 170/190 240 240  18 78 240 170/190 240 240/225 "
    "19 78 240 170/190 240 240/225  19 79 240 170/200 240 240 "
    "20 1 240 240 240 240  20 3 240 240 240 240  20 7 240 240 240 240  20 38 240 240 240 240 "
    "20 78 240 240 240 240 "
    "25 41 240 155/160 240 240  26 41 240 170/175 240 240 "
    "28 3 240 240/210 240 240  28 7 240 240/210 240 240  28 77 240 240/210 240 240  28 78 240 240/210 240 240 "
    "38 78 240 155 240 240  39 41 240 240/150 270 270/150  40 78 240 215/240 240 240 "
    "41 77 240 145/175 240 240  41 78 240 145/175 240 240  41 79 270 165/205 270 240/270 "
    "48 2 240 240/220 240 155/145  48 5 240 240 240 190/165  48 66 240 240 240 155/140 "
    "66 5 240 240 240 190/165  66 12 240 240 240 240/175  66 41 240 145/140 240 240  66 71 240 240 240 200/185 "
    "71 66 240 200/185 240 240";
}  // namespace

std::vector<SimCmRow> ExpectedBandTable(bool dovra) {
    std::vector<SimCmRow> rows;
    std::istringstream wcdma(kWcdma);
    int band;
    std::string value1, value2, value3, value4;
    while (wcdma >> band >> value2) rows.push_back(Row(1, band, 0, 245, Pick(value2, dovra)));
    std::istringstream lte(kLte);
    while (lte >> band >> value1 >> value2) rows.push_back(Row(2, band, 0, Pick(value1, dovra), Pick(value2, dovra)));
    std::istringstream nsa(kNsa);
    while (nsa >> band) rows.push_back(Row(5, band, 0, 270, 270));
    std::istringstream pairs(kPairs);
    int x, y;
    while (pairs >> x >> y >> value1 >> value2 >> value3 >> value4) {
        rows.push_back(Row(3, x, y, Pick(value1, dovra), Pick(value2, dovra)));
        rows.push_back(Row(4, y, x, Pick(value3, dovra), Pick(value4, dovra)));
    }
    return rows;
}

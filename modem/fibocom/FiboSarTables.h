// The SAR tables expected in a Fibocom modem. Each table is a row set, whose
// rows must all occur in the table text that the modem's library reports, and
// the same rows joined into command lines, sent one line at a time to write it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Modes 0, 1 and 2 (modes 1 and 2 hold the same values); the L850 table takes
// the place of mode 2 for the L850 modem.
extern const std::string fibo_sar_tbl_0[29];
extern const std::string fibo_sar_tbl_1[29];
extern const std::string fibo_sar_tbl_2[29];
extern const std::string fibo_sar_tbl_l850[23];
extern const std::string fibo_sar_cmd_0[4];
extern const std::string fibo_sar_cmd_1[4];
extern const std::string fibo_sar_cmd_2[4];
extern const std::string fibo_sar_cmd_l850[6];

// The second definition of the mode-0 set; nothing in the service reads it.
namespace FiboSarCopy {
extern const std::string fibo_sar_tbl_0[29];
extern const std::string fibo_sar_cmd_0[4];
}  // namespace FiboSarCopy

struct FiboSarSet {
    const std::string* items;
    size_t count;
};

// The set a mode uses; l850 selects the L850 table for mode 2. False (and an
// empty set) for a mode that has none.
bool FiboSarRowsForMode(int mode, bool l850, FiboSarSet& set);
bool FiboSarLinesForMode(int mode, bool l850, FiboSarSet& set);

// The rows of the set that do not occur verbatim in the text, in set order.
std::vector<std::string> FiboSarMissingRows(const std::string& text, const FiboSarSet& rows);

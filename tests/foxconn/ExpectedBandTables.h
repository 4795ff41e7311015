// The module band tables the service must write, spelled out here on their own
// (in the groups the product documentation lists them in) so that the test
// compares the product's data against a second, independent copy.
#pragma once

#include "SimConnMgmt.h"

#include <vector>

// 181 rows of the Lumo copy, or of the Dovra copy.
std::vector<SimCmRow> ExpectedBandTable(bool dovra);

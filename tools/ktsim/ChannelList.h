// SPDX-License-Identifier: MIT
// The used-channel list that answers "LISTUSEDCHS DW".
#pragma once

#include "Setup.h"

#include <string>

namespace ktsim {

// Shortest text that reads back as the same double (or float).
std::string formatNumber(double value);
std::string formatFloat(float value);

// One tab-separated list line for a channel, without line end:
//  0 field0, 1 path, 2 number, 3 field3, 4 field4, 5 field5, 6 name,
//  7 field7, 8 unit, 9 "-1" control / "0", 10 "Async" / "SingleValue" /
//  divider, 11 rate, 12 field12, 13 data type, [extra field for data type 12],
//  14 field14, 15 field15, 16 scale2, 17 offset2, 18 scale1, 19 offset1.
// Rates and the factors of a single-precision field are written as floats.
std::string listLine(const Setup& setup, const Channel& channel);

// The whole reply: a header line, one line per channel, "+ETX end list".
std::string listReply(const Setup& setup);

} // namespace ktsim

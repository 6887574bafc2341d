// SPDX-License-Identifier: MIT
#pragma once

// Channel ids of the automation backend from the application's "IndexEx"
// answers; the text form is in ChannelIdText.h.

#include "ChannelIdText.h"
#include "Variant.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ktremote {

// The integers of an "IndexEx" answer (an array of 32-bit integers); none
// when the answer holds no such array. Raises KX_ERR_AUTOMATION_CALL when
// the answer cannot be copied.
std::vector<int32_t> indicesOf(const Variant& indexEx);

} // namespace ktremote

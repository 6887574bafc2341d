// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Heap allocations made by the whole process since it started (this
// benchmark binary replaces the global operator new to count them).
uint64_t allocationCount();

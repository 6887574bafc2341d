// SPDX-License-Identifier: MIT
#pragma once

// Whether the tests run under a user-mode emulator: the 32-bit tree runs
// through qemu-i386 where the kernel refuses 32-bit programs, and
// scripts/test.sh then says so in KTREMOTE_TESTS_EMULATED. The emulator's
// own bookkeeping grows with every new mapping a program makes (about
// 0.5 MiB per test run with large buffers), so resident memory says nothing
// about the program there; threads and descriptors still do.

#include <cstdlib>
#include <cstring>

namespace ktremote::e2e {

inline bool runsUnderEmulator()
{
    const char* flag = std::getenv("KTREMOTE_TESTS_EMULATED");
    return flag != nullptr && *flag != '\0' && std::strcmp(flag, "0") != 0;
}

} // namespace ktremote::e2e

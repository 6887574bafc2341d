// SPDX-License-Identifier: MIT
#pragma once

// The fake application as a local automation server (a program of its own
// that COM starts): the class id under which the tests register it as
// "Kaltrop.App", and the state it starts with.

#include "FakeKaltrop.h"

#include <guiddef.h>

namespace fake {

// {6B1F3C52-8D0E-4C1A-9E57-2A4F0B7D9C31}
constexpr GUID fakeKaltropClassId = {0x6b1f3c52, 0x8d0e, 0x4c1a, {0x9e, 0x57, 0x2a, 0x4f, 0x0b, 0x7d, 0x9c, 0x31}};

// Four used channels: "Speed" 0,0 (synchronous, 4 values waiting), a hidden
// one 0,1, "Events" 0,2 (asynchronous, 2 values with VT_R8 timestamps) and
// "Valve" 1,0 (control, single value 3.25). The application is acquiring.
void setUpServedState(FakeKaltrop& kaltrop);

} // namespace fake

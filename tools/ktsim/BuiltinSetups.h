// Texts of the setups compiled into ktsim.
#pragma once

namespace ktsim::builtin {

// Channels of the default setup that every host can read.
extern const char* const defaultHead;
// Channels of data types that a host must drop (0, 1, 8, 12).
extern const char* const droppedTypes;
// The rest of the default setup.
extern const char* const defaultTail;

} // namespace ktsim::builtin

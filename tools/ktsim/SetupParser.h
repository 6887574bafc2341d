// SPDX-License-Identifier: MIT
// Reading setups: the text format of setup files and the built-in setups.
//
// A setup file is a list of lines; '#' starts a comment, blank lines are
// ignored, and a line that starts with white space continues the channel
// line above it:
//
//   setup <name>                 name shown in logs
//   rate <hz>                    base sample rate (answer to GETSAMPLERATE)
//   decimal-comma yes|no         write conversion factors with ',' in the list
//   channel key=value ...        one channel; keys are listed in docs/ktsim.md
//
// Values containing blanks are written in double quotes ("Motor speed").
#pragma once

#include "Setup.h"

#include <string>
#include <vector>

namespace ktsim {

// Parses setup text; `origin` names the source in error messages.
// Throws SetupError with the line number on any mistake.
Setup parseSetup(const std::string& text, const std::string& origin = "setup");

// Loads "builtin:<name>" or a setup file. Throws SetupError.
Setup loadSetup(const std::string& pathOrBuiltin);

// Names of the built-in setups: "default" (every channel kind, including
// data types a host must drop), "clean" (the same without those),
// "bench64" (64 float32 channels at 10 kHz).
std::vector<std::string> builtinSetupNames();

// The setup text of a built-in setup; throws SetupError for an unknown name.
std::string builtinSetupText(const std::string& name);

} // namespace ktsim

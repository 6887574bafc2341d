// SPDX-License-Identifier: MIT
// The ktcli commands.
#pragma once

#include "Cli.h"

#include <vector>

namespace ktcli {

const std::vector<CommandSpec>& commands();

int runChannels(const Arguments& arguments);
int runState(const Arguments& arguments);
int runLoadSetup(const Arguments& arguments);
int runStop(const Arguments& arguments);
int runStream(const Arguments& arguments);
int runStore(const Arguments& arguments);
int runWrite(const Arguments& arguments);

} // namespace ktcli

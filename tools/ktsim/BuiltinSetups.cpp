// SPDX-License-Identifier: MIT
#include "SetupParser.h"

#include <string>

namespace ktsim {
namespace {

struct BuiltinSetup {
    const char* name;
    const char* text;
};

// The files setups/<name>.kts, copied in by the build (BuiltinSetupTexts.inc
// is generated from them), so that the example files users read and the
// built-in setups are one text.
const BuiltinSetup builtins[] = {
#include "BuiltinSetupTexts.inc"
};

} // namespace

std::vector<std::string> builtinSetupNames()
{
    std::vector<std::string> names;
    for (const BuiltinSetup& setup : builtins)
        names.emplace_back(setup.name);
    return names;
}

std::string builtinSetupText(const std::string& name)
{
    for (const BuiltinSetup& setup : builtins)
        if (name == setup.name)
            return setup.text;
    throw SetupError("no built-in setup named '" + name + "'");
}

} // namespace ktsim

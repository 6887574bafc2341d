#include "BuiltinSetups.h"
#include "SetupParser.h"

#include <cstdio>
#include <string>

namespace ktsim {
namespace builtin {

// Conversion factors are binary fractions, so the host's scaling is exact in
// any floating-point precision and tests can compare decoded values exactly.
const char* const defaultHead = R"(# Every channel kind: sync float and integer channels, async channels with
# timestamps, single values and control channels.
setup default
rate 1000
channel number=1 name=Voltage unit=V path=1;1 kind=sync divider=1 type=float64
    wave=sine amplitude=5 frequency=2
channel number=2 name=Current unit=A path=1;2 kind=sync divider=2 type=float32
    wave=sine amplitude=0.5 frequency=0.5 phase=0.25
channel number=3 name=Pressure unit=bar path=1;3 kind=sync divider=4 type=int16
    scale1=0.0009765625 offset1=0 scale2=2 offset2=-0.5 wave=ramp min=0 max=10 period=4
channel number=4 name=Position unit=mm path=1;4 kind=sync divider=10 type=uint16
    scale1=0.5 wave=counter start=0 step=0.5 wrap=1000
)";

const char* const droppedTypes = R"(# Data types that a host lists but must drop.
channel number=5 name=RawByte unit= path=4;1 kind=sync divider=10 type=0 scale1=1 wave=counter wrap=256
channel number=6 name=Flags unit= path=4;2 kind=sync divider=10 type=1 scale1=1 wave=counter wrap=256
channel number=7 name=Blob unit= path=4;3 kind=sync divider=10 type=8 wave=constant value=0
channel number=8 name=Packed unit= path=4;4 kind=sync divider=10 type=12 wave=constant value=0 extra=12
)";

const char* const defaultTail = R"(channel number=9 name=Speed unit=rpm path=1;5 kind=sync divider=5 type=int32
    scale1=0.125 offset1=-100 wave=sine amplitude=3000 center=1500 frequency=0.2
channel number=10 name=Ticks unit= path=1;6 kind=sync divider=100 type=int64
    wave=counter start=1000000 step=1
channel number=11 name=Temperature unit=degC path=2;1 kind=async rate=20 type=float64
    wave=noise center=21.5 amplitude=0.25 seed=7
channel number=12 name=Events unit= path=2;2 kind=async rate=5 type=int16 scale1=1
    wave=counter
channel number=13 name=Mode unit= path=3;1 kind=single rate=2 type=int32 scale1=1
    wave=counter wrap=4
channel number=14 name=Setpoint unit=V path=3;2 kind=single rate=1 type=float64 control=yes value=1.5
channel number=15 name=Gain unit= path=3;3 kind=sync divider=100 type=float32 control=yes value=1
)";

} // namespace builtin

namespace {

std::string bench64Text()
{
    std::string text = "# 64 float32 channels at 10 kHz, for throughput measurements.\n"
                       "setup bench64\n"
                       "rate 10000\n";
    // Frequencies that divide the rate, so every channel repeats after a
    // whole number of samples and streams from a table.
    const int frequencies[] = {1, 2, 4, 5, 8, 10, 16, 20, 25, 40, 50, 80, 100};
    for (int i = 1; i <= 64; ++i) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "channel number=%d name=F%02d unit=V path=1;%d kind=sync divider=1 type=float32"
                      " wave=sine amplitude=%d frequency=%d\n",
                      i, i, i, i, frequencies[(i - 1) % 13]);
        text += line;
    }
    return text;
}

} // namespace

std::vector<std::string> builtinSetupNames() { return {"default", "clean", "bench64"}; }

std::string builtinSetupText(const std::string& name)
{
    using namespace builtin;
    if (name == "default")
        return std::string(defaultHead) + droppedTypes + defaultTail;
    if (name == "clean") {
        std::string text = std::string(defaultHead) + defaultTail;
        text.replace(text.find("setup default"), 13, "setup clean");
        return text;
    }
    if (name == "bench64")
        return bench64Text();
    throw SetupError("no built-in setup named '" + name + "'");
}

} // namespace ktsim

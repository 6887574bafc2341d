// SPDX-License-Identifier: MIT
// The 38 functions every build of the library exports, as the public
// header declares them: the shared-library tests of each platform compare
// the export table with this set.
#pragma once

#include <set>
#include <string>

namespace ktremote::test {

inline const std::set<std::string> expectedExports = {
    "ktconGetVersion",
    "ktconCreateInstance",
    "ktconDestroyInstance",
    "ktconFreeChannelInstance",
    "ktconInitChannelIdEnum",
    "ktconGetNextChannelIdSize",
    "ktconGetNextChannelId",
    "ktconCreateChannelInstance",
    "ktconConnect",
    "ktconDisconnect",
    "ktconGetChannelCount",
    "ktconChannelGetName",
    "ktconChannelGetNameUtf8",
    "ktconSetAppWindowVisible",
    "ktconChannelSetTransferred",
    "ktconLoadSetup",
    "ktconIsInAqusition",
    "ktconGetState",
    "ktconStartStoring",
    "ktconStopStoring",
    "ktconStopStoringEx",
    "ktconStartMeasurement",
    "ktconStopMeasurement",
    "ktconBeginRead",
    "ktconChannelReadScalarData",
    "ktconChannelReadScalarData_2",
    "ktconChannelReadScalarData_2abs",
    "ktconControlChannelWriteData",
    "ktconEndRead",
    "ktconSetBufferSize",
    "ktconGetSampleRate",
    "ktconGetChannelType",
    "ktconIsChannelControl",
    "ktconGetChUnit",
    "ktconEnumerateChannels",
    "ktconFreeEnumerateChannels",
    "ktconCreateChannelInstanceByName",
    "ktconCreateChannelInstanceByNameUtf8",
};

} // namespace ktremote::test

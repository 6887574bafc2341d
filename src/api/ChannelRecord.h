// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace ktremote {

class KTXInstance;

// Everything the library knows about one channel. Instances keep their
// channel lists as records held by value; a channel handle is a separately
// allocated ChannelInstance, which is a record plus the channel operations.
// The network backend fills a record from one line of the used-channel list,
// the automation backend from the application's channel object.
struct ChannelRecord {
    int32_t ordinal = 0;            // automation: position in the owner's table
    KTXInstance* owner = nullptr;   // the instance that created the handle
    bool transferred = false;       // network: stream this channel's data
    std::string requestedId;        // automation: the id text the handle came from
    std::string listField0;         // network: list field 0, not interpreted
    std::string id;                 // network: "0," + list field 1 (';' -> ',')
    std::string listIndex;          // network: list field 2, number in "CH n"
    bool listField3IsZero = false;  // network: list field 3 == "0"
    std::string listField4;         // network: not interpreted
    std::string name;               // UTF-8
    std::string listField7;         // network: not interpreted
    std::string listField5;         // network: not interpreted
    std::string unit;               // UTF-8
    double baseSampleRate = 0.0;    // automation: the acquisition's rate
    double sampleRate = -1.0;       // -1 until known
    bool isAsync = false;           // samples carry their own timestamps
    bool isSingleValue = false;     // one current value instead of a series
    bool isControl = false;         // the host may write values
    int32_t sampleRateDivider = 0;  // divider of the acquisition rate
    double expectedAsyncRate = 0.0; // expected rate of an asynchronous channel

    // Network list members (see the channel-list parser).
    int32_t dataType = 0;   // sample encoding code
    int32_t sampleSize = 0; // bytes per sample on the wire
    int32_t listField12 = 0;
    int32_t listField14 = 0;
    int32_t listField15 = 0;
    double scale2 = 0.0;
    double offset2 = 0.0;
    double scale1 = 0.0;
    double offset1 = 0.0;
};

} // namespace ktremote

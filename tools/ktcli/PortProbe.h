// SPDX-License-Identifier: MIT
// A plain TCP connection to the application's command port, closed at once:
// tells in well under a second whether anything listens there, where the
// library's connect only gives up after its own, much longer, poll.
#pragma once

#include <chrono>
#include <string>

namespace ktcli {

struct PortProbe {
    enum Outcome {
        Accepted,   // something listens on the port
        Refused,    // every address refused the connection or had no route
        Unanswered, // no answer within the time (a filtered port, a slow link)
        Unresolved  // the host or port name does not resolve
    };
    Outcome outcome = Unanswered;
    // The system's words for the last failure ("Connection refused"); empty
    // for Accepted and Unanswered.
    std::string reason;
};

// Tries every address of `host` and `port` in turn until one accepts, all
// within `limit`.
PortProbe probePort(const std::string& host, const std::string& port, std::chrono::milliseconds limit);

} // namespace ktcli

// SPDX-License-Identifier: MIT
#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>

namespace ktremote {

// Dead-link detection for a connected TCP socket.
//
// A link that dies without a FIN or RST (cable pulled, peer machine switched
// off) is otherwise noticed only after the kernel's retransmission limit,
// about a quarter of an hour, and an idle connection never: nothing probes
// it. With these settings the kernel probes a connection that has been
// silent for `keepAliveIdle`, and gives up on data or probes that stay
// unacknowledged for `unacknowledgedLimit`. The pending read or write then
// fails, which ends the connection like a close by the peer.
//
// A slow but alive peer is never cut off: its kernel acknowledges data and
// probes however long its program takes to answer, so replies may take as
// long as they take.
struct DeadLinkTiming {
    static constexpr std::chrono::seconds keepAliveIdle{5};
    static constexpr std::chrono::seconds keepAliveInterval{1};
    static constexpr int keepAliveProbes = 10;
    static constexpr std::chrono::seconds unacknowledgedLimit{12};
};

// Sets keep-alive and the limit for unacknowledged data on an open socket.
// An option the platform refuses is left as it was: the connection works
// without it, only a dead link is noticed later.
void enableDeadLinkDetection(asio::ip::tcp::socket& socket) noexcept;

} // namespace ktremote

// SPDX-License-Identifier: MIT
// The data connection to a host: connects to the host's data port and sends
// the packets of the transferred channels, paced in real time or (--burst)
// as fast as the host takes them.
#pragma once

#include "Connection.h"
#include "PacketSource.h"

#include <memory>
#include <string>

namespace ktsim {

class Simulator;

class DataStream : public Connection {
public:
    DataStream(Simulator& sim, int number, asio::ip::tcp::endpoint target, std::shared_ptr<const SampleModel> model,
               const std::vector<int>& numbers);

    void start();
    // Sends what is due now; called at every pacing tick.
    void pump();
    // Sends what is due, then closes the connection.
    void finish();

private:
    void connected();
    void written() override;
    void writeFailed(const std::error_code& ec) override;
    void closing() override;
    bool appendPacket(std::vector<std::uint8_t>& bytes, double elapsed);
    std::shared_ptr<DataStream> self() { return std::static_pointer_cast<DataStream>(shared_from_this()); }

    Simulator& simulator;
    int connectionNumber;
    asio::ip::tcp::endpoint targetEndpoint;
    PacketSource source;
    std::unique_ptr<asio::ip::tcp::socket> secondSocket;
    std::vector<std::uint8_t> pending;
    int pendingPackets = 0;
    std::uint64_t acquisitionSeen = 0;
    std::uint64_t virtualPackets = 0;
    double finishElapsed = 0.0;
    bool dataConnected = false;
    bool finishing = false;
    bool pumpPosted = false;
};

} // namespace ktsim

// SPDX-License-Identifier: MIT
// One command connection: frames the received lines, answers them and owns
// the data stream that its STARTTRANSFER asked for.
#pragma once

#include "CommandHandler.h"
#include "Connection.h"
#include "LineFramer.h"

#include <array>
#include <map>
#include <memory>
#include <string>

namespace ktsim {

class DataStream;
class Simulator;

class CommandSession : public Connection, public TransferControl {
public:
    CommandSession(Simulator& sim, int number);

    // Sends the greeting and starts reading commands.
    void start();
    // Moves the data stream on; called at every pacing tick.
    void tick();

    std::string startTransfer(std::uint16_t port, const std::vector<int>& numbers) override;
    void stopTransfer() override;

private:
    void read();
    void received(const std::string& line);
    void reply(const std::string& command, CommandReply reply);
    void written() override;
    void closing() override;
    std::shared_ptr<CommandSession> self() { return std::static_pointer_cast<CommandSession>(shared_from_this()); }

    Simulator& simulator;
    int connectionNumber;
    std::string peerText;
    LineFramer lineFramer;
    CommandHandler commandHandler;
    std::array<char, 4096> readBuffer{};
    std::map<std::string, int> replyCounts;
    std::shared_ptr<DataStream> dataStream;
    bool closeWhenWritten = false;
};

} // namespace ktsim

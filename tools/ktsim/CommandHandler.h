// SPDX-License-Identifier: MIT
// Answers the command lines of one command connection.
#pragma once

#include "Application.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktsim {

// What a command connection does for the data transfer.
class TransferControl {
public:
    virtual ~TransferControl() = default;
    // Connect to the host on `port` and stream the channels `numbers`.
    // Returns why it cannot, or an empty text.
    virtual std::string startTransfer(std::uint16_t port, const std::vector<int>& numbers) = 0;
    // Send what is due, then close the data connection.
    virtual void stopTransfer() = 0;
};

struct CommandReply {
    std::string text;   // the whole reply, ending with "\r\n"
    bool close = false; // close the connection once the reply is sent
};

class CommandHandler {
public:
    CommandHandler(Application& app, TransferControl& transfer);

    // Handles one line, given without its line end. Lines inside a
    // "/STX PREPARETRANSFER" block get no reply until "/ETX".
    std::optional<CommandReply> handle(const std::string& line);

    // The command a line belongs to, for logs and faults: its first word,
    // or PREPARETRANSFER for the lines of a transfer block.
    std::string commandName(const std::string& line) const;

    // Channels named by the last transfer block.
    const std::vector<int>& prepared() const { return preparedNumbers; }

private:
    CommandReply dispatch(const std::string& word, const std::string& rest, bool hasArgument);
    std::optional<CommandReply> blockLine(const std::string& line);
    CommandReply setControlValues(const std::string& rest);

    Application& simApplication;
    TransferControl& transferControl;
    bool insideBlock = false;
    std::vector<int> blockNumbers;
    std::string blockError;
    std::vector<int> preparedNumbers;
};

} // namespace ktsim

// SPDX-License-Identifier: MIT
#include "CommandSession.h"

#include "DataStream.h"
#include "Simulator.h"
#include "Waveform.h"

namespace ktsim {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text)
{
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The first line of a reply, for the log.
std::string firstLine(const std::string& text)
{
    std::size_t end = text.find("\r\n");
    return end == std::string::npos || end + 2 == text.size() ? text : text.substr(0, end + 2) + "...";
}

} // namespace

CommandSession::CommandSession(Simulator& sim, int number)
    : Connection(sim.io(), mixBits(sim.seed(), 0x636d6400ULL + static_cast<std::uint64_t>(number))), simulator(sim),
      connectionNumber(number), commandHandler(sim.app(), *this)
{
}

void CommandSession::start()
{
    std::error_code ec;
    auto remote = connectionSocket.remote_endpoint(ec);
    peerText = ec ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    simulator.log().line("#" + std::to_string(connectionNumber) + " command connection from " + peerText);
    if (!simulator.options().faults.noGreeting)
        send(bytesOf("+OK ktsim ready\r\n"), simulator.options().faults.splitReplies);
    read();
}

void CommandSession::read()
{
    connectionSocket.async_read_some(
        asio::buffer(readBuffer), [self = self()](const std::error_code& ec, std::size_t size) {
            if (self->closed())
                return;
            if (ec) {
                self->simulator.log().line("#" + std::to_string(self->connectionNumber) +
                                           " command connection closed by " + self->peerText +
                                           (ec == asio::error::eof ? "" : ": " + ec.message()));
                self->close();
                return;
            }
            self->lineFramer.feed(self->readBuffer.data(), size);
            bool overlong = false;
            while (auto line = self->lineFramer.next(&overlong)) {
                if (overlong) {
                    self->simulator.log().line("#" + std::to_string(self->connectionNumber) +
                                               " < (line too long, cut)");
                    self->reply("", {"-ERR line too long\r\n", false});
                    continue;
                }
                self->received(*line);
                if (self->closed() || self->closeWhenWritten)
                    return;
            }
            self->read();
        });
}

void CommandSession::received(const std::string& line)
{
    simulator.log().line("#" + std::to_string(connectionNumber) + " < " + Log::printable(line));
    std::string command = commandHandler.commandName(line);
    if (auto reply = commandHandler.handle(line))
        this->reply(command, std::move(*reply));
}

void CommandSession::reply(const std::string& command, CommandReply reply)
{
    const FaultPlan& faults = simulator.options().faults;
    int count = ++replyCounts[command];
    std::string tag = "#" + std::to_string(connectionNumber) + " ";
    for (const CommandTrigger& t : faults.closeOn)
        if (t.matches(command, count)) {
            simulator.log().line(tag + "fault: closing instead of replying to " + command);
            close();
            return;
        }
    for (const CommandTrigger& t : faults.silentOn)
        if (t.matches(command, count)) {
            simulator.log().line(tag + "fault: no reply to " + command);
            return;
        }
    for (const CommandTrigger& t : faults.errorOn)
        if (t.matches(command, count)) {
            simulator.log().line(tag + "fault: error reply to " + command);
            reply.text = "-ERR injected fault\r\n";
        }
    for (const FaultPlan::Extra& extra : faults.extraAfter)
        if (extra.command.empty() || extra.command == command)
            reply.text += extra.bytes;
    simulator.log().line(tag + "> " + Log::printable(firstLine(reply.text)));
    send(bytesOf(reply.text), faults.splitReplies);
    if (reply.close)
        closeWhenWritten = true;
}

void CommandSession::written()
{
    if (closeWhenWritten) {
        simulator.log().line("#" + std::to_string(connectionNumber) + " command connection closed after EXIT");
        close();
    }
}

void CommandSession::closing()
{
    if (dataStream) {
        dataStream->close();
        dataStream.reset();
    }
}

void CommandSession::tick()
{
    if (dataStream)
        dataStream->pump();
}

std::string CommandSession::startTransfer(std::uint16_t port, const std::vector<int>& numbers)
{
    if (dataStream)
        dataStream->close();
    dataStream.reset();
    std::error_code ec;
    asio::ip::address address = connectionSocket.remote_endpoint(ec).address();
    if (ec)
        return "cannot start the transfer: " + ec.message();
    // A host on an IPv4-mapped address listens on IPv4.
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    dataStream = std::make_shared<DataStream>(simulator, connectionNumber, asio::ip::tcp::endpoint(address, port),
                                              simulator.app().model(), numbers);
    simulator.track(dataStream);
    dataStream->start();
    return {};
}

void CommandSession::stopTransfer()
{
    if (dataStream) {
        dataStream->finish();
        dataStream.reset();
    }
}

} // namespace ktsim

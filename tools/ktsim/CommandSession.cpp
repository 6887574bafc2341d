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
    : Connection(sim.io(), mixBits(sim.seed(), 0x636d6400ULL + static_cast<std::uint64_t>(number))), sim_(sim),
      number_(number), handler_(sim.app(), *this)
{
}

void CommandSession::start()
{
    std::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    sim_.log().line("#" + std::to_string(number_) + " command connection from " + peer_);
    if (!sim_.options().faults.noGreeting)
        send(bytesOf("+OK ktsim ready\r\n"), sim_.options().faults.splitReplies);
    read();
}

void CommandSession::read()
{
    socket_.async_read_some(asio::buffer(buffer_), [self = self()](const std::error_code& ec, std::size_t size) {
        if (self->closed())
            return;
        if (ec) {
            self->sim_.log().line("#" + std::to_string(self->number_) + " command connection closed by " + self->peer_ +
                                  (ec == asio::error::eof ? "" : ": " + ec.message()));
            self->close();
            return;
        }
        self->framer_.feed(self->buffer_.data(), size);
        bool overlong = false;
        while (auto line = self->framer_.next(&overlong)) {
            if (overlong) {
                self->sim_.log().line("#" + std::to_string(self->number_) + " < (line too long, cut)");
                self->reply("", {"-ERR line too long\r\n", false});
                continue;
            }
            self->received(*line);
            if (self->closed() || self->closeWhenWritten_)
                return;
        }
        self->read();
    });
}

void CommandSession::received(const std::string& line)
{
    sim_.log().line("#" + std::to_string(number_) + " < " + Log::printable(line));
    std::string command = handler_.commandName(line);
    if (auto reply = handler_.handle(line))
        this->reply(command, std::move(*reply));
}

void CommandSession::reply(const std::string& command, CommandReply reply)
{
    const FaultPlan& faults = sim_.options().faults;
    int count = ++replies_[command];
    std::string tag = "#" + std::to_string(number_) + " ";
    for (const CommandTrigger& t : faults.closeOn)
        if (t.matches(command, count)) {
            sim_.log().line(tag + "fault: closing instead of replying to " + command);
            close();
            return;
        }
    for (const CommandTrigger& t : faults.silentOn)
        if (t.matches(command, count)) {
            sim_.log().line(tag + "fault: no reply to " + command);
            return;
        }
    for (const CommandTrigger& t : faults.errorOn)
        if (t.matches(command, count)) {
            sim_.log().line(tag + "fault: error reply to " + command);
            reply.text = "-ERR injected fault\r\n";
        }
    for (const FaultPlan::Extra& extra : faults.extraAfter)
        if (extra.command.empty() || extra.command == command)
            reply.text += extra.bytes;
    sim_.log().line(tag + "> " + Log::printable(firstLine(reply.text)));
    send(bytesOf(reply.text), faults.splitReplies);
    if (reply.close)
        closeWhenWritten_ = true;
}

void CommandSession::written()
{
    if (closeWhenWritten_) {
        sim_.log().line("#" + std::to_string(number_) + " command connection closed after EXIT");
        close();
    }
}

void CommandSession::closing()
{
    if (stream_) {
        stream_->close();
        stream_.reset();
    }
}

void CommandSession::tick()
{
    if (stream_)
        stream_->pump();
}

std::string CommandSession::startTransfer(std::uint16_t port, const std::vector<int>& numbers)
{
    if (stream_)
        stream_->close();
    stream_.reset();
    std::error_code ec;
    asio::ip::address address = socket_.remote_endpoint(ec).address();
    if (ec)
        return "cannot start the transfer: " + ec.message();
    // A host on an IPv4-mapped address listens on IPv4.
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    stream_ = std::make_shared<DataStream>(sim_, number_, asio::ip::tcp::endpoint(address, port), sim_.app().model(),
                                           numbers);
    sim_.track(stream_);
    stream_->start();
    return {};
}

void CommandSession::stopTransfer()
{
    if (stream_) {
        stream_->finish();
        stream_.reset();
    }
}

} // namespace ktsim

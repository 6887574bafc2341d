// SPDX-License-Identifier: MIT
#include "DataStream.h"

#include "PacketEncoder.h"
#include "Simulator.h"
#include "Waveform.h"

#include <chrono>

namespace ktsim {

namespace {

constexpr std::size_t kBurstWrite = 256 * 1024;

} // namespace

DataStream::DataStream(Simulator& sim, int number, asio::ip::tcp::endpoint target,
                       std::shared_ptr<const SampleModel> model, const std::vector<int>& numbers)
    : Connection(sim.io(), mixBits(sim.seed(), 0x64617400ULL + static_cast<std::uint64_t>(number))), simulator(sim),
      connectionNumber(number), targetEndpoint(std::move(target)), source(std::move(model), numbers)
{
}

void DataStream::start()
{
    std::string to = targetEndpoint.address().to_string() + ":" + std::to_string(targetEndpoint.port());
    simulator.log().line("#" + std::to_string(connectionNumber) + " data connection to " + to + " for " +
                         std::to_string(source.blockCount()) + " channels");
    connectionSocket.async_connect(targetEndpoint, [self = self(), to](const std::error_code& ec) {
        if (self->closed())
            return;
        if (ec) {
            self->simulator.log().line("#" + std::to_string(self->connectionNumber) + " data connection to " + to +
                                       " failed: " + ec.message());
            self->close();
            return;
        }
        self->connected();
    });
}

void DataStream::connected()
{
    dataConnected = true;
    std::error_code ignored;
    connectionSocket.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (simulator.options().faults.secondDataConnection) {
        simulator.log().line("#" + std::to_string(connectionNumber) + " fault: opening a second data connection");
        secondSocket = std::make_unique<asio::ip::tcp::socket>(ioContext);
        secondSocket->async_connect(targetEndpoint, [self = self()](const std::error_code&) {});
    }
    if (finishing)
        finish();
    else
        pump();
}

void DataStream::closing()
{
    if (secondSocket) {
        std::error_code ignored;
        secondSocket->close(ignored);
    }
}

bool DataStream::appendPacket(std::vector<std::uint8_t>& bytes, double elapsed)
{
    const FaultPlan& faults = simulator.options().faults;
    Application& app = simulator.app();
    std::size_t before = bytes.size();
    if (simulator.options().stampSendTime)
        source.setStamp(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
    for (int i = 0; i < faults.garbageBytes; ++i)
        bytes.push_back(static_cast<std::uint8_t>(faultRandom.between('A', 'Z')));
    if (!source.append(bytes, elapsed, app.startDays(), app.controls())) {
        bytes.resize(before);
        return false;
    }
    std::size_t packetStart = before + static_cast<std::size_t>(faults.garbageBytes);
    if (containsEndMarker(bytes.data() + packetStart + 8, bytes.size() - packetStart - 16))
        simulator.log().line("#" + std::to_string(connectionNumber) + " warning: packet " +
                             std::to_string(source.packetsSent() - 1) +
                             " holds the end-marker bytes in its body; a host will cut it short");
    int sent = source.packetsSent();
    int firstSize = source.blockCount() ? sampleSize(source.channelAt(0).dataType) : 4;
    for (const MalformedFault& fault : faults.malformed)
        if (sent % fault.every == 0)
            appendMalformedPacket(bytes, fault.kind, app.startDays() + elapsed / 86400.0, firstSize);
    return true;
}

void DataStream::pump()
{
    pumpPosted = false;
    if (!dataConnected || closed() || writing())
        return;
    Application& app = simulator.app();
    const Options& options = simulator.options();
    // A stream takes up an acquisition while it runs. One that ended before
    // the stream came (a transfer started after STOP) is not sent again: the
    // stream waits for the next STARTACQ.
    if (app.acquisitionNumber() != acquisitionSeen && app.acquisitionNumber() != 0 && app.acquiring()) {
        acquisitionSeen = app.acquisitionNumber();
        source.restart();
        virtualPackets = 0;
        pending.clear();
        pendingPackets = 0;
    }
    if (acquisitionSeen != 0 && !(finishing && options.burst)) {
        if (options.burst) {
            // Each packet covers the next stretch of a clock of its own that
            // runs as fast as the host reads, and stops with the acquisition.
            // Packets go out in writes of about kBurstWrite bytes, so that a
            // system call and a completion carry many of them.
            if (pending.capacity() < 2 * kBurstWrite)
                pending.reserve(2 * kBurstWrite);
            while (app.acquiring() && (pendingPackets < options.faults.coalesce || pending.size() < kBurstWrite)) {
                double elapsed = static_cast<double>(++virtualPackets * options.packetMs) / 1000.0;
                if (appendPacket(pending, elapsed))
                    ++pendingPackets;
            }
        } else {
            double elapsed = app.elapsed(Application::Clock::now());
            if (finishing)
                elapsed = std::min(elapsed, finishElapsed);
            if (appendPacket(pending, elapsed))
                ++pendingPackets;
        }
    }
    if (pendingPackets > 0 && (pendingPackets >= options.faults.coalesce || finishing)) {
        pendingPackets = 0;
        send(std::move(pending), options.faults.splitPackets);
        pending.clear();
    } else if (finishing) {
        simulator.log().line("#" + std::to_string(connectionNumber) + " data connection closed after " +
                             std::to_string(source.packetsSent()) + " packets");
        close();
    }
}

void DataStream::written()
{
    if (finishing || simulator.options().burst) {
        if (!pumpPosted) {
            pumpPosted = true;
            asio::post(ioContext, [self = self()] { self->pump(); });
        }
        return;
    }
    if (source.behind(simulator.app().elapsed(Application::Clock::now()), simulator.app().controls()))
        pump();
}

void DataStream::writeFailed(const std::error_code& ec)
{
    simulator.log().line("#" + std::to_string(connectionNumber) + " data connection lost: " + ec.message());
}

void DataStream::finish()
{
    if (!finishing)
        finishElapsed = simulator.app().elapsed(Application::Clock::now());
    finishing = true;
    if (!dataConnected) {
        close();
        return;
    }
    if (!writing())
        pump();
}

} // namespace ktsim

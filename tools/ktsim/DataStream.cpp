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
    : Connection(sim.io(), mixBits(sim.seed(), 0x64617400ULL + static_cast<std::uint64_t>(number))), sim_(sim),
      number_(number), target_(std::move(target)), source_(std::move(model), numbers)
{
}

void DataStream::start()
{
    std::string to = target_.address().to_string() + ":" + std::to_string(target_.port());
    sim_.log().line("#" + std::to_string(number_) + " data connection to " + to + " for " +
                    std::to_string(source_.blockCount()) + " channels");
    socket_.async_connect(target_, [self = self(), to](const std::error_code& ec) {
        if (self->closed())
            return;
        if (ec) {
            self->sim_.log().line("#" + std::to_string(self->number_) + " data connection to " + to +
                                  " failed: " + ec.message());
            self->close();
            return;
        }
        self->connected();
    });
}

void DataStream::connected()
{
    connected_ = true;
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (sim_.options().faults.secondDataConnection) {
        sim_.log().line("#" + std::to_string(number_) + " fault: opening a second data connection");
        second_ = std::make_unique<asio::ip::tcp::socket>(io_);
        second_->async_connect(target_, [self = self()](const std::error_code&) {});
    }
    if (finishing_)
        finish();
    else
        pump();
}

void DataStream::closing()
{
    if (second_) {
        std::error_code ignored;
        second_->close(ignored);
    }
}

bool DataStream::appendPacket(std::vector<std::uint8_t>& bytes, double elapsed)
{
    const FaultPlan& faults = sim_.options().faults;
    Application& app = sim_.app();
    std::size_t before = bytes.size();
    if (sim_.options().stampSendTime)
        source_.setStamp(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
    for (int i = 0; i < faults.garbageBytes; ++i)
        bytes.push_back(static_cast<std::uint8_t>(random_.between('A', 'Z')));
    if (!source_.append(bytes, elapsed, app.startDays(), app.controls())) {
        bytes.resize(before);
        return false;
    }
    std::size_t packetStart = before + static_cast<std::size_t>(faults.garbageBytes);
    if (containsEndMarker(bytes.data() + packetStart + 8, bytes.size() - packetStart - 16))
        sim_.log().line("#" + std::to_string(number_) + " warning: packet " +
                        std::to_string(source_.packetsSent() - 1) +
                        " holds the end-marker bytes in its body; a host will cut it short");
    int sent = source_.packetsSent();
    int firstSize = source_.blockCount() ? sampleSize(source_.channelAt(0).dataType) : 4;
    for (const MalformedFault& fault : faults.malformed)
        if (sent % fault.every == 0)
            appendMalformedPacket(bytes, fault.kind, app.startDays() + elapsed / 86400.0, firstSize);
    return true;
}

void DataStream::pump()
{
    pumpPosted_ = false;
    if (!connected_ || closed() || writing())
        return;
    Application& app = sim_.app();
    const Options& options = sim_.options();
    // A stream takes up an acquisition while it runs. One that ended before
    // the stream came (a transfer started after STOP) is not sent again: the
    // stream waits for the next STARTACQ.
    if (app.acquisitionNumber() != acquisition_ && app.acquisitionNumber() != 0 && app.acquiring()) {
        acquisition_ = app.acquisitionNumber();
        source_.restart();
        virtualPackets_ = 0;
        pending_.clear();
        pendingPackets_ = 0;
    }
    if (acquisition_ != 0 && !(finishing_ && options.burst)) {
        if (options.burst) {
            // Each packet covers the next stretch of a clock of its own that
            // runs as fast as the host reads, and stops with the acquisition.
            // Packets go out in writes of about kBurstWrite bytes, so that a
            // system call and a completion carry many of them.
            if (pending_.capacity() < 2 * kBurstWrite)
                pending_.reserve(2 * kBurstWrite);
            while (app.acquiring() && (pendingPackets_ < options.faults.coalesce || pending_.size() < kBurstWrite)) {
                double elapsed = static_cast<double>(++virtualPackets_ * options.packetMs) / 1000.0;
                if (appendPacket(pending_, elapsed))
                    ++pendingPackets_;
            }
        } else {
            double elapsed = app.elapsed(Application::Clock::now());
            if (finishing_)
                elapsed = std::min(elapsed, finishElapsed_);
            if (appendPacket(pending_, elapsed))
                ++pendingPackets_;
        }
    }
    if (pendingPackets_ > 0 && (pendingPackets_ >= options.faults.coalesce || finishing_)) {
        pendingPackets_ = 0;
        send(std::move(pending_), options.faults.splitPackets);
        pending_.clear();
    } else if (finishing_) {
        sim_.log().line("#" + std::to_string(number_) + " data connection closed after " +
                        std::to_string(source_.packetsSent()) + " packets");
        close();
    }
}

void DataStream::written()
{
    if (finishing_ || sim_.options().burst) {
        if (!pumpPosted_) {
            pumpPosted_ = true;
            asio::post(io_, [self = self()] { self->pump(); });
        }
        return;
    }
    if (source_.behind(sim_.app().elapsed(Application::Clock::now()), sim_.app().controls()))
        pump();
}

void DataStream::writeFailed(const std::error_code& ec)
{
    sim_.log().line("#" + std::to_string(number_) + " data connection lost: " + ec.message());
}

void DataStream::finish()
{
    if (!finishing_)
        finishElapsed_ = sim_.app().elapsed(Application::Clock::now());
    finishing_ = true;
    if (!connected_) {
        close();
        return;
    }
    if (!writing())
        pump();
}

} // namespace ktsim

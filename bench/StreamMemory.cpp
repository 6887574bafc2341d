// SPDX-License-Identifier: MIT
// Resident memory of the data path while several connections stream large
// packets: a receiver with 64 float32 channels listens on a loopback port,
// eight peers in this process each send the same packets of 48 MiB (64
// blocks of 768 KiB) as fast as the library takes them, and the growth of
// the peak resident set over the sending is printed, with what arrived.
//
//   ktremote_stream_memory_bench [PACKET_MIB [CONNECTIONS [PACKETS]]]
//
// The packet is built and touched before the baseline, and the channel
// rings are small, so that what grows is what the connections hold. Linux
// only (it reads /proc/self/status).

#include "api/ChannelRecord.h"
#include "net/NETDataReceiver.h"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace ktremote;

namespace {

constexpr int kChannels = 64;
constexpr size_t MiB = size_t{1} << 20;

long statusKiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// One packet: a header with time 1.0 and one block of
// float32 samples per channel (values that never spell a marker).
std::vector<uint8_t> makePacket(size_t samples)
{
    std::vector<uint8_t> packet = {0, 1, 2, 3, 4, 5, 6, 7};
    packet.resize(8 + 28, 0);
    const double time = 1.0;
    std::memcpy(packet.data() + 8 + 20, &time, sizeof time);
    std::vector<float> values(samples);
    for (size_t i = 0; i < samples; ++i)
        values[i] = static_cast<float>(i % 1000) + 0.5f;
    for (int c = 0; c < kChannels; ++c) {
        const auto n = static_cast<int32_t>(samples);
        const auto* count = reinterpret_cast<const uint8_t*>(&n);
        packet.insert(packet.end(), count, count + 4);
        const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
        packet.insert(packet.end(), bytes, bytes + samples * 4);
    }
    packet.insert(packet.end(), {7, 6, 5, 4, 3, 2, 1, 0});
    return packet;
}

} // namespace

int main(int argc, char** argv)
{
    const size_t packetMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 48;
    const int connections = argc > 2 ? std::atoi(argv[2]) : 8;
    const int packets = argc > 3 ? std::atoi(argv[3]) : 4;

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread ioThread([&] { io.run(); });
    {
        NETDataReceiver receiver(io);
        for (int c = 0; c < kChannels; ++c) {
            ChannelRecord record;
            record.id = "0," + std::to_string(c);
            record.transferred = true;
            record.dataType = 5;
            record.sampleSize = 4;
            record.scale1 = 1.0;
            receiver.addChannel(record, 4096, 1000.0);
        }
        receiver.listen(0);
        const uint16_t port = receiver.localPort();
        const size_t samples = packetMiB * MiB / kChannels / 4 - 1; // per block
        const std::vector<uint8_t> packet = makePacket(samples);

        {
            std::ofstream("/proc/self/clear_refs") << "5";
        }
        const long before = statusKiB("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> peers;
        for (int k = 0; k < connections; ++k)
            peers.emplace_back([&] {
                asio::io_context context;
                asio::ip::tcp::socket socket(context);
                socket.connect({asio::ip::make_address("127.0.0.1"), port});
                for (int p = 0; p < packets; ++p)
                    asio::write(socket, asio::buffer(packet));
                socket.shutdown(asio::ip::tcp::socket::shutdown_send);
                char byte = 0;
                std::error_code error;
                while (!error) // until the library has read everything and closed
                    socket.read_some(asio::buffer(&byte, 1), error);
            });
        for (std::thread& peer : peers)
            peer.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double peakMiB = static_cast<double>(statusKiB("VmHWM") - before) / 1024.0;
        const uint64_t written = receiver.decoder().buffer(0).ring().written();
        std::printf("%d connections x %d packets of %zu MiB (64 blocks of %.0f KiB): resident memory rose by at "
                    "most %.0f MiB; %llu of %llu packets decoded in %.1f s\n",
                    connections, packets, packetMiB, static_cast<double>(samples * 4) / 1024.0, peakMiB,
                    static_cast<unsigned long long>(written / samples),
                    static_cast<unsigned long long>(connections * packets), seconds);
    }
    work.reset();
    ioThread.join();
    return 0;
}

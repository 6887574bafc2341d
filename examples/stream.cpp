// SPDX-License-Identifier: MIT
// Connects to the application, lists its channels, streams all of them for
// a few seconds and prints a summary per channel - with the C++ wrapper.
//
//   stream_cpp ["host commandPort dataPort" [seconds]]
//
// With 0 seconds it only lists the channels. Exit status: 0 when samples
// arrived (or only listing was asked for), 1 when none did, 2 on a failure.
#include "ktremote.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Summary {
    ktremote::Channel channel;
    std::string name;
    unsigned long long count = 0;
    double min = std::numeric_limits<double>::max();
    double max = std::numeric_limits<double>::lowest();
    double sum = 0, firstTime = 0, lastTime = 0;
    bool overrun = false;
};

// Reads everything buffered for one channel. The arrays are reused: reads
// into them allocate nothing.
void drain(Summary& s, std::vector<double>& values, std::vector<double>& times)
{
    for (;;) {
        const ktremote::ReadResult r = s.channel.read(values, times);
        s.overrun |= r.overrun;
        for (std::size_t k = 0; k < r.count; ++k) {
            if (s.count++ == 0)
                s.firstTime = times[k];
            s.lastTime = times[k];
            s.min = std::min(s.min, values[k]);
            s.max = std::max(s.max, values[k]);
            s.sum += values[k];
        }
        if (r.count < values.size())
            return;
    }
}

const char* typeName(ktremote::ChannelType type)
{
    switch (type) {
    case ktremote::ChannelType::Async: return "async";
    case ktremote::ChannelType::Sync: return "sync";
    default: return "single";
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string connection = argc > 1 ? argv[1] : "localhost 8999 8001";
    const double seconds = argc > 2 ? std::stod(argv[2]) : 3.0;
    try {
        ktremote::Instance app = ktremote::Instance::network();
        app.connect(connection); // throws when the connection does not come up
        std::printf("connected to \"%s\", application state %d\n", connection.c_str(), static_cast<int>(app.state()));

        std::vector<Summary> channels;
        std::printf("%-24s %-10s %-6s %10s\n", "channel", "unit", "type", "rate/Hz");
        for (ktremote::Channel& channel : app.channels()) { // each one is marked for transfer
            Summary s;
            s.name = channel.name();
            std::printf("%-24s %-10s %-6s %10.3f\n", s.name.c_str(), channel.unit().c_str(), typeName(channel.type()),
                        channel.sampleRate());
            s.channel = std::move(channel);
            channels.push_back(std::move(s));
        }

        if (seconds <= 0)
            return 0;

        std::vector<double> values(4096), times(4096);
        {
            ktremote::Measurement run = app.measure();
            const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                for (Summary& s : channels)
                    drain(s, values, times);
            }
            run.stop();
        }
        for (Summary& s : channels) // values received before the stop stay readable
            drain(s, values, times);

        unsigned long long total = 0;
        std::printf("\n%-24s %10s %12s %12s %12s %10s\n", "channel", "samples", "min", "mean", "max", "span/s");
        for (const Summary& s : channels) {
            total += s.count;
            if (s.count == 0)
                std::printf("%-24s %10d\n", s.name.c_str(), 0);
            else
                std::printf("%-24s %10llu %12.4g %12.4g %12.4g %10.3f%s\n", s.name.c_str(), s.count, s.min,
                            s.sum / static_cast<double>(s.count), s.max, s.lastTime - s.firstTime,
                            s.overrun ? "  (samples dropped)" : "");
        }
        std::printf("%llu samples from %zu channels\n", total, channels.size());
        return total > 0 ? 0 : 1;
    } catch (const ktremote::Error& e) {
        std::fprintf(stderr, "%s (%s)\n", e.what(), e.name());
        return 2;
    }
}

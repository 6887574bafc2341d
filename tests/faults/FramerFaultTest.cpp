// SPDX-License-Identifier: MIT
// Malformed packets followed by bytes outside any packet: the packet after
// them arrives intact, whatever pieces the stream comes in.

#include "PacketBuilder.h"
#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(FramerFault, PacketAfterAMalformedOneAndGarbageArrivesIntact)
{
    ChannelRecord record;
    record.id = "0,1";
    record.dataType = 7;
    record.scale1 = 1.0;
    const std::vector<uint8_t> garbage = {'J', 'U', 'N', 'K', 'J', 'U', 'N', 'K', 'X'};
    const struct {
        const char* what;
        std::vector<uint8_t> body;
    } cases[] = {
        // The block says 5 samples and holds one byte: the walk runs on past
        // the end marker into the garbage and the next packet.
        {"block past the body", PacketBuilder(1.0).put<int32_t>(5).put<uint8_t>(1).body()},
        {"block of 3 past the body", PacketBuilder(1.0).put<int32_t>(3).put<double>(9.5).body()},
        // ... so far that the next packet's end marker lies inside the
        // blocks too, with a packet right behind it.
        {"block of 40 past the body", PacketBuilder(1.0).put<int32_t>(40).put<uint8_t>(1).body()},
        {"negative count", PacketBuilder(1.0).put<int32_t>(-1).body()},
        {"huge count", PacketBuilder(1.0).put<int32_t>(0x7FFFFFFF).body()},
        {"body shorter than the header", std::vector<uint8_t>(5, 0x22)},
    };
    for (const auto& c : cases) {
        const auto bytes = concat({PacketBuilder(1.0).sync<double>({1.0}).packet(), kStart, c.body, kEnd, garbage,
                                   PacketBuilder(2.0).sync<double>({2.0, 3.0}).packet(),
                                   PacketBuilder(3.0).sync<double>({4.0}).packet(), garbage,
                                   PacketBuilder(4.0).sync<double>({5.0}).packet()});
        for (size_t chunk : {size_t{1}, size_t{7}, bytes.size()}) {
            SCOPED_TRACE(testing::Message() << c.what << ", pieces of " << chunk);
            BlockDecoder decoder;
            NETChannelBuffer& buffer = decoder.addBuffer(std::make_unique<NETChannelBuffer>(record, 100, 100.0));
            PacketFramer framer(decoder);
            for (size_t at = 0; at < bytes.size(); at += chunk)
                framer.append(bytes.data() + at, std::min(chunk, bytes.size() - at));
            std::vector<double> values(100);
            values.resize(buffer.ring().read(values.data(), nullptr, values.size()));
            EXPECT_EQ(values, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));
            EXPECT_EQ(framer.stats().packets, 5u);
            EXPECT_EQ(framer.stats().malformed, 1u);
        }
    }
}

} // namespace

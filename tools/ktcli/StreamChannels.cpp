// SPDX-License-Identifier: MIT
#include "StreamChannels.h"

#include "StreamOutput.h"

namespace ktcli {

namespace {

double sampleRate(OpenChannel& open)
{
    return request("cannot read the sample rate of " + open.name, [&] { return open.channel.sampleRate(); });
}

} // namespace

std::vector<StreamedChannel> openChannels(Connection& connection, const std::vector<std::string>& keys)
{
    std::vector<OpenChannel> opened;
    if (keys.empty()) {
        opened = connection.openAll();
    } else {
        for (const std::string& key : keys) {
            OpenChannel channel = connection.open(key);
            for (const OpenChannel& other : opened)
                if (other.name == channel.name && other.id == channel.id)
                    throw UsageError("channel \"" + key + "\" is given twice");
            opened.push_back(std::move(channel));
        }
    }
    if (opened.empty())
        throw Failure(KX_ERR_CHANNEL_NOT_FOUND, "the application's setup has no channels to stream");
    std::vector<StreamedChannel> channels;
    for (OpenChannel& open : opened) {
        const double rate = sampleRate(open);
        const ktremote::ChannelType type = open.type;
        channels.push_back({std::move(open), rate, {}, LossCounter(type, rate), {}, {}});
    }
    return channels;
}

void reopenChannels(Connection& connection, std::vector<StreamedChannel>& channels)
{
    // The handles of the lost connection go first.
    for (StreamedChannel& streamed : channels)
        streamed.open.channel.reset();
    for (StreamedChannel& streamed : channels) {
        const std::string what = "channel " + streamed.open.name + " (" + streamed.open.id + ")";
        OpenChannel again;
        try {
            again = connection.open(streamed.open.id);
        } catch (const Failure& failure) {
            if (failure.code() == KX_ERR_CHANNEL_NOT_FOUND)
                throw Failure(0, what + " is gone from the application's setup");
            throw;
        }
        if (again.type != streamed.open.type)
            throw Failure(
                0, what + " changed its type from " + typeName(streamed.open.type) + " to " + typeName(again.type));
        const double rate = sampleRate(again);
        if (rate != streamed.rate)
            throw Failure(0,
                          what + " changed its sample rate from " + shortestText(streamed.rate) + " Hz to " +
                              shortestText(rate) + " Hz");
        streamed.open.channel = std::move(again.channel);
    }
}

std::vector<std::string> channelNames(const std::vector<StreamedChannel>& channels)
{
    std::vector<std::string> names;
    for (const StreamedChannel& streamed : channels)
        names.push_back(streamed.open.name);
    return names;
}

std::vector<std::string> channelUnits(const std::vector<StreamedChannel>& channels)
{
    std::vector<std::string> units;
    for (const StreamedChannel& streamed : channels)
        units.push_back(streamed.open.unit);
    return units;
}

} // namespace ktcli

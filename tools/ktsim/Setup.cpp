// SPDX-License-Identifier: MIT
#include "Setup.h"

namespace ktsim {

const Channel* Setup::findByNumber(int number) const
{
    for (const Channel& channel : channels)
        if (channel.number == number)
            return &channel;
    return nullptr;
}

const Channel* Setup::findByName(const std::string& wanted) const
{
    for (const Channel& channel : channels)
        if (channel.name == wanted)
            return &channel;
    return nullptr;
}

const Channel* Setup::findByPath(const std::string& wanted) const
{
    for (const Channel& channel : channels)
        if (channel.path == wanted)
            return &channel;
    return nullptr;
}

int sampleSize(int dataType)
{
    switch (dataType) {
    case 0:
    case 1: return 1;
    case 2:
    case 3: return 2;
    case 6:
    case 7: return 8;
    default: return 4;
    }
}

bool hostDecodes(int dataType) { return dataType >= 0 && dataType <= 7; }

bool hostLists(int dataType) { return dataType < 0 || (dataType >= 2 && dataType <= 7); }

double channelRate(const Setup& setup, const Channel& channel)
{
    switch (channel.kind) {
    case ChannelKind::Sync: return channel.divider > 0 ? setup.rate / channel.divider : 0.0;
    case ChannelKind::Async:
    case ChannelKind::SingleValue: return channel.rate;
    }
    return 0.0;
}

} // namespace ktsim

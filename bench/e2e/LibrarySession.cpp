// SPDX-License-Identifier: MIT
#include "LibrarySession.h"

#include "SampleModel.h"
#include "api/ExportGuards.h"
#include "net/KTXNETInstance.h"

#include <stdexcept>

namespace ktremote::bench {

namespace {

constexpr size_t kReadBlock = 4096;

void check(KX_ERROR_CODE result, const char* what)
{
    if (result != KX_OK)
        throw std::runtime_error(std::string(what) + " failed with " + std::to_string(result));
}

} // namespace

LibrarySession::LibrarySession(const Sim& sim, const std::string& setup, int bufferSize)
    : names(channelNames(setup)), kept(names.size()), values(kReadBlock), times(kReadBlock)
{
    check(ktconCreateInstance(&app, 1), "ktconCreateInstance");
    // Checks for the command connection every 20 ms instead of the default
    // pause, so that connecting takes milliseconds.
    static_cast<KTXNETInstance*>(instanceOf(app))->setConnectPollInterval(std::chrono::milliseconds(20));
    check(ktconConnect(app, sim.connectText(e2e::freePort()).c_str()), "ktconConnect");
    // Handles are made from the channel list, which counting fetches.
    size_t count = 0;
    check(ktconGetChannelCount(app, &count), "ktconGetChannelCount");
    if (bufferSize > 0)
        check(ktconSetBufferSize(app, bufferSize), "ktconSetBufferSize");
    for (const std::string& name : names) {
        ::ChannelInstance* channel = nullptr;
        check(ktconCreateChannelInstanceByNameUtf8(app, name.c_str(), &channel), name.c_str());
        channels.push_back(channel);
    }
}

LibrarySession::~LibrarySession()
{
    for (::ChannelInstance* channel : channels)
        ktconFreeChannelInstance(channel);
    ktconDisconnect(app);
    ktconDestroyInstance(app);
}

void LibrarySession::start() { check(ktconStartMeasurement(app), "ktconStartMeasurement"); }

void LibrarySession::stop() { check(ktconStopMeasurement(app), "ktconStopMeasurement"); }

uint64_t LibrarySession::drain(const ktsim::SampleModel* checkedAgainst)
{
    if (checkedAgainst)
        model = checkedAgainst;
    uint64_t total = 0;
    for (size_t c = 0; c < channels.size(); ++c) {
        for (;;) {
            size_t count = kReadBlock;
            const KX_ERROR_CODE result = ktconChannelReadScalarData_2(channels[c], values.data(), times.data(), &count);
            if (result == KX_ERR_DATA_OVERRUN)
                ++overrunCount;
            if (checkedAgainst)
                kept[c].insert(kept[c].end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count));
            total += count;
            if (count < kReadBlock)
                break;
        }
    }
    return total;
}

bool LibrarySession::intact() const
{
    if (!model)
        return true;
    for (size_t c = 0; c < kept.size(); ++c) {
        const ktsim::Channel& channel = model->channel(names[c]);
        for (size_t i = 0; i < kept[c].size(); ++i)
            if (kept[c][i] != model->decoded(channel, i))
                return false;
    }
    return true;
}

} // namespace ktremote::bench

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
    : names_(channelNames(setup)), next_(names_.size(), 0), values_(kReadBlock), times_(kReadBlock)
{
    check(ktconCreateInstance(&app_, 1), "ktconCreateInstance");
    // Checks for the command connection every 20 ms instead of the default
    // pause, so that connecting takes milliseconds.
    static_cast<KTXNETInstance*>(instanceOf(app_))->setConnectPollInterval(std::chrono::milliseconds(20));
    check(ktconConnect(app_, sim.connectText(e2e::freePort()).c_str()), "ktconConnect");
    // Handles are made from the channel list, which counting fetches.
    size_t count = 0;
    check(ktconGetChannelCount(app_, &count), "ktconGetChannelCount");
    if (bufferSize > 0)
        check(ktconSetBufferSize(app_, bufferSize), "ktconSetBufferSize");
    for (const std::string& name : names_) {
        ::ChannelInstance* channel = nullptr;
        check(ktconCreateChannelInstanceByNameUtf8(app_, name.c_str(), &channel), name.c_str());
        channels_.push_back(channel);
    }
}

LibrarySession::~LibrarySession()
{
    for (::ChannelInstance* channel : channels_)
        ktconFreeChannelInstance(channel);
    ktconDisconnect(app_);
    ktconDestroyInstance(app_);
}

void LibrarySession::start() { check(ktconStartMeasurement(app_), "ktconStartMeasurement"); }

void LibrarySession::stop() { check(ktconStopMeasurement(app_), "ktconStopMeasurement"); }

uint64_t LibrarySession::drain(const ktsim::SampleModel* model)
{
    uint64_t total = 0;
    for (size_t c = 0; c < channels_.size(); ++c) {
        for (;;) {
            size_t count = kReadBlock;
            const KX_ERROR_CODE result =
                ktconChannelReadScalarData_2(channels_[c], values_.data(), times_.data(), &count);
            if (result == KX_ERR_DATA_OVERRUN)
                ++overruns_;
            if (model) {
                const ktsim::Channel& channel = model->channel(names_[c]);
                for (size_t i = 0; i < count && intact_; ++i)
                    intact_ = values_[i] == model->decoded(channel, next_[c] + i);
            }
            next_[c] += count;
            total += count;
            if (count < kReadBlock)
                break;
        }
    }
    return total;
}

} // namespace ktremote::bench

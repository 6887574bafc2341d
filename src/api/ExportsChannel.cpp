// SPDX-License-Identifier: MIT
// Exported functions that take a channel handle.

#include "ExportGuards.h"

#include <algorithm>

using namespace ktremote;

namespace {

// The common form of a channel export: the handle checks, -9 when a required
// argument is missing, then the operation behind the failure guard; the
// operation returns the result to report.
template <class Operation>
KX_ERROR_CODE forwardToChannel(::ChannelInstance* handle, unsigned checks, bool argumentsGiven,
                               Operation&& operation) noexcept
{
    auto* channel = channelOf(handle);
    const InstanceCall call(channel != nullptr ? channel->owner : nullptr);
    if (auto early = call.check(channel, checks))
        return *early;
    if (!argumentsGiven)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] { return operation(*channel); });
}

} // namespace

extern "C" {

KX_ERROR_CODE ktconFreeChannelInstance(::ChannelInstance* handle)
{
    auto* channel = channelOf(handle);
    if (channel == nullptr)
        return KX_ERR_INVALID_HANDLE;
    // The owner's channel list holds copies, not handles: it is not touched.
    delete channel;
    return KX_OK;
}

KX_ERROR_CODE ktconChannelGetName(::ChannelInstance* handle, char* buffer, size_t bufferSize)
{
    return forwardToChannel(handle, CheckAll, buffer != nullptr, [&](auto& channel) {
        channel.GetName(buffer, bufferSize);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelGetNameUtf8(::ChannelInstance* handle, char* buffer, size_t bufferSize, size_t* required)
{
    auto* channel = channelOf(handle);
    const InstanceCall call(channel != nullptr ? channel->owner : nullptr);
    if (auto early = call.check(channel, CheckAll))
        return *early;
    const std::string& name = channel->name;
    const size_t length = name.size();
    if (buffer != nullptr && bufferSize != 0) {
        // Never end the copy inside a multi-byte character: step back over
        // UTF-8 continuation bytes (10xxxxxx) at the cut.
        size_t n = std::min(length, bufferSize - 1);
        while (n > 0 && (static_cast<unsigned char>(name.c_str()[n]) & 0xC0u) == 0x80u)
            --n;
        std::copy_n(name.data(), n, buffer);
        buffer[n] = '\0';
    }
    if (required != nullptr)
        *required = length + 1;
    if (buffer == nullptr || bufferSize == 0 || bufferSize < length + 1)
        return KX_ERR_BUFFER_TOO_SMALL;
    return KX_OK;
}

KX_ERROR_CODE ktconGetChUnit(::ChannelInstance* handle, char* buffer, size_t bufferSize)
{
    return forwardToChannel(handle, CheckMode, buffer != nullptr, [&](auto& channel) {
        channel.GetUnit(buffer, bufferSize);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetChannelType(::ChannelInstance* handle, int* type)
{
    return forwardToChannel(handle, CheckMode, type != nullptr, [&](auto& channel) {
        channel.GetChannelType(type);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconIsChannelControl(::ChannelInstance* handle, bool* isControl)
{
    return forwardToChannel(handle, CheckMode, isControl != nullptr, [&](auto& channel) {
        channel.IsChannelControl(isControl);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetSampleRate(::ChannelInstance* handle, double* rate)
{
    return forwardToChannel(handle, CheckMode, rate != nullptr, [&](auto& channel) {
        channel.GetSampleRate(rate);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelSetTransferred(::ChannelInstance* handle, bool transferred)
{
    return forwardToChannel(handle, CheckAll, true, [&](auto& channel) {
        channel.SetTransferred(transferred);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelReadScalarData(::ChannelInstance* handle, double** values, double** timestamps, size_t* count)
{
    const bool given = values != nullptr && timestamps != nullptr && count != nullptr;
    return forwardToChannel(handle, CheckAll, given, [&](auto& channel) {
        channel.ReadScalarData(values, timestamps, count);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelReadScalarData_2(::ChannelInstance* handle, double* values, double* timestamps, size_t* count)
{
    const bool given = values != nullptr && timestamps != nullptr && count != nullptr;
    return forwardToChannel(handle, CheckAll, given,
                            [&](auto& channel) { return channel.ReadScalarData2(values, timestamps, count); });
}

KX_ERROR_CODE ktconChannelReadScalarData_2abs(::ChannelInstance* handle, double* values, double* timestamps,
                                              size_t* count)
{
    const bool given = values != nullptr && timestamps != nullptr && count != nullptr;
    return forwardToChannel(handle, CheckAll, given,
                            [&](auto& channel) { return channel.ReadScalarData2Abs(values, timestamps, count); });
}

KX_ERROR_CODE ktconControlChannelWriteData(::ChannelInstance* handle, double value)
{
    // Writes carry no time of their own over this interface. A refused
    // write (not a control channel, no connection) is reported.
    return forwardToChannel(handle, CheckMode, true,
                            [&](auto& channel) { return channel.WriteControlData(value, -1.0); });
}

} // extern "C"

// Exported functions that take a channel handle.

#include "ExportGuards.h"

#include <algorithm>

using namespace ktremote;

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
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
        return *early;
    if (buffer == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->GetName(buffer, bufferSize);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelGetNameUtf8(::ChannelInstance* handle, char* buffer, size_t bufferSize, size_t* required)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
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
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckMode))
        return *early;
    if (buffer == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->GetUnit(buffer, bufferSize);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetChannelType(::ChannelInstance* handle, int* type)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckMode))
        return *early;
    if (type == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->GetChannelType(type);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconIsChannelControl(::ChannelInstance* handle, bool* isControl)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckMode))
        return *early;
    if (isControl == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->IsChannelControl(isControl);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetSampleRate(::ChannelInstance* handle, double* rate)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckMode))
        return *early;
    if (rate == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->GetSampleRate(rate);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelSetTransferred(::ChannelInstance* handle, bool transferred)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
        return *early;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->SetTransferred(transferred);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelReadScalarData(::ChannelInstance* handle, double** values, double** timestamps,
                                         size_t* count)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
        return *early;
    if (values == nullptr || timestamps == nullptr || count == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] {
        channel->ReadScalarData(values, timestamps, count);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconChannelReadScalarData_2(::ChannelInstance* handle, double* values, double* timestamps,
                                           size_t* count)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
        return *early;
    if (values == nullptr || timestamps == nullptr || count == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] { return channel->ReadScalarData2(values, timestamps, count); });
}

KX_ERROR_CODE ktconChannelReadScalarData_2abs(::ChannelInstance* handle, double* values, double* timestamps,
                                              size_t* count)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckAll))
        return *early;
    if (values == nullptr || timestamps == nullptr || count == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(channel->owner, KX_ERR_FAILED, [&] { return channel->ReadScalarData2Abs(values, timestamps, count); });
}

KX_ERROR_CODE ktconControlChannelWriteData(::ChannelInstance* handle, double value)
{
    auto* channel = channelOf(handle);
    if (auto early = checkChannel(channel, CheckMode))
        return *early;
    // Writes carry no time of their own over this interface. A refused
    // write (not a control channel, no connection) is reported.
    return guarded(channel->owner, KX_ERR_FAILED, [&] { return channel->WriteControlData(value, -1.0); });
}

} // extern "C"

// SPDX-License-Identifier: MIT
#include "NETChannelInstance.h"

#include "api/Failure.h"
#include "api/NumberText.h"
#include "api/KTXInstance.h"
#include "ktremote.h"

#include <algorithm>

namespace ktremote {

int NETChannelInstance::SetTransferred(bool flag)
{
    transferred = flag;
    if (owner != nullptr)
        owner->SetTransferredById(id, flag);
    return 0;
}

int NETChannelInstance::GetSampleRate(double* rate)
{
    if (owner == nullptr)
        return KX_ERR_APP_CALL_FAILED;
    return querySampleRate(*owner, *this, rate);
}

int NETChannelInstance::querySampleRate(KTXInstance& instance, ChannelRecord& record, double* rate)
{
    if (record.isAsync) {
        *rate = record.expectedAsyncRate;
        return 0;
    }
    if (record.isSingleValue) {
        *rate = -1.0;
        return 0;
    }
    std::string reply;
    try {
        instance.SendCommand("GETSAMPLERATE", reply);
    } catch (const Failure&) {
        instance.lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED;
    }
    float value = 0.0f;
    if (!rateFromReply(reply, &value)) {
        instance.lastFailure.record("the application's sample rate reply holds no number");
        return KX_ERR_APP_CALL_FAILED;
    }
    // A divider of 0 gives an infinite (or, for a rate of 0, undefined) rate.
    record.sampleRate = static_cast<double>(value) / record.sampleRateDivider;
    *rate = record.sampleRate;
    return 0;
}

bool NETChannelInstance::rateFromReply(const std::string& reply, float* rate)
{
    if (reply.size() < 4)
        return false;
    const size_t length = reply.size() >= 6 ? reply.size() - 6 : std::string::npos;
    const std::optional<float> value = parseFloat(std::string_view(reply).substr(4, length));
    if (!value)
        return false;
    *rate = *value;
    return true;
}

// The reads go to the instance's data receiver by channel id, so every
// handle of a channel reads the same buffer.
int NETChannelInstance::ReadScalarData(double** values, double** timestamps, size_t* count)
{
    if (owner != nullptr)
        owner->ReadScalarDataById(id, values, timestamps, count);
    return 0;
}

int NETChannelInstance::ReadScalarData2(double* values, double* timestamps, size_t* count)
{
    return owner != nullptr ? owner->ReadScalarData2ById(id, values, timestamps, count) : 0;
}

int NETChannelInstance::ReadScalarData2Abs(double* values, double* timestamps, size_t* count)
{
    return owner != nullptr ? owner->ReadScalarData2AbsById(id, values, timestamps, count) : 0;
}

std::string NETChannelInstance::controlCommand(const std::string& id, double value)
{
    // The application names the channel by its list field 1, with ';' where
    // the id has ','; the id's "0," prefix is dropped.
    std::string channel = id;
    std::replace(channel.begin(), channel.end(), ',', ';');
    const size_t cut = channel.find(';');
    if (cut != std::string::npos)
        channel.erase(0, cut + 1);
    return "SETCTRLCHANNELVALUES " + channel + ":" + formatShortest(value) + "\\";
}

// The time argument is not sent: the command carries the value only.
int NETChannelInstance::WriteControlData(double value, double)
{
    if (!isControl) {
        if (owner != nullptr)
            owner->lastFailure.record("the channel is not a control channel");
        return KX_ERR_NOT_CONTROL_CHANNEL;
    }
    if (owner == nullptr)
        return KX_ERR_APP_CALL_FAILED;
    std::string reply;
    try {
        owner->SendCommand(controlCommand(id, value), reply);
    } catch (const Failure&) {
        owner->lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED;
    }
    return 0;
}

int NETChannelInstance::Reset() { return KX_ERR_NOT_SUPPORTED; }
int NETChannelInstance::Start() { return KX_ERR_NOT_SUPPORTED; }

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "api/ChannelInstance.h"

#include <string>

namespace ktremote {

class KTXInstance;

// The channel handle of a network instance: a copy of one record of the
// instance's channel list. Name, unit, type and control flag are answered
// from the record; the sample rate of a synchronous channel and control
// writes are commands to the application; reads and transfer marks go to
// the owning instance by channel id.
class NETChannelInstance : public ChannelInstance {
public:
    explicit NETChannelInstance(const ChannelRecord& record) : ChannelInstance(record) {}

    int SetTransferred(bool transferred) override;
    int GetSampleRate(double* rate) override;
    int ReadScalarData(double** values, double** timestamps, size_t* count) override;
    int ReadScalarData2(double* values, double* timestamps, size_t* count) override;
    int ReadScalarData2Abs(double* values, double* timestamps, size_t* count) override;
    int WriteControlData(double value, double time) override;
    int Reset() override;
    int Start() override;

    // The sample rate of `record`, asked through `instance`: the expected
    // rate of an asynchronous channel and -1 for a single-value channel,
    // both without a command; for a synchronous channel the application's
    // answer to "GETSAMPLERATE" divided by the record's divider, which is
    // also stored in the record's `sampleRate`. Returns 0, or
    // KX_ERR_APP_CALL_FAILED with `*rate` and the record unchanged when the
    // command fails or its reply holds no number. GetSampleRate is this with
    // the handle's owner; a measurement uses it on copies of list records,
    // which may have no owner, with the instance that runs it.
    static int querySampleRate(KTXInstance& instance, ChannelRecord& record, double* rate);

    // The text of a control write of `value` to the channel `id`.
    static std::string controlCommand(const std::string& id, double value);

    // The rate in a "GETSAMPLERATE" reply: the text without its first four
    // and last two characters (of a reply of four or five characters, all
    // from the fifth on), read as a single-precision number. False when the
    // reply is shorter than four characters or the text holds no number.
    static bool rateFromReply(const std::string& reply, float* rate);
};

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "api/ChannelInstance.h"

namespace ktremote {

class KTXDCOMInstance;

// A channel of an automation instance. Its descriptive fields were read
// from the application when it was created; reads and writes go through
// the connection object that its owner made for it when the measurement
// started, bracketed by "StartDataSync" / "EndDataSync" on the data object.
class DCOMChannelInstance : public ChannelInstance {
public:
    DCOMChannelInstance() = default;

    int GetSampleRate(double* rate) override;
    int ReadScalarData(double** values, double** timestamps, size_t* count) override;
    int ReadScalarData2(double* values, double* timestamps, size_t* count) override;
    int WriteControlData(double value, double time) override;
    int Reset() override;
    int Start() override;

private:
    KTXDCOMInstance& instance() const;
    // Gets the property `name` ("Reset", "Start") of the channel's
    // connection object: 0, or -8 when the request fails.
    int getOnConnection(const wchar_t* name) const;
    // Keeps the failure of a call on a channel without a data connection
    // and returns its code.
    int noConnection() const;
};

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "ChannelRecord.h"

#include <cstddef>
#include <cstdint>

namespace ktremote {

// A channel handle as the host holds it. The virtual operations are in the
// order of the channel exports; every base behaviour does nothing and
// returns 0, and each backend overrides what it offers. GetChannelType,
// IsChannelControl, GetName and GetUnit are shared by both backends.
class ChannelInstance : public ChannelRecord {
public:
    // Handles are freed through this base class by ktconFreeChannelInstance.
    virtual ~ChannelInstance() = default;

    virtual int SetTransferred(bool transferred);
    virtual int GetSampleRate(double* rate);
    virtual int GetChannelType(int32_t* type);
    virtual int IsChannelControl(bool* isControl);
    virtual int GetUnit(char* buffer, size_t bufferSize);
    virtual int ReadScalarData(double** values, double** timestamps, size_t* count);
    virtual int ReadScalarData2(double* values, double* timestamps, size_t* count);
    virtual int ReadScalarData2Abs(double* values, double* timestamps, size_t* count);
    virtual int GetName(char* buffer, size_t bufferSize);
    virtual int WriteControlData(double value, double time);
    virtual int Reset();
    virtual int Start();

protected:
    ChannelInstance() = default;
    explicit ChannelInstance(const ChannelRecord& record) : ChannelRecord(record) {}
};

// Copies text into a host buffer of bufferSize bytes. Writes at most
// bufferSize bytes and always a terminating NUL when bufferSize > 0, so a
// short buffer receives a truncated text.
void copyTextBounded(const std::string& text, char* buffer, size_t bufferSize);

} // namespace ktremote

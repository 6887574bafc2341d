// SPDX-License-Identifier: MIT
#include "ChannelInstance.h"

#include <algorithm>
#include <cstring>

namespace ktremote {

void copyTextBounded(const std::string& text, char* buffer, size_t bufferSize)
{
    if (buffer == nullptr || bufferSize == 0)
        return;
    const size_t n = std::min(text.size(), bufferSize - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

int ChannelInstance::SetTransferred(bool) { return 0; }
int ChannelInstance::GetSampleRate(double*) { return 0; }

int ChannelInstance::GetChannelType(int32_t* type)
{
    *type = isAsync ? 0 : (isSingleValue ? 2 : 1);
    return 0;
}

int ChannelInstance::IsChannelControl(bool* control)
{
    *control = isControl;
    return 0;
}

int ChannelInstance::GetUnit(char* buffer, size_t bufferSize)
{
    copyTextBounded(unit, buffer, bufferSize);
    return 0;
}

int ChannelInstance::ReadScalarData(double**, double**, size_t*) { return 0; }
int ChannelInstance::ReadScalarData2(double*, double*, size_t*) { return 0; }
int ChannelInstance::ReadScalarData2Abs(double*, double*, size_t*) { return 0; }

int ChannelInstance::GetName(char* buffer, size_t bufferSize)
{
    copyTextBounded(name, buffer, bufferSize);
    return 0;
}

int ChannelInstance::WriteControlData(double, double) { return 0; }
int ChannelInstance::Reset() { return 0; }
int ChannelInstance::Start() { return 0; }

} // namespace ktremote

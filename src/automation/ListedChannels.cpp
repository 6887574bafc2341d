// SPDX-License-Identifier: MIT
#include "ListedChannels.h"

#include "InvokeMember.h"

namespace ktremote {

bool isListed(IDispatch* channel)
{
    const bool shown = getProperty(channel, L"Shown").isTrue();
    const int32_t dataType = getProperty(channel, L"DataType").int32();
    return isListed(shown, dataType);
}

ChannelCounts countChannels(IDispatch* data)
{
    const Variant usedChannels = getProperty(data, L"UsedChannels");
    const int32_t used = getProperty(usedChannels.object(), L"Count").int32();
    ChannelCounts counts{used, used};
    for (int32_t position = 0; position < used; ++position) {
        const Variant channel = getItem(usedChannels.object(), position);
        if (!isListed(channel.object()))
            --counts.listed;
    }
    return counts;
}

} // namespace ktremote

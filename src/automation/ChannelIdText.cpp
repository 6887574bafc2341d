// SPDX-License-Identifier: MIT
#include "ChannelIdText.h"

#include "api/NumberText.h"

#include <optional>
#include <string_view>

namespace ktremote {

std::string formatChannelId(const std::vector<int32_t>& indices)
{
    std::string text;
    for (size_t i = 0; i < indices.size(); ++i) {
        if (i > 0)
            text += ',';
        text += std::to_string(indices[i]);
    }
    return text;
}

std::vector<int32_t> parseChannelId(const std::string& text)
{
    std::vector<int32_t> indices;
    std::string_view rest = text;
    size_t used = 0;
    while (const std::optional<int32_t> value = parseInt32(rest, &used)) {
        indices.push_back(*value);
        rest.remove_prefix(used);
        if (!rest.empty() && (rest.front() == ',' || rest.front() == ' '))
            rest.remove_prefix(1);
    }
    return indices;
}

} // namespace ktremote

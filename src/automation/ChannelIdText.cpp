#include "ChannelIdText.h"

#include <cctype>

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

namespace {

// One integer in the manner of strtol: white space, an optional sign,
// digits. Fails on no digits and on values outside 32 bits.
bool readInteger(const char*& p, int32_t& value)
{
    const char* q = p;
    while (std::isspace(static_cast<unsigned char>(*q)))
        ++q;
    const bool negative = *q == '-';
    if (*q == '-' || *q == '+')
        ++q;
    if (!std::isdigit(static_cast<unsigned char>(*q)))
        return false;
    int64_t magnitude = 0;
    while (std::isdigit(static_cast<unsigned char>(*q))) {
        magnitude = magnitude * 10 + (*q - '0');
        if (magnitude > int64_t{INT32_MAX} + 1)
            return false;
        ++q;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX)
        return false;
    value = static_cast<int32_t>(signedValue);
    p = q;
    return true;
}

} // namespace

std::vector<int32_t> parseChannelId(const std::string& text)
{
    std::vector<int32_t> indices;
    const char* p = text.c_str();
    int32_t value = 0;
    while (readInteger(p, value)) {
        indices.push_back(value);
        if (*p == ',' || *p == ' ')
            ++p;
    }
    return indices;
}

} // namespace ktremote

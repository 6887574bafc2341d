// SPDX-License-Identifier: MIT
// The automation backend's channel-id reader and writer.
//
// Checked against a reader built on strtol: the same integers for any text.
// Writing what was read and reading it again gives the same integers; any
// list of integers survives writing and reading.

#include "FuzzInput.h"

#include "automation/ChannelIdText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ktremote;

namespace {

std::vector<int32_t> referenceRead(const std::string& text)
{
    std::vector<int32_t> indices;
    const char* p = text.c_str();
    for (;;) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(p, &end, 10);
        if (end == p || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
            break;
        indices.push_back(static_cast<int32_t>(value));
        p = end;
        if (*p == ',' || *p == ' ')
            ++p;
    }
    return indices;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<int32_t> indices = parseChannelId(text);
    FUZZ_CHECK(indices == referenceRead(text));
    FUZZ_CHECK(parseChannelId(formatChannelId(indices)) == indices);

    std::vector<int32_t> numbers(size / 4);
    if (!numbers.empty())
        std::memcpy(numbers.data(), data, numbers.size() * 4);
    const std::string written = formatChannelId(numbers);
    FUZZ_CHECK(written.find_first_not_of("-0123456789,") == std::string::npos);
    FUZZ_CHECK(parseChannelId(written) == numbers);
    return 0;
}

// SPDX-License-Identifier: MIT
// Number texts of the command protocol, and the rate in a "GETSAMPLERATE"
// reply.
//
// The readers must give what the C library's strtol, strtof and strtod give
// in the "C" locale (which this process keeps): the same value bit for bit,
// or no value where the C functions find no number or report a range error
// that left nothing but zero or infinity. The rate reply "+OK <text>\r\n"
// must give what the reader gives for <text>, and a rate written the way the
// application writes it must come back exactly.

#include "FuzzInput.h"

#include "api/NumberText.h"
#include "net/NETChannelInstance.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

using namespace ktremote;

namespace {

template <class T>
bool sameValue(std::optional<T> a, std::optional<T> b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    if (std::isnan(*a) || std::isnan(*b))
        return std::isnan(*a) && std::isnan(*b) && std::signbit(*a) == std::signbit(*b);
    return std::memcmp(&*a, &*b, sizeof(T)) == 0;
}

std::optional<int32_t> referenceInt(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

template <class T>
std::optional<T> referenceFloating(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    T value;
    if constexpr (std::is_same_v<T, float>)
        value = std::strtof(text.c_str(), &end);
    else
        value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return std::nullopt;
    // A range error with a value left (a subnormal) still reads.
    if (errno == ERANGE && (value == 0 || std::isinf(value)))
        return std::nullopt;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The C functions stop at a NUL; so does the text given to both here.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));

    const std::optional<int32_t> integer = parseInt32(text);
    FUZZ_CHECK(integer == referenceInt(text));
    FUZZ_CHECK(sameValue(parseFloat(text), referenceFloating<float>(text)));
    FUZZ_CHECK(sameValue(parseDouble(text), referenceFloating<double>(text)));

    float rate = 0.0f;
    const bool read = NETChannelInstance::rateFromReply("+OK " + text + "\r\n", &rate);
    FUZZ_CHECK(sameValue(read ? std::optional<float>(rate) : std::nullopt, parseFloat(text)));

    // A rate as the application writes it: shortest text of a float.
    if (size >= 4) {
        float value;
        std::memcpy(&value, data, sizeof value);
        char buffer[64];
        const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
        FUZZ_CHECK(NETChannelInstance::rateFromReply("+OK " + std::string(buffer, written.ptr) + "\r\n", &rate));
        FUZZ_CHECK(sameValue(std::optional<float>(rate), std::optional<float>(value)));
    }
    return 0;
}

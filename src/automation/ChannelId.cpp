#include "ChannelId.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <cctype>
#include <cstring>

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

std::vector<int32_t> indicesOf(const Variant& indexEx)
{
    // Work on a copy, so that the answer itself stays untouched.
    Variant copy;
    if (FAILED(VariantCopy(copy.get(), const_cast<VARIANT*>(&indexEx.value()))))
        raise(KX_ERR_AUTOMATION_CALL, "channel index could not be copied");
    const VARIANT& v = copy.value();
    if ((v.vt & VT_ARRAY) == 0 || (v.vt & VT_BYREF) != 0 || v.parray == nullptr)
        return {};
    SAFEARRAY* array = v.parray;
    LONG lower = 0, upper = -1;
    if (SafeArrayGetElemsize(array) != sizeof(int32_t) || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower)
        return {};
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data)))
        return {};
    std::vector<int32_t> indices(static_cast<size_t>(upper - lower) + 1);
    std::memcpy(indices.data(), data, indices.size() * sizeof(int32_t));
    SafeArrayUnaccessData(array);
    return indices;
}

} // namespace ktremote

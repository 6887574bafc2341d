// SPDX-License-Identifier: MIT
#include "ChannelId.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <cstring>

namespace ktremote {

std::vector<int32_t> indicesOf(const Variant& indexEx)
{
    // Work on a copy, so that the answer itself stays untouched.
    Variant copy;
    if (FAILED(VariantCopy(copy.get(), const_cast<VARIANT*>(&indexEx.value()))))
        raise(KX_ERR_AUTOMATION_CALL, "the index of a channel could not be copied from the application's reply");
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

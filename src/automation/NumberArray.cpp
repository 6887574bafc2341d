// SPDX-License-Identifier: MIT
#include "NumberArray.h"

namespace ktremote {

NumberArray::NumberArray(const Variant& answer)
{
    const VARIANT& v = answer.value();
    if ((v.vt & VT_ARRAY) == 0 || (v.vt & VT_BYREF) != 0 || v.parray == nullptr)
        return;
    const VARTYPE element = v.vt & VT_TYPEMASK;
    const UINT width = SafeArrayGetElemsize(v.parray);
    if (!(element == VT_R4 && width == sizeof(float)) && !(element == VT_R8 && width == sizeof(double)))
        return;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(v.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(v.parray, 1, &upper)))
        return;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(v.parray, &data)))
        return;
    safeArray = v.parray;
    elementData = data;
    elementCount = upper >= lower ? static_cast<size_t>(upper - lower) + 1 : 0;
    isFloat = element == VT_R4;
    argumentPresent = true;
}

NumberArray::~NumberArray()
{
    if (safeArray != nullptr)
        SafeArrayUnaccessData(safeArray);
}

} // namespace ktremote

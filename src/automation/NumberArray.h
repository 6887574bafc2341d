// SPDX-License-Identifier: MIT
#pragma once

// Read access to an array of numbers that the application returned (values
// or timestamps). The element type is taken from the array itself: 4-byte
// floats (VT_R4) and 8-byte doubles (VT_R8) are both read and widened to
// double. An answer that holds no such array reads as empty.

#include "Variant.h"

#include <cstddef>

namespace ktremote {

class NumberArray {
public:
    explicit NumberArray(const Variant& answer);
    ~NumberArray();
    NumberArray(const NumberArray&) = delete;
    NumberArray& operator=(const NumberArray&) = delete;

    bool present() const noexcept { return argumentPresent; }
    size_t size() const noexcept { return elementCount; }
    double operator[](size_t i) const noexcept
    {
        return isFloat ? static_cast<const float*>(elementData)[i] : static_cast<const double*>(elementData)[i];
    }

private:
    SAFEARRAY* safeArray = nullptr;
    const void* elementData = nullptr;
    size_t elementCount = 0;
    bool isFloat = false;
    bool argumentPresent = false;
};

} // namespace ktremote

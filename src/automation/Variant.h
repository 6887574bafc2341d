// SPDX-License-Identifier: MIT
#pragma once

// An owned automation value. Results of automation calls land in one of
// these and are cleared when it goes out of scope, on every path.

#include <ole2.h>
#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace ktremote {

class Variant {
public:
    Variant() noexcept
    {
        // Zero the whole value, not only the type tag: a result whose
        // payload is narrower than the field it is read by (a VT_EMPTY or
        // a VT_I2 read as 32 bits) then reads as zero, never as garbage.
        std::memset(&heldValue, 0, sizeof heldValue);
        VariantInit(&heldValue);
    }
    ~Variant() { VariantClear(&heldValue); }
    Variant(Variant&& other) noexcept : heldValue(other.heldValue)
    {
        std::memset(&other.heldValue, 0, sizeof other.heldValue);
    }
    Variant& operator=(Variant&& other) noexcept
    {
        if (this != &other) {
            VariantClear(&heldValue);
            heldValue = other.heldValue;
            std::memset(&other.heldValue, 0, sizeof other.heldValue);
        }
        return *this;
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* get() noexcept { return &heldValue; }
    const VARIANT& value() const noexcept { return heldValue; }
    VARTYPE type() const noexcept { return heldValue.vt; }

    // The object a result holds, or none when it holds no object: calls on
    // none fail cleanly with KX_ERR_NO_TARGET_OBJECT.
    IDispatch* object() const noexcept { return heldValue.vt == VT_DISPATCH ? heldValue.pdispVal : nullptr; }

    // The application answers in fixed types; these read the field that
    // each answer arrives in.
    int32_t int32() const noexcept { return heldValue.lVal; }
    bool isTrue() const noexcept { return heldValue.boolVal == VARIANT_TRUE; } // only -1 is true
    double float64() const noexcept { return heldValue.dblVal; }
    double float32() const noexcept { return heldValue.fltVal; }

    // A text answer as UTF-8; empty when the answer holds no text.
    std::string text() const;
    size_t textLength() const noexcept { return heldValue.vt == VT_BSTR ? SysStringLen(heldValue.bstrVal) : 0; }

private:
    VARIANT heldValue;
};

} // namespace ktremote

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
        std::memset(&value_, 0, sizeof value_);
        VariantInit(&value_);
    }
    ~Variant() { VariantClear(&value_); }
    Variant(Variant&& other) noexcept : value_(other.value_) { std::memset(&other.value_, 0, sizeof other.value_); }
    Variant& operator=(Variant&& other) noexcept
    {
        if (this != &other) {
            VariantClear(&value_);
            value_ = other.value_;
            std::memset(&other.value_, 0, sizeof other.value_);
        }
        return *this;
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* get() noexcept { return &value_; }
    const VARIANT& value() const noexcept { return value_; }
    VARTYPE type() const noexcept { return value_.vt; }

    // The object a result holds, or none when it holds no object: calls on
    // none fail cleanly with KX_ERR_NO_TARGET_OBJECT.
    IDispatch* object() const noexcept { return value_.vt == VT_DISPATCH ? value_.pdispVal : nullptr; }

    // The application answers in fixed types; these read the field that
    // each answer arrives in.
    int32_t int32() const noexcept { return value_.lVal; }
    bool isTrue() const noexcept { return value_.boolVal == VARIANT_TRUE; } // only -1 is true
    double float64() const noexcept { return value_.dblVal; }
    double float32() const noexcept { return value_.fltVal; }

    // A text answer as UTF-8; empty when the answer holds no text.
    std::string text() const;
    size_t textLength() const noexcept { return value_.vt == VT_BSTR ? SysStringLen(value_.bstrVal) : 0; }

private:
    VARIANT value_;
};

} // namespace ktremote

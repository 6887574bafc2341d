// SPDX-License-Identifier: MIT
#pragma once

#include <exception>

namespace ktremote {

// A failure raised inside a backend operation. It carries a result code for
// diagnostics; the exported functions catch it and report their own fixed
// code (usually KX_ERR_FAILED), so the value never reaches the host.
class Failure : public std::exception {
public:
    explicit Failure(int code, const char* what = "an operation of the library failed") noexcept
        : errorCode(code), messageText(what)
    {
    }
    int code() const noexcept { return errorCode; }
    const char* what() const noexcept override { return messageText; }

private:
    int errorCode;
    const char* messageText;
};

[[noreturn]] inline void raise(int code, const char* what = "an operation of the library failed")
{
    throw Failure(code, what);
}

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "ktremote.h"

#include <cstddef>
#include <mutex>
#include <string>

namespace ktremote {

// The text of the latest failure of one instance. The exported functions
// report a failure only by its result code; the text says which of the many
// causes behind that code it was. A new failure replaces the text, a success
// leaves it. Recording neither throws nor allocates, since it runs in the
// catch blocks at the C boundary, and may happen on several threads at once.
class LastFailure {
public:
    // Keeps text (cut to the capacity); a null text keeps nothing.
    void record(const char* text) noexcept;

    // Keeps the text of the exception being handled: a Failure's or another
    // exception's own text, a fixed one for running out of memory or for
    // something that is no exception class. Does nothing outside a handler.
    void recordCurrentException() noexcept;

    // The kept text, empty when nothing failed yet.
    std::string text() const;

private:
    static constexpr size_t kCapacity = 256;

    mutable std::mutex mutex;
    char buffer[kCapacity] = {};
};

// The latest failure text of the instance behind a handle, for tests: no
// exported function hands it out. Empty for a null handle.
std::string lastFailureText(::KTXInstance* handle);

} // namespace ktremote

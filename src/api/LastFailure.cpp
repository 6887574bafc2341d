// SPDX-License-Identifier: MIT
#include "LastFailure.h"

#include "KTXInstance.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace ktremote {

void LastFailure::record(const char* text) noexcept
{
    if (text == nullptr)
        return;
    const size_t length = std::min(std::strlen(text), kCapacity - 1);
    try {
        const std::lock_guard<std::mutex> lock(mutex);
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
    } catch (...) {
        // The mutex could not be locked: the earlier text stays.
    }
}

void LastFailure::recordCurrentException() noexcept
{
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return;
    try {
        std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
        record("the library ran out of memory");
    } catch (const std::exception& failure) {
        record(failure.what());
    } catch (...) {
        record("an operation failed with an exception of unknown kind");
    }
}

std::string LastFailure::text() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return buffer;
}

std::string lastFailureText(::KTXInstance* handle)
{
    if (handle == nullptr)
        return {};
    return reinterpret_cast<KTXInstance*>(handle)->lastFailure.text();
}

} // namespace ktremote

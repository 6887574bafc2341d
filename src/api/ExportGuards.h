// SPDX-License-Identifier: MIT
#pragma once

// The checks that every exported function applies before it forwards to an
// operation, and the failure guard around the forwarded call. Nothing in
// here may throw: these functions are the C boundary.

#include "ChannelInstance.h"
#include "Failure.h"
#include "KTXInstance.h"
#include "ktremote.h"

#include <optional>

namespace ktremote {

inline KTXInstance* instanceOf(::KTXInstance* handle) { return reinterpret_cast<KTXInstance*>(handle); }
inline ChannelInstance* channelOf(::ChannelInstance* handle) { return reinterpret_cast<ChannelInstance*>(handle); }
inline ::KTXInstance* handleOf(KTXInstance* instance) { return reinterpret_cast<::KTXInstance*>(instance); }
inline ::ChannelInstance* handleOf(ChannelInstance* channel) { return reinterpret_cast<::ChannelInstance*>(channel); }

enum Checks : unsigned {
    CheckConnected = 1u,
    CheckMode = 2u,
    CheckAll = CheckConnected | CheckMode,
};

// The exports act only in mode 0 (automation) and 1 (network); any other
// mode makes them do nothing and report success.
inline bool modeIsActive(const KTXInstance& instance) { return instance.mode == 0 || instance.mode == 1; }

// Applies the instance checks in their fixed order: null handle -9, not
// connected -4, inactive mode 0. Returns the code to report at once, or
// nothing when the call may go ahead.
inline std::optional<KX_ERROR_CODE> checkInstance(const KTXInstance* instance, unsigned checks) noexcept
{
    if (instance == nullptr)
        return KX_ERR_INVALID_HANDLE;
    if ((checks & CheckConnected) && !instance->connected)
        return KX_ERR_NOT_CONNECTED;
    if ((checks & CheckMode) && !modeIsActive(*instance))
        return KX_OK;
    return std::nullopt;
}

// The same checks for a channel handle, applied to the instance that owns it.
inline std::optional<KX_ERROR_CODE> checkChannel(const ChannelInstance* channel, unsigned checks) noexcept
{
    if (channel == nullptr)
        return KX_ERR_INVALID_HANDLE;
    const KTXInstance* owner = channel->owner;
    if ((checks & CheckConnected) && (owner == nullptr || !owner->connected))
        return KX_ERR_NOT_CONNECTED;
    if ((checks & CheckMode) && owner != nullptr && !modeIsActive(*owner))
        return KX_OK;
    return std::nullopt;
}

// One call of the exports on an instance, for as long as the export runs.
// ktconDestroyInstance from another thread waits until no call is in
// progress before it frees anything (KTXInstance::destroy); a call that
// comes while it releases the instance is refused as not connected, before
// it reads anything of the instance. The count goes up before the flag is
// read, and destroy() sets the flag before it reads the count, so either
// the call sees the flag or destroy() sees the call.
class InstanceCall {
public:
    explicit InstanceCall(KTXInstance* instance) noexcept : counted(instance)
    {
        if (counted != nullptr) {
            counted->callsInProgress.fetch_add(1);
            refused = counted->releasing.load();
        }
    }
    ~InstanceCall()
    {
        if (counted != nullptr)
            counted->callsInProgress.fetch_sub(1);
    }
    InstanceCall(const InstanceCall&) = delete;
    InstanceCall& operator=(const InstanceCall&) = delete;

    // checkInstance() for the call's instance, and -4 while it is released.
    std::optional<KX_ERROR_CODE> check(unsigned checks) const noexcept
    {
        if (refused)
            return KX_ERR_NOT_CONNECTED;
        return checkInstance(counted, checks);
    }

    // checkChannel() for a channel of the call's instance (its owner), and
    // -4 while that is released.
    std::optional<KX_ERROR_CODE> check(const ChannelInstance* channel, unsigned checks) const noexcept
    {
        if (channel != nullptr && refused)
            return KX_ERR_NOT_CONNECTED;
        return checkChannel(channel, checks);
    }

private:
    KTXInstance* counted;
    bool refused = false;
};

// Runs a forwarded operation of instance (or of one of its channels). A
// raised failure, or any other exception (allocation failure included), is
// reported as failureCode; the failure's own value is not passed on, and its
// text becomes the instance's last failure.
template <class Operation>
KX_ERROR_CODE guarded(KTXInstance* instance, KX_ERROR_CODE failureCode, Operation&& operation) noexcept
{
    try {
        return static_cast<KX_ERROR_CODE>(operation());
    } catch (...) {
        if (instance != nullptr)
            instance->lastFailure.recordCurrentException();
        return failureCode;
    }
}

} // namespace ktremote

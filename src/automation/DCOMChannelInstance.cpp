// SPDX-License-Identifier: MIT
#include "DCOMChannelInstance.h"

#include "InvokeMember.h"
#include "KTXDCOMInstance.h"
#include "NumberArray.h"
#include "api/Failure.h"
#include "api/LastFailure.h"
#include "ktremote.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace ktremote {

namespace {

// Calls "EndDataSync" on the data object when a read leaves early; the
// read's own failure code is what the caller reports.
void endDataSyncQuietly(IDispatch* data) noexcept
{
    try {
        callMethod(data, L"EndDataSync");
    } catch (...) {
    }
}

// What a read fetched from the application: the count waiting when it
// looked, and at most as many values (and times, for async channels) as the
// caller asked for.
struct Fetched {
    int32_t waiting = 0;
    Variant times;
    Variant samples;
};

// Fetches the waiting values of `connection` between "StartDataSync" and
// "EndDataSync" on the data object. What does not fit `limit` stays waiting
// in the application for the next read. Returns KX_ERR_APP_CALL_FAILED,
// with the failure recorded, when the application refuses a step.
int fetchWaiting(IDispatch* connection, IDispatch* data, bool isAsync, size_t limit, LastFailure& lastFailure,
                 Fetched& fetched)
{
    try {
        callMethod(data, L"StartDataSync");
        fetched.waiting = getProperty(connection, L"NumValues").int32();
        if (fetched.waiting < 0) {
            endDataSyncQuietly(data);
            return KX_ERR_APP_CALL_FAILED;
        }
        const auto wanted = static_cast<int32_t>(std::min<size_t>(limit, static_cast<size_t>(fetched.waiting)));
        if (isAsync)
            fetched.times = callMethodWithCount(connection, L"GetTSValues", wanted);
        fetched.samples = callMethodWithCount(connection, L"GetDataValues", wanted);
        callMethod(data, L"EndDataSync");
    } catch (const Failure&) {
        lastFailure.recordCurrentException();
        endDataSyncQuietly(data);
        return KX_ERR_APP_CALL_FAILED;
    }
    return KX_OK;
}

struct FreeDeleter {
    void operator()(double* array) const { std::free(array); }
};
using HostArray = std::unique_ptr<double, FreeDeleter>;

// Arrays handed to the host come from the C heap; the host frees them.
double* allocateDoubles(size_t n)
{
    // Never null, also for no values: the host frees what it receives.
    auto* array = static_cast<double*>(std::malloc(std::max<size_t>(n, 1) * sizeof(double)));
    if (array == nullptr)
        throw std::bad_alloc();
    return array;
}

} // namespace

KTXDCOMInstance& DCOMChannelInstance::instance() const { return *static_cast<KTXDCOMInstance*>(owner); }

int DCOMChannelInstance::noConnection() const
{
    instance().lastFailure.record("the channel has no data connection: no measurement runs, or it is not listed");
    return KX_ERR_APP_CALL_FAILED;
}

int DCOMChannelInstance::GetSampleRate(double* rate)
{
    *rate = isAsync ? expectedAsyncRate : (isSingleValue ? -1.0 : sampleRate);
    return KX_OK;
}

int DCOMChannelInstance::ReadScalarData(double** values, double** timestamps, size_t* count)
{
    IDispatch* connection = instance().connectionOf(*this);
    if (connection == nullptr)
        return noConnection();
    const Variant data = getProperty(instance().applicationObject(), L"Data");
    Fetched fetched;
    if (int failed = fetchWaiting(connection, data.object(), isAsync, SIZE_MAX, instance().lastFailure, fetched))
        return failed;
    const int32_t waiting = fetched.waiting;

    // Hand over only what the application really returned: a count sent
    // to it is cut to 16 bits, so its arrays may be shorter than asked.
    const NumberArray valueArray(fetched.samples);
    const NumberArray timeArray(fetched.times);
    size_t n = std::min(static_cast<size_t>(waiting), valueArray.size());
    if (isAsync)
        n = std::min(n, timeArray.size());
    HostArray valueCopy(allocateDoubles(n));
    HostArray timeCopy(isAsync ? allocateDoubles(n) : nullptr);
    for (size_t i = 0; i < n; ++i) {
        valueCopy.get()[i] = valueArray[i];
        if (isAsync)
            timeCopy.get()[i] = timeArray[i];
    }
    *count = n;
    *values = valueCopy.release();
    if (isAsync)
        *timestamps = timeCopy.release(); // otherwise the host's variable stays as it was
    return KX_OK;
}

int DCOMChannelInstance::ReadScalarData2(double* values, double* timestamps, size_t* count)
{
    IDispatch* connection = instance().connectionOf(*this);
    if (connection == nullptr)
        return noConnection();
    const size_t capacity = *count;
    const Variant data = getProperty(instance().applicationObject(), L"Data");

    if (isSingleValue) {
        double value = 0.0;
        try {
            callMethod(data.object(), L"StartDataSync");
            const Variant channel = getProperty(connection, L"Channel");
            value = getProperty(channel.object(), L"SingleValue").float64();
            callMethod(data.object(), L"EndDataSync");
        } catch (const Failure&) {
            instance().lastFailure.recordCurrentException();
            endDataSyncQuietly(data.object());
            return KX_ERR_APP_CALL_FAILED;
        }
        if (capacity == 0) {
            *count = 0; // no room for the value
            return KX_OK;
        }
        values[0] = value;
        timestamps[0] = 0.0;
        *count = 1;
        return KX_OK;
    }

    // Ask for no more than the host's arrays hold.
    Fetched fetched;
    if (int failed = fetchWaiting(connection, data.object(), isAsync, capacity, instance().lastFailure, fetched))
        return failed;
    const int32_t waiting = fetched.waiting;
    const int result = capacity < static_cast<size_t>(waiting) ? 2 : KX_OK;

    const NumberArray valueArray(fetched.samples);
    const NumberArray timeArray(fetched.times);
    size_t n = std::min({capacity, static_cast<size_t>(waiting), valueArray.size()});
    if (isAsync)
        n = std::min(n, timeArray.size());
    for (size_t i = 0; i < n; ++i) {
        values[i] = valueArray[i];
        timestamps[i] = isAsync ? timeArray[i] : 0.0;
    }
    *count = n;
    return result;
}

int DCOMChannelInstance::WriteControlData(double value, double time)
{
    // Refused before anything reaches the application, as over the network.
    if (!isControl) {
        instance().lastFailure.record("the channel is not a control channel");
        return KX_ERR_NOT_CONTROL_CHANNEL;
    }
    IDispatch* connection = instance().connectionOf(*this);
    if (connection == nullptr)
        return noConnection();
    const Variant channel = getProperty(connection, L"Channel");
    // The application's current answer decides, not the flag read at
    // creation.
    if (getProperty(channel.object(), L"IsSingleValue").isTrue()) {
        putDouble(channel.object(), L"SingleValue", value);
    } else {
        callAddAsyncData(channel.object(), value, time);
        callMethod(channel.object(), L"ValueChanged");
    }
    return KX_OK;
}

int DCOMChannelInstance::Reset() { return getOnConnection(L"Reset"); }

int DCOMChannelInstance::Start() { return getOnConnection(L"Start"); }

int DCOMChannelInstance::getOnConnection(const wchar_t* name) const
{
    try {
        getProperty(instance().connectionOf(*this), name);
        return KX_OK;
    } catch (const Failure&) {
        instance().lastFailure.recordCurrentException();
        return KX_ERR_APP_CALL_FAILED;
    }
}

} // namespace ktremote

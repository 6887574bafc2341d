// SPDX-License-Identifier: MIT
// Exported functions that take an instance handle (or none).

#include "ExportGuards.h"
#include "InstanceFactory.h"
#include "KtremoteVersion.h"

#include <cstring>

using namespace ktremote;

extern "C" {

KX_ERROR_CODE ktconGetVersion(char* buffer, size_t bufferSize)
{
    if (buffer == nullptr)
        return KX_ERR_INVALID_HANDLE;
    copyTextBounded(versionText, buffer, bufferSize);
    return KX_OK;
}

KX_ERROR_CODE ktconCreateInstance(::KTXInstance** out, int useNetwork)
{
    if (out == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(nullptr, KX_ERR_FAILED, [&] {
        auto* instance = useNetwork != 0 ? createNetworkInstance() : createAutomationInstance();
        *out = handleOf(instance);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconDestroyInstance(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    if (instance == nullptr)
        return KX_ERR_INVALID_HANDLE;
    // The thread, the sockets, the buffers and the lists go; the small
    // object behind the handle stays, since a host may keep using the handle
    // (or channel handles of the instance) afterwards. It then answers like a
    // new instance of its kind.
    instance->destroy();
    return KX_OK;
}

KX_ERROR_CODE ktconConnect(::KTXInstance* handle, const char* connection)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckMode))
        return *early;
    if (connection == nullptr)
        return KX_ERR_INVALID_HANDLE;
    // A failed connect is reported here, and also shows as
    // KX_ERR_NOT_CONNECTED from later calls, because `connected` stays false.
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->Connect(connection); });
}

KX_ERROR_CODE ktconDisconnect(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    // A command connection that is already broken cannot be closed more
    // politely than it already is: the instance is disconnected either way.
    try {
        instance->Disconnect();
    } catch (...) {
        instance->lastFailure.recordCurrentException();
    }
    return KX_OK;
}

KX_ERROR_CODE ktconSetAppWindowVisible(::KTXInstance* handle, bool visible)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->SetAppWindowVisible(visible);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetChannelCount(::KTXInstance* handle, size_t* count)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    if (count == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->GetChannelCount(count);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconEnumerateChannels(::KTXInstance* handle, char*** ids, size_t* count)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    if (ids == nullptr || count == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->EnumerateChannels(ids, count);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconFreeEnumerateChannels(::KTXInstance* handle, char*** ids)
{
    auto* instance = instanceOf(handle);
    if (instance == nullptr)
        return KX_ERR_INVALID_HANDLE;
    if (ids == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->FreeEnumerateChannels(ids);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconInitChannelIdEnum(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->InitChannelIdEnum();
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetNextChannelIdSize(::KTXInstance* handle, int* size)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    if (size == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->GetNextChannelIdSize(size);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetNextChannelId(::KTXInstance* handle, char* buffer)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    if (buffer == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->GetNextChannelId(buffer); });
}

KX_ERROR_CODE ktconCreateChannelInstance(::KTXInstance* handle, const char* channelId, ::ChannelInstance** out)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    if (channelId == nullptr || out == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        auto* channel = instance->CreateChannelInstance(instance, channelId);
        *out = handleOf(channel);
        return channel != nullptr ? KX_OK : KX_ERR_CHANNEL_NOT_CREATED;
    });
}

KX_ERROR_CODE ktconCreateChannelInstanceByNameUtf8(::KTXInstance* handle, const char* name, ::ChannelInstance** out)
{
    auto* instance = instanceOf(handle);
    if (instance == nullptr || out == nullptr || name == nullptr)
        return KX_ERR_INVALID_HANDLE;
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    *out = nullptr;
    if (!modeIsActive(*instance))
        return KX_OK;
    return guarded(instance, KX_ERR_FAILED, [&] {
        auto* channel = instance->CreateChannelInstanceByNameUtf8(instance, name);
        *out = handleOf(channel);
        return channel != nullptr ? KX_OK : KX_ERR_CHANNEL_NOT_FOUND;
    });
}

KX_ERROR_CODE ktconCreateChannelInstanceByName(::KTXInstance*, const char*, ::ChannelInstance**) { return KX_OK; }

KX_ERROR_CODE ktconSetBufferSize(::KTXInstance* handle, int bufferSize)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    // Buffer sizes apply to the network data path only.
    if (instance->mode != 1)
        return KX_ERR_FAILED;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->SetBufferSize(bufferSize);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconLoadSetup(::KTXInstance* handle, const char* setupFile)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    if (setupFile == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->LoadSetup(setupFile); });
}

KX_ERROR_CODE ktconIsInAqusition(::KTXInstance* handle, bool* running)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    if (running == nullptr)
        return KX_ERR_INVALID_HANDLE;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->IsInAcquisition(running);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconGetState(::KTXInstance* handle, int* state)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    if (state == nullptr)
        return KX_ERR_INVALID_HANDLE;
    if (!modeIsActive(*instance)) {
        *state = 0;
        return KX_OK;
    }
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->GetState(state); });
}

KX_ERROR_CODE ktconStartMeasurement(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    // A start that failed part-way is reported with the code of the step
    // that failed: a host that took it for a running measurement would wait
    // for samples that never come.
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->StartMeasurement(); });
}

KX_ERROR_CODE ktconStopMeasurement(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    // A stop that could not be sent is reported: the application may still
    // be acquiring.
    return guarded(instance, KX_ERR_FAILED, [&] { return instance->StopMeasurement(); });
}

KX_ERROR_CODE ktconStartStoring(::KTXInstance* handle, const char* fileName)
{
    auto* instance = instanceOf(handle);
    if (instance == nullptr || fileName == nullptr)
        return KX_ERR_INVALID_HANDLE;
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    return guarded(instance, KX_ERR_START_STORING, [&] { return instance->StartStoring(fileName); });
}

KX_ERROR_CODE ktconStopStoring(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    return guarded(instance, KX_ERR_STOP_STORING, [&] { return instance->StopStoring(); });
}

KX_ERROR_CODE ktconStopStoringEx(::KTXInstance* handle, int* state)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckConnected))
        return *early;
    if (state == nullptr)
        return ktconStopStoring(handle);
    *state = 0;
    const KX_ERROR_CODE result = ktconStopStoring(handle);
    int current = 0;
    if (ktconGetState(handle, &current) == KX_OK)
        *state = current;
    return result;
}

KX_ERROR_CODE ktconBeginRead(::KTXInstance* handle, intptr_t reserved1, intptr_t reserved2)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->BeginRead(reserved1, reserved2);
        return KX_OK;
    });
}

KX_ERROR_CODE ktconEndRead(::KTXInstance* handle)
{
    auto* instance = instanceOf(handle);
    const InstanceCall call(instance);
    if (auto early = call.check(CheckAll))
        return *early;
    return guarded(instance, KX_ERR_FAILED, [&] {
        instance->EndRead();
        return KX_OK;
    });
}

} // extern "C"

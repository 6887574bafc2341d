// SPDX-License-Identifier: MIT
#include "KTXInstance.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace ktremote {

int KTXInstance::Connect(const char*) { return 0; }
int KTXInstance::Disconnect() { return 0; }
int KTXInstance::GetChannelCount(size_t*) { return 0; }
int KTXInstance::SetAppWindowVisible(bool) { return 0; }
int KTXInstance::LoadSetup(const char*) { return 0; }
int KTXInstance::IsInAcquisition(bool*) { return 0; }

int KTXInstance::GetState(int32_t* state)
{
    *state = 0;
    return 0;
}

int KTXInstance::StartMeasurement() { return 0; }
int KTXInstance::StartStoring(const char*) { return 0; }
int KTXInstance::StopStoring() { return 0; }
int KTXInstance::StopMeasurement() { return 0; }
int KTXInstance::BeginRead(intptr_t, intptr_t) { return 0; }
int KTXInstance::EnumerateChannels(char***, size_t*) { return 0; }
ChannelInstance* KTXInstance::CreateChannelInstance(KTXInstance*, const char*) { return nullptr; }
ChannelRecord* KTXInstance::FindChannelRecordByName(const char*) { return nullptr; }
ChannelInstance* KTXInstance::CreateChannelInstanceByNameUtf8(KTXInstance*, const char*) { return nullptr; }
int KTXInstance::EndRead() { return 0; }

// Both backends hand out id arrays from the C heap. Only the array block is
// released here; the id texts belong to the host.
int KTXInstance::FreeEnumerateChannels(char*** ids)
{
    std::free(*ids);
    *ids = nullptr;
    return 0;
}

void KTXInstance::SetTransferredById(const std::string&, bool) {}
int KTXInstance::ReadScalarData2ById(const std::string&, double*, double*, size_t*) { return 0; }
int KTXInstance::ReadScalarData2AbsById(const std::string&, double*, double*, size_t*) { return 0; }
void KTXInstance::ReadScalarDataById(const std::string&, double**, double**, size_t*) {}
void KTXInstance::SendCommand(const std::string&, std::string&) {}
void KTXInstance::SetBufferSize(int32_t size) { bufferSize = size; }
int KTXInstance::InitChannelIdEnum() { return 0; }

int KTXInstance::GetNextChannelIdSize(int32_t* size)
{
    *size = 0;
    return 0;
}

int KTXInstance::GetNextChannelId(char*) { return 0; }

void KTXInstance::destroy() noexcept
{
    std::lock_guard<std::mutex> lock(destroyLock);
    // From here on new calls are refused; a call already in progress ends
    // its wait for the application and returns a code of its own. The wait
    // for it is a poll: it is short, and rare.
    releasing.store(true);
    interrupt();
    while (callsInProgress.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    try {
        releaseResources();
    } catch (...) {
        // Nothing useful to report: what could not be released stays.
    }
    releasing.store(false);
}

void KTXInstance::interrupt() noexcept {}

void KTXInstance::releaseResources()
{
    connected = false;
    mode = 0;
    nextOrdinal = 0;
    usedChannelCount = 0;
    bufferSize = -1;
    std::vector<ChannelRecord>().swap(channels);
    std::vector<std::string>().swap(channelIds);
    idCursor = 0;
    host = kDefaultHost;
    commandPort = kDefaultCommandPort;
    dataPort = kDefaultDataPort;
}

} // namespace ktremote

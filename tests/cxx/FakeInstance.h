// SPDX-License-Identifier: MIT
#pragma once

// An instance and a channel built on the library's base classes, for driving
// the C++ wrapper through the real exported functions without a backend.
// They count what the wrapper must balance (handles alive, disconnects,
// starts and stops) and return whatever result a test sets.

#include "api/ChannelInstance.h"
#include "api/ExportGuards.h"
#include "api/KTXInstance.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ktremote::test {

class FakeChannel : public ChannelInstance {
public:
    static inline int alive = 0;

    FakeChannel() { ++alive; }
    ~FakeChannel() override { --alive; }

    int readResult = 0;   // result of the two array reads
    size_t available = 0; // samples the next read can deliver
    bool lastReadAbsolute = false;
    std::vector<double> written;

    int ReadScalarData2(double* values, double* times, size_t* count) override
    {
        return fill(values, times, count, false);
    }
    int ReadScalarData2Abs(double* values, double* times, size_t* count) override
    {
        return fill(values, times, count, true);
    }
    int WriteControlData(double value, double) override
    {
        written.push_back(value);
        return 0;
    }

private:
    // Sample k has the value k and the time k / 10.
    int fill(double* values, double* times, size_t* count, bool absolute)
    {
        lastReadAbsolute = absolute;
        const size_t n = std::min(*count, available);
        for (size_t k = 0; k < n; ++k) {
            values[k] = static_cast<double>(k);
            times[k] = static_cast<double>(k) / 10.0;
        }
        *count = n;
        return readResult;
    }
};

class FakeInstance : public KTXInstance {
public:
    struct Entry {
        std::string id;
        std::string name;
    };

    std::vector<Entry> entries; // the application's used channels
    bool acceptConnect = true;
    int disconnects = 0;
    int starts = 0;
    int stops = 0;
    int enumerationsFreed = 0;
    int loadSetupResult = 0;
    int startStoringResult = 0;
    FakeChannel* lastChannel = nullptr;

    int Connect(const char*) override
    {
        if (!acceptConnect)
            return KX_ERR_NO_COMMAND_CONNECTION;
        connected = true;
        mode = 1;
        return 0;
    }
    int Disconnect() override
    {
        ++disconnects;
        return 0;
    }
    int GetChannelCount(size_t* count) override
    {
        *count = entries.size();
        return 0;
    }
    int LoadSetup(const char*) override { return loadSetupResult; }
    int StartStoring(const char*) override { return startStoringResult; }
    int StartMeasurement() override
    {
        ++starts;
        return 0;
    }
    int StopMeasurement() override
    {
        ++stops;
        return 0;
    }

    // Like the network backend: the array has one entry per channel, and a
    // channel without a name gets none (the entry stays null).
    int EnumerateChannels(char*** ids, size_t* count) override
    {
        auto** array = static_cast<char**>(std::calloc(entries.size() + 1, sizeof(char*)));
        size_t next = 0;
        for (const Entry& e : entries) {
            if (e.name.empty())
                continue;
            array[next] = static_cast<char*>(std::malloc(e.id.size() + 1));
            std::memcpy(array[next++], e.id.c_str(), e.id.size() + 1);
        }
        *ids = array;
        *count = entries.size();
        return 0;
    }
    int FreeEnumerateChannels(char*** ids) override
    {
        ++enumerationsFreed;
        return KTXInstance::FreeEnumerateChannels(ids);
    }

    ChannelInstance* CreateChannelInstance(KTXInstance* owner, const char* id) override
    {
        for (const Entry& e : entries)
            if (e.id == id)
                return make(owner, e);
        return nullptr;
    }
    ChannelInstance* CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name) override
    {
        for (const Entry& e : entries)
            if (!e.name.empty() && e.name == name)
                return make(owner, e);
        return nullptr;
    }

    // The network backend's enumeration: the cursor is not reset.
    int InitChannelIdEnum() override { return 0; }
    int GetNextChannelIdSize(int32_t* size) override
    {
        return nextIdSize(
            entries.size(), [&](size_t k) -> const std::string& { return entries[k].id; }, size);
    }
    int GetNextChannelId(char* buffer) override
    {
        return nextId(
            entries.size(), [&](size_t k) -> const std::string& { return entries[k].id; }, buffer);
    }

    ::KTXInstance* handle() { return handleOf(static_cast<KTXInstance*>(this)); }

private:
    ChannelInstance* make(KTXInstance* owner, const Entry& e)
    {
        auto* channel = new FakeChannel();
        channel->owner = owner;
        channel->id = e.id;
        channel->name = e.name;
        channel->transferred = true;
        lastChannel = channel;
        return channel;
    }
};

} // namespace ktremote::test

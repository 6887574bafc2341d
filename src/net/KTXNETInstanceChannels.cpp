// SPDX-License-Identifier: MIT
// The used-channel list of a network instance: counting, the two kinds of
// enumeration, channel handles by id and by name, and transfer marks.

#include "ChannelList.h"
#include "KTXNETInstance.h"
#include "NETChannelInstance.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ktremote {

namespace {

// Marks the record for transfer and makes a handle that is a copy of it.
ChannelInstance* makeHandle(ChannelRecord& record, KTXInstance* owner)
{
    record.transferred = true;
    record.owner = owner;
    return new NETChannelInstance(record);
}

} // namespace

void KTXNETInstance::RefreshChannelList() { ParseChannelList(TransactList("LISTUSEDCHS DW"), channels); }

int KTXNETInstance::GetChannelCount(size_t* count)
{
    RefreshChannelList();
    *count = channels.size();
    return 0;
}

// The host receives an array with one entry per record; records without a
// name get no entry, so the entries behind the filled ones stay null and the
// host can walk the whole count it is given. Array and texts come from the C
// heap and belong to the host.
int KTXNETInstance::EnumerateChannels(char*** ids, size_t* count)
{
    RefreshChannelList();
    const size_t n = channels.size();
    // Never a null array for an empty list: some hosts take null for a
    // failure.
    auto** array = static_cast<char**>(std::calloc(n > 0 ? n : 1, sizeof(char*)));
    if (array == nullptr)
        throw std::bad_alloc();
    size_t filled = 0;
    for (const ChannelRecord& record : channels) {
        if (record.name.empty())
            continue;
        char* text = static_cast<char*>(std::malloc(record.id.size() + 1));
        if (text == nullptr) {
            for (size_t k = 0; k < filled; ++k)
                std::free(array[k]);
            std::free(array);
            throw std::bad_alloc();
        }
        std::memcpy(text, record.id.c_str(), record.id.size() + 1);
        array[filled++] = text;
    }
    *ids = array;
    *count = n;
    return 0;
}

ChannelInstance* KTXNETInstance::CreateChannelInstance(KTXInstance* owner, const char* channelId)
{
    if (channelId == nullptr)
        return nullptr;
    for (ChannelRecord& record : channels)
        if (record.id == channelId)
            return makeHandle(record, owner);
    return nullptr;
}

ChannelRecord* KTXNETInstance::FindChannelRecordByName(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (ChannelRecord& record : channels)
        if (record.name == name)
            return &record;
    return nullptr;
}

ChannelInstance* KTXNETInstance::CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name)
{
    if (name == nullptr || *name == '\0')
        return nullptr;
    ChannelRecord* record = FindChannelRecordByName(name);
    return record != nullptr ? makeHandle(*record, owner) : nullptr;
}

void KTXNETInstance::SetTransferredById(const std::string& id, bool transferred)
{
    for (ChannelRecord& record : channels)
        if (record.id == id)
            record.transferred = transferred;
}

// The network enumeration refreshes the list but leaves the cursor where
// the previous enumeration stopped.
int KTXNETInstance::InitChannelIdEnum()
{
    RefreshChannelList();
    return 0;
}

int KTXNETInstance::GetNextChannelIdSize(int32_t* size)
{
    return nextIdSize(
        channels.size(), [this](size_t k) -> const std::string& { return channels[k].id; }, size);
}

int KTXNETInstance::GetNextChannelId(char* buffer)
{
    return nextId(
        channels.size(), [this](size_t k) -> const std::string& { return channels[k].id; }, buffer);
}

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "ChannelInstance.h"
#include "ChannelRecord.h"
#include "LastFailure.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ktremote {

// One connection to the application, as the host holds it. The exported
// functions read `connected` and `mode` and call the virtual operations,
// which are declared in the order of their slots. Every base behaviour is
// harmless (return 0, store 0, do nothing); the network and automation
// backends override what they offer.
class KTXInstance {
public:
    virtual ~KTXInstance() = default;

    virtual int Connect(const char* connection);
    virtual int Disconnect();
    virtual int GetChannelCount(size_t* count);
    virtual int SetAppWindowVisible(bool visible);
    virtual int LoadSetup(const char* setupFile);
    virtual int IsInAcquisition(bool* running);
    virtual int GetState(int32_t* state);
    virtual int StartMeasurement();
    virtual int StartStoring(const char* fileName);
    virtual int StopStoring();
    virtual int StopMeasurement();
    virtual int BeginRead(intptr_t reserved1, intptr_t reserved2);
    virtual int EnumerateChannels(char*** ids, size_t* count);
    virtual ChannelInstance* CreateChannelInstance(KTXInstance* owner, const char* channelId);
    virtual ChannelRecord* FindChannelRecordByName(const char* name);
    virtual ChannelInstance* CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name);
    virtual int EndRead();
    virtual int FreeEnumerateChannels(char*** ids);
    virtual void SetTransferredById(const std::string& id, bool transferred);
    virtual int ReadScalarData2ById(const std::string& id, double* values, double* timestamps, size_t* count);
    virtual int ReadScalarData2AbsById(const std::string& id, double* values, double* timestamps, size_t* count);
    virtual void ReadScalarDataById(const std::string& id, double** values, double** timestamps, size_t* count);
    virtual void SendCommand(const std::string& command, std::string& reply);
    virtual void SetBufferSize(int32_t size);
    virtual int InitChannelIdEnum();
    virtual int GetNextChannelIdSize(int32_t* size);
    virtual int GetNextChannelId(char* buffer);

    // What ktconDestroyInstance does: waits until no other thread is in a
    // call of this instance (interrupting a wait for the application first),
    // then releases everything heavy, so that the instance answers like a new
    // one of its kind. The object itself stays: the host may keep using the
    // handle, and channel handles still point at it. Any thread.
    void destroy() noexcept;

    static constexpr const char* kDefaultHost = "localhost";
    static constexpr const char* kDefaultCommandPort = "8999";
    static constexpr const char* kDefaultDataPort = "8001";

    bool connected = false;                        // set by a successful Connect; cleared by destroy()
    int32_t mode = 0;                              // 1 network, 0 automation (set by Connect)
    int32_t nextOrdinal = 0;                       // automation: ordinal of the next handle
    int32_t usedChannelCount = 0;                  // automation: last used-channel count
    int32_t bufferSize = -1;                       // samples per channel buffer; -1 = default
    std::vector<ChannelRecord> channels;           // the instance's channel list
    std::vector<std::string> channelIds;           // automation: ids of the id enumeration
    int32_t idCursor = 0;                          // next position of the id enumeration
    std::string host = kDefaultHost;               // network: application host
    std::string commandPort = kDefaultCommandPort; // network: application command port
    std::string dataPort = kDefaultDataPort;       // network: port the library listens on
    // The latest failure of this instance and of its channel handles.
    LastFailure lastFailure;

    // Calls of the exports in progress on this instance, and whether
    // destroy() is releasing it (see InstanceCall).
    std::atomic<int32_t> callsInProgress{0};
    std::atomic<bool> releasing{false};

protected:
    KTXInstance() = default;

    // Parts of destroy(). interrupt() may run while another thread is inside
    // an operation: it ends that operation's wait for the application (the
    // network backend closes its connections); the base does nothing.
    // releaseResources() runs once no operation is in progress: each backend
    // gives back what it holds, then calls the base, which empties the lists
    // and sets every field as a new instance has it.
    virtual void interrupt() noexcept;
    virtual void releaseResources();

    // The channel-id enumeration over a list of `count` ids, where idAt(k)
    // gives the k-th id. NextIdSize stores the size of the id at idCursor
    // (length + 1) and returns 0, or returns 1 without writing when the
    // cursor is out of range. NextId copies that id with its NUL, advances
    // the cursor and returns 1 when it was the last id, else 0; out of range
    // it returns 1 and writes nothing.
    template <class IdAt>
    int nextIdSize(size_t count, IdAt idAt, int32_t* size) const
    {
        if (idCursor < 0 || static_cast<size_t>(idCursor) >= count)
            return 1;
        *size = static_cast<int32_t>(idAt(static_cast<size_t>(idCursor)).size() + 1);
        return 0;
    }

    template <class IdAt>
    int nextId(size_t count, IdAt idAt, char* buffer)
    {
        if (idCursor < 0 || static_cast<size_t>(idCursor) >= count)
            return 1;
        const std::string& id = idAt(static_cast<size_t>(idCursor));
        copyTextBounded(id, buffer, id.size() + 1);
        ++idCursor;
        return static_cast<size_t>(idCursor) == count ? 1 : 0;
    }

private:
    std::mutex destroyLock; // one destroy() at a time
};

} // namespace ktremote

// SPDX-License-Identifier: MIT
#pragma once

#include "Variant.h"
#include "api/KTXInstance.h"

#include <oaidl.h>

#include <string>
#include <vector>

namespace ktremote {

// An instance that drives the application through OLE automation of its
// local server "Kaltrop.App". Every call goes through InvokeMember. COM is
// initialised (single-threaded apartment) on the thread that connects; the
// host keeps using the instance from that thread.
//
// Channels count, enumerate and connect only when they are listed: "Shown"
// is true and "DataType" is at most 9.
class KTXDCOMInstance : public KTXInstance {
public:
    KTXDCOMInstance() = default;
    ~KTXDCOMInstance() override;
    KTXDCOMInstance(const KTXDCOMInstance&) = delete;
    KTXDCOMInstance& operator=(const KTXDCOMInstance&) = delete;

    int Connect(const char* connection) override;
    int Disconnect() override;
    int GetChannelCount(size_t* count) override;
    int SetAppWindowVisible(bool visible) override;
    int LoadSetup(const char* setupFile) override;
    int IsInAcquisition(bool* running) override;
    int GetState(int32_t* state) override;
    int StartMeasurement() override;
    int StartStoring(const char* fileName) override;
    int StopStoring() override;
    int StopMeasurement() override;
    int BeginRead(intptr_t reserved1, intptr_t reserved2) override;
    int EnumerateChannels(char*** ids, size_t* count) override;
    ChannelInstance* CreateChannelInstance(KTXInstance* owner, const char* channelId) override;
    ChannelInstance* CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name) override;
    int EndRead() override;
    int InitChannelIdEnum() override;
    int GetNextChannelIdSize(int32_t* size) override;
    int GetNextChannelId(char* buffer) override;

    // The application object; none before Connect and after Disconnect.
    IDispatch* applicationObject() const noexcept { return applicationDispatch; }

    // The connection object made for `channel` when the measurement
    // started; none when no measurement runs or the channel got none.
    IDispatch* connectionOf(const ChannelRecord& channel) const;

protected:
    // Releases the connection table and the application object.
    void releaseResources() override;

    // Initialises COM on the calling thread and creates the application's
    // automation object in its own process; none when it cannot be made.
    virtual IDispatch* createApplication();

private:
    // One entry of the connection table: the connection object made for
    // the k-th listed channel, and that channel's id.
    struct Connection {
        Variant object;
        std::string channelId;
    };

    Variant data() const;
    void releaseApplication() noexcept;

    IDispatch* applicationDispatch = nullptr;
    std::vector<Connection> connectionTable; // empty while no measurement runs
};

} // namespace ktremote

#pragma once

#include "api/KTXInstance.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace ktremote {

class NETCommandConnection;
class NETIoThread;

// An instance that talks to the application over TCP: a text command
// connection to the application, and a data listener to which the
// application streams samples.
//
// Connect starts the instance's one I/O thread, which runs every completion
// of the instance's sockets. The host calls the operations of one instance
// from one thread at a time.
class KTXNETInstance : public KTXInstance {
public:
    KTXNETInstance();
    ~KTXNETInstance() override;

    KTXNETInstance(const KTXNETInstance&) = delete;
    KTXNETInstance& operator=(const KTXNETInstance&) = delete;

    // Connection (KTXNETInstance.cpp).
    int Connect(const char* connection) override;
    int Disconnect() override;
    void SendCommand(const std::string& command, std::string& reply) override;

    // The used-channel list (KTXNETInstanceChannels.cpp).
    int GetChannelCount(size_t* count) override;
    int EnumerateChannels(char*** ids, size_t* count) override;
    ChannelInstance* CreateChannelInstance(KTXInstance* owner, const char* channelId) override;
    ChannelRecord* FindChannelRecordByName(const char* name) override;
    ChannelInstance* CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name) override;
    void SetTransferredById(const std::string& id, bool transferred) override;
    int InitChannelIdEnum() override;
    int GetNextChannelIdSize(int32_t* size) override;
    int GetNextChannelId(char* buffer) override;

    // Connect waits for the command connection by looking at it ten times,
    // each after a pause of this length (2 s unless changed). Only tests
    // change it, to keep connecting fast.
    void setConnectPollInterval(std::chrono::milliseconds interval) { connectPollInterval = interval; }

protected:
    // Sends one command line (the text followed by "\r\n") and returns the
    // reply, which ends with "\r\n" (bytes that came behind it included).
    // Raises a Failure when there is no open command connection or it breaks
    // before the reply is complete.
    std::string Transact(const std::string& command);

    // The same for a command whose reply is a list ending in "+ETX end list".
    std::string TransactList(const std::string& command);

    // Sends "LISTUSEDCHS DW" and rebuilds `channels` from the reply.
    void RefreshChannelList();

    // Whether the command connection's TCP connection came up.
    bool commandSocketConnected() const;

    // The I/O context that the I/O thread runs; exists once Connect got past
    // resolving the host. Raises a Failure before that.
    asio::io_context& ioContext();

private:
    std::string exchange(const std::string& command, const std::string& terminator);

    // Stops the I/O thread of an earlier Connect and releases everything that
    // ran on it. Objects with work on the I/O context go before the context.
    void shutDownIo();

    std::chrono::milliseconds connectPollInterval{2000};
    std::unique_ptr<NETIoThread> io;
    std::unique_ptr<NETCommandConnection> commandConnection;
};

} // namespace ktremote

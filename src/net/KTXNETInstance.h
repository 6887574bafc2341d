// SPDX-License-Identifier: MIT
#pragma once

#include "api/KTXInstance.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ktremote {

class NETDataReceiver;
class NETSession;
class ReplyEnd;

// An instance that talks to the application over TCP: a text command
// connection to the application, and a data listener to which the
// application streams samples.
//
// Connect starts the instance's one I/O thread, which runs every completion
// of the instance's sockets. The host calls the operations of one instance
// from one thread at a time, with one exception: Disconnect may come from
// another thread at any moment. Each operation therefore holds the session
// it works on (NETSession) until it returns, and the session's receiver is
// replaced under its lock.
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

    // Measurement control (KTXNETInstanceMeasurement.cpp).
    int SetAppWindowVisible(bool visible) override;
    int LoadSetup(const char* setupFile) override;
    int IsInAcquisition(bool* running) override;
    int GetState(int32_t* state) override;
    int StartMeasurement() override;
    int StartStoring(const char* fileName) override;
    int StopStoring() override;
    int StopMeasurement() override;
    int BeginRead(intptr_t reserved1, intptr_t reserved2) override;
    int EndRead() override;
    int ReadScalarData2ById(const std::string& id, double* values, double* timestamps, size_t* count) override;
    int ReadScalarData2AbsById(const std::string& id, double* values, double* timestamps, size_t* count) override;
    void ReadScalarDataById(const std::string& id, double** values, double** timestamps, size_t* count) override;

    // The application's state in a "GETSTATUS" reply: 0 unless the reply
    // begins with "+OK"; else the first of "Analyse" (4), "Acquiring" (2),
    // "Stopped" (3) and "Setup" (1) found anywhere in it, or 0 for none.
    static int ClassifyStatusReply(const std::string& reply);

    // Connect waits for the command connection by looking at it ten times,
    // each after a pause of this length (2 s unless changed). Only tests
    // change it, to keep connecting fast.
    void setConnectPollInterval(std::chrono::milliseconds interval) { connectPollInterval = interval; }

    // How long Connect waits for the application's greeting, and Disconnect
    // for an answer after releasing a call that another thread was waiting
    // in (20 s unless changed; only tests change it).
    static constexpr std::chrono::milliseconds kReplyTimeLimit{20000};
    void setReplyTimeLimit(std::chrono::milliseconds limit) { replyTimeLimit = limit; }

    // Data connections that the current receiver closed because they did
    // not come from the application's address.
    uint64_t refusedDataConnections() const;

protected:
    // Closes the session (see KTXInstance::destroy); the last operation that
    // holds it ends its thread.
    void interrupt() noexcept override;
    void releaseResources() override;

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

    // The session of the latest Connect, or null before one. The pointer
    // keeps it alive while the caller uses it.
    std::shared_ptr<NETSession> currentSession() const;
    // The same, raising a Failure when there is none.
    std::shared_ptr<NETSession> requireSession() const;

    // The current session's receiver, held with its session: the receiver
    // (declared last) goes first, while its I/O context still runs.
    struct ReceiverHold {
        std::shared_ptr<NETSession> session;
        std::shared_ptr<NETDataReceiver> receiver; // null before the first start
    };
    ReceiverHold holdReceiver() const;

    // Steps of StartMeasurement; each raises a Failure when it fails.
    //
    // The list numbers of the transferred channels, in list order.
    std::vector<int32_t> transferredChannelNumbers() const;
    // Sends the transfer block: "/STX PREPARETRANSFER", one "CH n" line per
    // number, "/ETX".
    void PrepareTransfer(const std::vector<int32_t>& numbers);
    // "SETTIMEOUT 0", then a new data receiver with a buffer per transferred
    // channel, listening on the data port, in place of the previous one.
    void SetUpDataReceiver();

private:
    std::string exchange(const std::string& command, const ReplyEnd& end);

    // Puts `next` in place of the current session and returns that one,
    // closed.
    std::shared_ptr<NETSession> replaceSession(std::shared_ptr<NETSession> next);

    std::chrono::milliseconds connectPollInterval{2000};
    std::chrono::milliseconds replyTimeLimit = kReplyTimeLimit;

    mutable std::mutex sessionLock; // guards `session`
    std::shared_ptr<NETSession> session;
};

} // namespace ktremote

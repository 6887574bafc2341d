// SPDX-License-Identifier: MIT
#pragma once

#include "api/ChannelRecord.h"
#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ktremote {

class NETDataListener;

// The data side of one measurement: a channel buffer per transferred channel,
// the listener the application streams packets to, and the reads that hand
// the decoded samples to the host.
//
// Threads: the host thread creates the receiver, adds the channels, calls
// listen(), stop(), shutdown() and the reads. The I/O thread, the one thread
// that runs the io_context given at construction, accepts, receives, frames
// and decodes. stop() and shutdown() run their work on the I/O thread and
// wait for it, so that thread must be running the context (or the context
// must be stopped, in which case they act directly).
//
// Lifetime: destroying the receiver shuts it down (listener and open data
// connections closed). Handlers still pending on the I/O thread keep the
// parts they use alive until they have run, so nothing dangles and nothing
// leaks; the channel buffers go away with the last of them.
class NETDataReceiver {
public:
    static constexpr size_t kDefaultCapacity = 3000;       // samples per channel without a buffer size
    static constexpr size_t kReadScalarDataEntries = 3000; // entries of readScalarData's arrays

    explicit NETDataReceiver(asio::io_context& io);
    ~NETDataReceiver();
    NETDataReceiver(const NETDataReceiver&) = delete;
    NETDataReceiver& operator=(const NETDataReceiver&) = delete;

    // Host thread, before listen(): adds the buffer for the channel whose
    // block comes next in every packet. It holds `bufferSize` samples when
    // that is above 0, else kDefaultCapacity. sampleRate times the channel's
    // synchronous samples (see NETChannelBuffer).
    void addChannel(const ChannelRecord& record, int32_t bufferSize, double sampleRate);

    // Host thread: listens on `local` (port 0 picks a free port) and starts
    // accepting. Raises a Failure whose text says which step failed
    // (opening, address reuse, binding, listening). Sets running(). With an
    // expected peer, connections from any other address are closed unread
    // and counted in refusedConnections() (see NETDataListener).
    void listen(const asio::ip::tcp::endpoint& local, std::optional<asio::ip::address> expectedPeer = std::nullopt);
    // Listens on every IPv4 interface and takes connections from anyone.
    void listen(uint16_t port);

    // Host thread: closes the listening socket; open data connections and
    // buffered samples stay. Raises a Failure when cancelling the wait for
    // connections or closing fails. A second stop does nothing.
    void stop();

    // Host thread: stop(), then closes every open data connection. Errors are
    // ignored. Harmless when repeated.
    void shutdown() noexcept;

    // Set by a successful listen(), never cleared.
    bool running() const { return listening.load(std::memory_order_relaxed); }
    // The port listened on (useful after listen(0)); 0 before listen().
    uint16_t localPort() const;
    // Data connections closed because they did not come from the expected
    // peer. Any thread.
    uint64_t refusedConnections() const;

    // Host reads of the channel `id`. count is the number of samples wanted
    // on entry and delivered on return. Relative times are in seconds,
    // absolute ones in days. For an id without a buffer nothing is written.
    // Both return KX_ERR_DATA_OVERRUN (-21) once any channel buffer has
    // dropped samples, else 0; the samples are delivered either way.
    int readScalarData2(const std::string& id, double* values, double* times, size_t* count);
    int readScalarData2Abs(const std::string& id, double* values, double* times, size_t* count);

    // Allocates two arrays of kReadScalarDataEntries doubles with malloc
    // (the host releases them with free()), stores their addresses and moves
    // up to min(count, kReadScalarDataEntries) samples with relative times
    // into them. For an id without a buffer nothing is allocated or written.
    // If the allocation fails, both pointers are set to null and count to 0.
    void readScalarData(const std::string& id, double** values, double** times, size_t* count);

    // A framer that decodes into this receiver's buffers, for feeding the
    // bytes of one connection without a socket. Decoding is not thread-safe:
    // feed from one thread at a time, and not while the listener is active.
    std::unique_ptr<PacketFramer> makeFramer();

    BlockDecoder& decoder() { return *blockDecoder; }
    double startTime() const { return blockDecoder->startTime(); }
    bool overflowed() const { return blockDecoder->overflowed(); }

private:
    int read(const std::string& id, double* values, double* times, size_t* count, bool absolute);
    template <class Work>
    void onIoThread(Work&& work);

    asio::io_context& ioContext;
    std::shared_ptr<BlockDecoder> blockDecoder;
    std::shared_ptr<NETDataListener> dataListener;
    std::atomic<bool> listening{false};
};

} // namespace ktremote

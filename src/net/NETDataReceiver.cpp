// SPDX-License-Identifier: MIT
#include "net/NETDataReceiver.h"

#include "api/Failure.h"
#include "ktremote.h"
#include "net/NETDataListener.h"

#include <asio/post.hpp>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <future>

namespace ktremote {

NETDataReceiver::NETDataReceiver(asio::io_context& io) : ioContext(io), blockDecoder(std::make_shared<BlockDecoder>())
{
}

NETDataReceiver::~NETDataReceiver() { shutdown(); }

void NETDataReceiver::addChannel(const ChannelRecord& record, int32_t bufferSize, double sampleRate)
{
    if (dataListener)
        raise(KX_ERR_FAILED, "a channel cannot be added to a data receiver that listens already");
    const size_t capacity = bufferSize > 0 ? static_cast<size_t>(bufferSize) : kDefaultCapacity;
    blockDecoder->addBuffer(std::make_unique<NETChannelBuffer>(record, capacity, sampleRate));
}

void NETDataReceiver::listen(uint16_t port) { listen({asio::ip::address_v4::any(), port}); }

void NETDataReceiver::listen(const asio::ip::tcp::endpoint& local, std::optional<asio::ip::address> expectedPeer)
{
    if (dataListener)
        raise(KX_ERR_START_STEP4, "the data receiver listens already");
    auto listener = std::make_shared<NETDataListener>(ioContext, blockDecoder);
    listener->open(local, expectedPeer);
    dataListener = std::move(listener);
    listening.store(true, std::memory_order_relaxed);
}

uint16_t NETDataReceiver::localPort() const { return dataListener ? dataListener->port() : 0; }

uint64_t NETDataReceiver::refusedConnections() const { return dataListener ? dataListener->refused() : 0; }

// Runs work on the I/O thread and waits for it, so that it never races with
// a completion handler; directly when already there or when no thread runs
// the context any more. Exceptions are passed back to the caller.
template <class Work>
void NETDataReceiver::onIoThread(Work&& work)
{
    if (ioContext.stopped() || ioContext.get_executor().running_in_this_thread()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    asio::post(ioContext, [&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

void NETDataReceiver::stop()
{
    if (!dataListener)
        return;
    asio::error_code cancelError;
    asio::error_code closeError;
    onIoThread([&] { dataListener->stop(cancelError, closeError); });
    if (cancelError)
        raise(KX_ERR_FAILED, "the data listener's wait for connections cannot be cancelled");
    if (closeError)
        raise(KX_ERR_FAILED, "the data listener cannot be closed");
}

void NETDataReceiver::shutdown() noexcept
{
    if (!dataListener)
        return;
    try {
        onIoThread([&] { dataListener->shutdown(); });
    } catch (...) {
        // Nothing useful to report: the listener and connections are closed
        // or will close with the I/O context.
    }
}

int NETDataReceiver::read(const std::string& id, double* values, double* times, size_t* count, bool absolute)
{
    NETChannelBuffer* buffer = blockDecoder->findBuffer(id);
    if (count && values && times)
        // A channel that is not transferred delivers nothing, and the count
        // says so: a host that goes by it must not take the untouched
        // contents of its arrays for samples.
        *count = buffer ? buffer->take(values, times, *count, blockDecoder->startTimeSource(), absolute) : 0;
    // Checked after the read, so that a read that lost samples reports it.
    return blockDecoder->overflowed() ? KX_ERR_DATA_OVERRUN : KX_OK;
}

int NETDataReceiver::readScalarData2(const std::string& id, double* values, double* times, size_t* count)
{
    return read(id, values, times, count, false);
}

int NETDataReceiver::readScalarData2Abs(const std::string& id, double* values, double* times, size_t* count)
{
    return read(id, values, times, count, true);
}

void NETDataReceiver::readScalarData(const std::string& id, double** values, double** times, size_t* count)
{
    NETChannelBuffer* buffer = blockDecoder->findBuffer(id);
    if (!values || !times || !count)
        return;
    if (!buffer) {
        // Nothing is allocated for a channel that is not transferred.
        *count = 0;
        return;
    }
    const size_t limit = std::min(*count, kReadScalarDataEntries);
    auto* valueArray = static_cast<double*>(std::malloc(kReadScalarDataEntries * sizeof(double)));
    auto* timeArray = static_cast<double*>(std::malloc(kReadScalarDataEntries * sizeof(double)));
    if (!valueArray || !timeArray) {
        std::free(valueArray);
        std::free(timeArray);
        *values = nullptr;
        *times = nullptr;
        *count = 0;
        return;
    }
    *values = valueArray;
    *times = timeArray;
    *count = buffer->take(valueArray, timeArray, limit, blockDecoder->startTimeSource(), false);
}

std::unique_ptr<PacketFramer> NETDataReceiver::makeFramer() { return std::make_unique<PacketFramer>(*blockDecoder); }

} // namespace ktremote

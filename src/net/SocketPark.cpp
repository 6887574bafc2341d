// SPDX-License-Identifier: MIT
#include "SocketPark.h"

#include <system_error>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace ktremote {

namespace {

// Closes a descriptor that no socket object holds.
void closeDescriptor(asio::ip::tcp::socket::native_handle_type handle) noexcept
{
#if defined(_WIN32)
    ::closesocket(handle);
#else
    ::close(handle);
#endif
}

} // namespace

SocketPark::~SocketPark()
{
    if (handle)
        closeDescriptor(*handle);
}

void SocketPark::park(asio::ip::tcp::socket& socket) noexcept
{
    if (handle || !socket.is_open())
        return;
    std::error_code error;
    const asio::ip::tcp::endpoint local = socket.local_endpoint(error);
    if (error)
        return;
    const auto released = socket.release(error);
    if (error)
        return;
    protocol = local.protocol();
    handle = released;
}

void SocketPark::unpark(asio::ip::tcp::socket& socket) noexcept
{
    if (!handle)
        return;
    const auto parked = *handle;
    handle.reset();
    std::error_code error;
    socket.assign(protocol, parked, error);
    if (error)
        closeDescriptor(parked);
}

} // namespace ktremote

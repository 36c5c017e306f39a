#pragma once

// Plain sockets on 127.0.0.1 for the test's own small servers.

#include <cstdint>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Loopback {

inline sockaddr_in address(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

// A listening socket on a free port, which *port is set to; -1 when none could
// be made. Non-blocking unless a thread of its own waits in accept().
inline int listen(int *port, bool nonBlocking = true)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in bound = address(0);
    socklen_t length = sizeof(bound);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&bound), sizeof(bound)) != 0
        || ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        return -1;
    }
    *port = ntohs(bound.sin_port);
    return listener;
}

} // namespace Loopback

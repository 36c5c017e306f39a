#pragma once

#include <curl/curl.h>

#include <mutex>
#include <vector>

// The sockets one libcurl handle has open (FTP's control and data
// connections, SSH's one), kept so that any thread can cut them. A call stuck
// inside the library (libssh2 reading a greeting that never ends, say) never
// reaches a callback; only a socket that fails under it makes it return.
// Cutting shuts the sockets down and never closes them: the library owns the
// numbers and closes them itself, through closed() here, under the same lock,
// so a number is never cut once it may name something else.
// Platform code: curlsocket_unix.cpp.
class CurlSockets
{
public:
    CurlSockets() = default;
    CurlSockets(const CurlSockets &) = delete;
    CurlSockets &operator=(const CurlSockets &) = delete;

    // Learns of every socket the handle opens from now on.
    void attach(CURL *curl);
    // Shuts down every open socket, from any thread.
    void cut();
    // As cut(), and refuses the handle's next sockets until allow(): a
    // connection being made as the user cancels is not made.
    void cutAndRefuse();
    void allow();

private:
    static int opened(void *self, curl_socket_t socket, curlsocktype purpose);
    static int closed(void *self, curl_socket_t socket);
    void cutLocked();

    std::mutex mutex;
    std::vector<curl_socket_t> open;
    bool refusing = false;
};

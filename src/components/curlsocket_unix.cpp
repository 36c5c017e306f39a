#include "curlsocket_p.h"

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

void CurlSockets::attach(CURL *curl)
{
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &CurlSockets::opened);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CurlSockets::closed);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);
}

int CurlSockets::opened(void *self, curl_socket_t socket, curlsocktype)
{
    auto *sockets = static_cast<CurlSockets *>(self);
    std::lock_guard<std::mutex> lock(sockets->mutex);
    if (sockets->refusing)
        return CURL_SOCKOPT_ERROR;
    sockets->open.push_back(socket);
    return CURL_SOCKOPT_OK;
}

// Replaces the library's own close, so a closed number is never cut later.
int CurlSockets::closed(void *self, curl_socket_t socket)
{
    auto *sockets = static_cast<CurlSockets *>(self);
    std::lock_guard<std::mutex> lock(sockets->mutex);
    sockets->open.erase(std::remove(sockets->open.begin(), sockets->open.end(), socket), sockets->open.end());
    return ::close(socket);
}

void CurlSockets::cutLocked()
{
    // Both directions: a read waiting for the server ends, and so does a
    // write into a buffer the server never empties.
    for (curl_socket_t socket : open)
        ::shutdown(socket, SHUT_RDWR);
}

void CurlSockets::cut()
{
    std::lock_guard<std::mutex> lock(mutex);
    cutLocked();
}

void CurlSockets::cutAndRefuse()
{
    std::lock_guard<std::mutex> lock(mutex);
    refusing = true;
    cutLocked();
}

void CurlSockets::allow()
{
    std::lock_guard<std::mutex> lock(mutex);
    refusing = false;
}

#include "curlsocket_p.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

int socketOpened(void *tracked, curl_socket_t socket, curlsocktype purpose)
{
    if (purpose == CURLSOCKTYPE_IPCXN)
        *static_cast<curl_socket_t *>(tracked) = socket;
    return CURL_SOCKOPT_OK;
}

// Replaces the library's own close, so a closed number is never cut later.
int socketClosed(void *tracked, curl_socket_t socket)
{
    auto *current = static_cast<curl_socket_t *>(tracked);
    if (*current == socket)
        *current = CURL_SOCKET_BAD;
    return ::close(socket);
}

} // namespace

void cutConnection(CURL *curl)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

void trackSocket(CURL *curl, curl_socket_t *socket)
{
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &socketOpened);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, socket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &socketClosed);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, socket);
}

void cutSocket(curl_socket_t socket)
{
    if (socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

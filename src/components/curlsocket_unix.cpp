#include "curlsocket_p.h"

#include <sys/socket.h>

void cutConnection(CURL *curl)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

#pragma once

#include <curl/curl.h>

// Shuts down the connection the handle keeps open, so that its clean-up sends
// nothing and waits for nothing. Platform code: curlsocket_unix.cpp.
void cutConnection(CURL *curl);

// Keeps *socket at the handle's latest connection socket while it is open.
// The library names its socket only between transfers; this one can be cut
// (cutSocket) from a callback while a transfer runs.
void trackSocket(CURL *curl, curl_socket_t *socket);
void cutSocket(curl_socket_t socket);

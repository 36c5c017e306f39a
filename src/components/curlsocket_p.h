#pragma once

#include <curl/curl.h>

// Shuts down the connection the handle keeps open, so that its clean-up sends
// nothing and waits for nothing. Platform code: curlsocket_unix.cpp.
void cutConnection(CURL *curl);

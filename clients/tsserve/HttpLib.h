// cpp-httplib, as tsserve uses it. Include this, never httplib.h itself, so
// that every file sees the library with the same settings.
//
// The library bounds a request line and each header line, but not how many
// header lines come, nor how long a client may take to send them. Its socket
// reads go through RequestRecv, which holds each request to a byte and time
// budget (CRequestBudget); past it, the read fails and the connection ends.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>

struct CRequestBudget {
    static constexpr size_t kMaxBytes = 32 * 1024;
    static constexpr unsigned long long kMaxMs = 10000;

    // The connection's thread starts reading a request: from its first byte,
    // or after the previous response.
    static void StartRequest();
    // The request has been read and is being answered.
    static void RequestRead();
};

int RequestRecv(SOCKET socket, char* buffer, int size, int flags);

#define recv RequestRecv
#define CPPHTTPLIB_REQUEST_URI_MAX_LENGTH 2048
#define CPPHTTPLIB_HEADER_MAX_LENGTH 4096
#define CPPHTTPLIB_LISTEN_BACKLOG 64
#include "httplib.h"
#undef recv

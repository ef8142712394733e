#include "CHttpServer.h"

#include <ws2tcpip.h>

#include <cstring>

namespace {
constexpr size_t kMaxConnections = 256;
constexpr int kBacklog = 64;
constexpr long kAcceptSliceUs = 200000;  // how soon the acceptor sees a stop
}  // namespace

CHttpServer::CHttpServer(Handler handler) : handler_(std::move(handler)), threads_(kMaxConnections)
{
    WSADATA data;
    winsock_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

CHttpServer::~CHttpServer()
{
    Stop();
    if (winsock_) WSACleanup();
}

bool CHttpServer::Listen(const std::string& host, int port)
{
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (port < 1 || port > 65535 || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        !found)
        return false;
    SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    // Exclusive: another server on the same port is an error, not a
    // neighbour. Then address reuse, which Windows refuses beside it; where
    // sockets are POSIX ones underneath (Wine), it is what lets tsserve
    // start again while its last connections linger in TIME_WAIT.
    BOOL yes = TRUE;
    if (s != INVALID_SOCKET) {
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&yes), sizeof yes);
    }
    const bool ok = s != INVALID_SOCKET && bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                    listen(s, kBacklog) == 0;
    freeaddrinfo(found);
    if (!ok) {
        if (s != INVALID_SOCKET) closesocket(s);
        return false;
    }
    listeners_.push_back(s);
    return true;
}

void CHttpServer::Start()
{
    acceptor_ = std::thread(&CHttpServer::AcceptMain, this);
}

void CHttpServer::AcceptMain()
{
    while (!stopping_) {
        fd_set read;
        FD_ZERO(&read);
        for (SOCKET l : listeners_) FD_SET(l, &read);
        timeval tv{0, kAcceptSliceUs};
        if (select(0, &read, nullptr, nullptr, &tv) <= 0) continue;
        for (SOCKET l : listeners_) {
            if (!FD_ISSET(l, &read)) continue;
            SOCKET s = accept(l, nullptr, nullptr);
            if (s == INVALID_SOCKET) {
                Sleep(10);  // out of sockets or memory for a moment
                continue;
            }
            Accepted(s);
        }
    }
}

void CHttpServer::Accepted(SOCKET s)
{
    const DWORD writeMs = CHttpLimits::kWriteMs;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&writeMs), sizeof writeMs);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.insert(s);
    }
    threads_.Enqueue([this, s] { Serve(s); });
}

void CHttpServer::Serve(SOCKET socket)
{
    CHttpConnection connection(socket, stopping_);
    CHttpRequest request;
    while (connection.ReadRequest(request)) {
        handler_(request, connection);
        if (!connection.Answered()) connection.Send(500, "text/plain; charset=utf-8", "not answered\n");
        if (connection.Closing()) break;
    }
    // Unregistered before its socket closes: Stop never touches a closed socket.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(socket);
    }
    connection.Close();
}

void CHttpServer::Stop()
{
    if (stopping_.exchange(true)) return;
    if (acceptor_.joinable()) acceptor_.join();
    for (SOCKET l : listeners_) closesocket(l);
    listeners_.clear();
    {
        // Connections waiting for a request or writing wake up and end.
        std::lock_guard<std::mutex> lock(mutex_);
        for (SOCKET s : open_) shutdown(s, SD_BOTH);
    }
    threads_.Shutdown();
    std::lock_guard<std::mutex> lock(mutex_);
    for (SOCKET s : open_) closesocket(s);  // only those that never got a thread
    open_.clear();
}

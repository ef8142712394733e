// tsserve's HTTP/1.1 server: a listening socket, a thread per connection,
// and on each connection its requests answered in order by the handler.
// It is tsserve's own rather than a library's because what a live stream
// needs is at the connection: seeing at once that a viewer closed its
// connection while it waits for data, sending a stream's head before its
// first data, and keeping the bytes of a pipelined request for the next turn.
#pragma once
#include "CConnectionThreads.h"
#include "CHttpConnection.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class CHttpServer {
public:
    using Handler = std::function<void(const CHttpRequest&, CHttpConnection&)>;

    explicit CHttpServer(Handler handler);
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Binds host:port (an IPv4 or IPv6 address without brackets); false
    // when the address cannot be had. Called once per port, before Start.
    bool Listen(const std::string& host, int port);
    // Starts accepting on every port bound.
    void Start();
    // Ends every connection (handlers see Stopping and closed sockets) and
    // waits for their threads.
    void Stop();

private:
    void AcceptMain();
    void Accepted(SOCKET socket);
    void Serve(SOCKET socket);

    Handler handler_;
    bool winsock_ = false;
    std::vector<SOCKET> listeners_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    CConnectionThreads threads_;
    std::mutex mutex_;
    std::set<SOCKET> open_;
};

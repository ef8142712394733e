// tsserve's HTTP server: GNU libmicrohttpd, a daemon per port, each
// connection on a thread of its own (a stream holds its connection for as
// long as its viewer watches, and its handler and body wait for the tuner).
// Each request's head is checked before the library reads it (CRecvGate);
// the library reads it and speaks HTTP/1.1 (HEAD, Connection, persistent
// connections, pipelined requests in order); the handler gets each request
// once it has been read whole. Who holds the connections is bounded
// (CConnectionBudget).
#pragma once
#include "CHttpConnection.h"
#include "CConnectionBudget.h"
#include "HttpRequest.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct MHD_Daemon;
struct CHttpServerCalls;

class CHttpServer {
public:
    using Handler = std::function<void(const CHttpRequest&, CHttpConnection&)>;
    using Log = std::function<void(const std::string&)>;

    // What a handler or a stream's body throws ends at the server: the
    // request is answered 500 if nothing was sent yet, its connection ends,
    // and `log` gets a line; the server serves on.
    CHttpServer(Handler handler, Log log);
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Binds host:port (an IPv4 or IPv6 address without brackets); false
    // when the address cannot be had. Called once per port, before Start.
    bool Listen(const std::string& host, int port);
    // Starts answering on every port bound; false when the server's threads
    // cannot be started.
    bool Start();
    // Ends every connection (handlers and stream bodies see Stopping) and
    // waits for their threads.
    void Stop();

private:
    friend struct CHttpServerCalls;
    struct Port {
        CHttpServer* server;
        int port;
        SOCKET socket;  // until Start gives it to the library
        MHD_Daemon* daemon;
    };

    Handler handler_;
    const Log log_;
    bool winsock_ = false;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<Port>> ports_;
    CConnectionBudget budget_;
};

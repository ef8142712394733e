// How long a client may take to send a request. The HTTP server ends a
// connection that stays idle for a while, but a request that trickles in a
// byte at a time is never idle: this closes such a connection once its
// request has taken longer than a bound, counted from the connection's start
// or the end of its last answer, until the request has been read whole.
#pragma once
#include <winsock2.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

class CRequestDeadlines {
public:
    explicit CRequestDeadlines(unsigned requestMs) : requestMs_(requestMs) {}
    ~CRequestDeadlines();
    CRequestDeadlines(const CRequestDeadlines&) = delete;
    CRequestDeadlines& operator=(const CRequestDeadlines&) = delete;

    void Start();
    void Stop();

    // `connection` identifies a connection; its socket stays open until Closed.
    void Opened(const void* connection, SOCKET socket);
    // Its request has been read: no bound while it is answered.
    void Read(const void* connection);
    // Its answer has gone out: the next request is bounded from now.
    void Answered(const void* connection);
    void Closed(const void* connection);

private:
    void Main();

    const unsigned requestMs_;
    struct Entry {
        SOCKET socket;
        unsigned long long deadline;  // 0: none
    };
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Entry> open_;
    bool stop_ = false;
    std::thread thread_;
};

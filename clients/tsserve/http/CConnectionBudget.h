// Who may hold the HTTP server's connections, and for how long. Each port
// takes a bounded number at a time, in three uses:
// - waiting for a request (a new connection, or one kept between requests),
//   each for a bounded time (a request that trickles in a byte at a time is
//   never idle, so the time is counted from the connection's start or the end
//   of its last answer); a bounded number per port and per peer, the oldest
//   (waiting a second or more) cut first when a newcomer needs the room;
// - a stream (until its connection closes), a bounded number per port and
//   per peer, so that streams never take the room short requests need;
// - a request being answered.
// A newcomer for whom no waiting connection can be cut is refused before
// the server takes it (no thread is started for it).
#pragma once
#include <winsock2.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class CConnectionBudget {
public:
    struct Limits {
        unsigned requestMs;  // for a request to come
        size_t connections;  // per port
        size_t waiting, peerWaiting;
        size_t streams, peerStreams;
    };
    explicit CConnectionBudget(const Limits& limits) : limits_(limits) {}
    ~CConnectionBudget();
    CConnectionBudget(const CConnectionBudget&) = delete;
    CConnectionBudget& operator=(const CConnectionBudget&) = delete;

    void Start();
    void Stop();

    // Whether a newcomer on `port` from `peer` (its address) may be had,
    // cutting a waiting connection to make room where it must. False: no room.
    bool Admit(int port, const std::string& peer);
    // A connection admitted, which `connection` identifies; its socket stays
    // open until Closed.
    void Opened(const void* connection, SOCKET socket, int port, const std::string& peer);
    // Its request has been read: no bound while it is answered.
    void Read(const void* connection);
    // Its answer has gone out: the next request is bounded from now.
    void Answered(const void* connection);
    // Its answer is to be a stream: false when its port or its peer has as
    // many as it may.
    bool Stream(const void* connection);
    void Closed(const void* connection);

private:
    struct Entry {
        SOCKET socket;
        int port;
        std::string peer;
        unsigned long long deadline;  // waiting for a request until then; 0: not waiting
        bool streaming = false;
        bool cut = false;  // shut: no longer counted
    };
    void Main();
    // The connection waiting longest among those `match` takes; false when none.
    template <class Match> bool CutOldest(Match match);
    void Cut(Entry& e);

    const Limits limits_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Entry> open_;
    bool stop_ = false;
    std::thread thread_;
};

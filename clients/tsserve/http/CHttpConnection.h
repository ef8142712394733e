// How a handler answers a request through the HTTP server (libmicrohttpd):
// a whole answer, or the head of a live stream whose body the server then
// pulls from an IHttpStream whenever the connection can take more. The
// server adds Date, the length and Connection itself, and sends HEAD the head
// alone.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;

using HttpFields = std::vector<std::pair<std::string, std::string>>;
using HttpLog = std::function<void(const std::string&)>;

// Inside a catch block: a line for the exception being handled, "fault in
// answering REQUEST (WHAT); OUTCOME". Never throws.
void ReportFault(const HttpLog& log, const std::string& request, const char* outcome);

// The peer of a request, for as long as its answer is given (a stream's
// included): whether it has left, and whether the server is stopping.
class CHttpPeer {
public:
    CHttpPeer(SOCKET socket, const std::atomic<bool>& stopping) : socket_(socket), stopping_(&stopping) {}
    // The peer closed its end (a closed connection reads as zero bytes) or
    // reset it. Safe from any thread: it only peeks.
    bool Gone() const;
    bool Stopping() const { return stopping_->load(); }

private:
    SOCKET socket_;
    const std::atomic<bool>* stopping_;
};

// The body of a live stream, pulled by the server on the connection's thread.
class IHttpStream {
public:
    virtual ~IHttpStream() = default;
    // Up to max bytes into data, waiting for them for as long as the stream
    // lasts; 0 when it has ended. Its waits are its own to bound: the
    // connection's idle time-out is off while it waits.
    virtual size_t Read(uint8_t* data, size_t max) = 0;
};

class CHttpConnection {
public:
    // log and label: where a stream's body that throws is reported, and as what.
    CHttpConnection(MHD_Connection* connection, const CHttpPeer& peer, const HttpLog* log = nullptr,
                    std::string label = {})
        : connection_(connection), peer_(peer), log_(log), label_(std::move(label))
    {
    }

    // A whole answer, with its length.
    void Send(int status, const std::string& contentType, const std::string& body, const HttpFields& extra = {});
    // The head of a live stream goes out as soon as the handler returns: 200,
    // no length, and the connection closes after the stream. Its body is
    // read from `body` (none for HEAD); the server ends the body when that
    // returns 0, or the connection when a send cannot go out in time.
    void StartStream(const std::string& contentType, const HttpFields& extra, std::unique_ptr<IHttpStream> body);
    bool Answered() const { return answered_; }
    // Off while the handler waits long before it answers (a programme's
    // stream held until its start); on again, counted from then, before it
    // answers.
    void IdleTimeout(bool on);
    // Asked before a stream's head goes out: false when no more streams may
    // be had (the request is then answered 503).
    void LimitStreams(std::function<bool()> mayStream) { mayStream_ = std::move(mayStream); }

    const CHttpPeer& Peer() const { return peer_; }
    bool Gone() const { return peer_.Gone(); }
    bool Stopping() const { return peer_.Stopping(); }

private:
    MHD_Connection* const connection_;
    const CHttpPeer peer_;
    const HttpLog* const log_;
    const std::string label_;
    std::function<bool()> mayStream_;
    bool answered_ = false;
};

struct CHttpLimits {
    static constexpr size_t kBody = 4096;          // more: 413, or the connection closes
    static constexpr unsigned kIdleSeconds = 5;    // between requests, and for a send to go out
    static constexpr unsigned kRequestMs = 10000;  // a whole request; slower: the connection closes
    // Per port: connections at once (more are refused with 503), of which
    // waiting for a request (the longest waiting is cut for a newcomer) and
    // streams (more are answered 503): streams leave room for short
    // requests. Per peer, of those: waiting, and streams.
    static constexpr unsigned kConnections = 256;
    static constexpr unsigned kWaiting = 64, kPeerWaiting = 32;
    static constexpr unsigned kStreams = 192, kPeerStreams = 64;
    // The library's own count, above which it leaves connections unaccepted:
    // room for those it accepts only to refuse.
    static constexpr unsigned kAccepted = kConnections + 64;
    // A connection's memory in the library: the read buffer takes half, the
    // head's fields and query parameters (checked before: 32 kB, 100 fields,
    // 500 parameters) and the answer's head the rest.
    static constexpr size_t kPool = 128 * 1024;
    static constexpr size_t kStreamBlock = 64 * 1024;  // what a stream's body is read in
    // Each connection thread's stack reservation. The deepest use measured,
    // over every test of tsserve (the documents, the guide's XMLTV, scans
    // started and streams read), is 59 kB on the 64-bit build under Wine:
    // the libraries' and Winsock's calls under the handler. No handler
    // recurses over input (nlohmann's JSON is written a level per call, a
    // handful deep) or decodes ARIB text (libaribb24 runs on the tuner
    // feeds' threads); four times the measure leaves room for the system's
    // own DLLs, hooks that others inject, and an exception's unwinding.
    static constexpr size_t kThreadStack = 256 * 1024;
};

// One client's TCP connection to tsserve's HTTP server: its requests read in
// turn (pipelined ones kept for later, in order), and the answers a handler
// gives through it. A request that breaks the grammar or a bound is answered
// here, and the connection closes after it.
#pragma once
#include "HttpRequest.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct CHttpLimits {
    static constexpr size_t kRequestLine = 2048;   // longer: 414
    static constexpr size_t kFieldLine = 4096;     // longer: 431
    static constexpr size_t kHead = 32 * 1024;     // the whole head; more: 431
    static constexpr size_t kBody = 4096;          // more: 413
    static constexpr unsigned kIdleMs = 5000;      // between requests
    static constexpr unsigned kRequestMs = 10000;  // a request from its first byte; slower: 408
    static constexpr unsigned kWriteMs = 5000;     // a send that cannot go out sooner ends the connection
    static constexpr int kRequestsPerConnection = 100;
};

class CHttpConnection {
public:
    CHttpConnection(SOCKET socket, const std::atomic<bool>& stopping);

    // The next request, when one comes; false when the connection is to end
    // (the peer closed it, it idled, or a broken request was answered).
    bool ReadRequest(CHttpRequest& request);
    // Whether the connection ends after the answer being given.
    bool Closing() const { return close_; }
    bool Answered() const { return answered_; }
    // Ends the connection: what was sent reaches the peer before it closes.
    void Close();

    // A whole answer. HEAD gets its head alone. The connection adds Date,
    // Content-Length and, when it is to close, Connection: close.
    void Send(int status, const std::string& contentType, const std::string& body, const HttpFields& extra = {});
    // The head of a live stream: no length, so the connection closes after
    // the stream. HEAD gets the head alone. False when the peer is gone.
    bool StartStream(const std::string& contentType, const HttpFields& extra = {});
    bool Write(const void* data, size_t size);
    // The peer closed its end (a closed connection reads as zero bytes) or reset it.
    bool Gone();
    bool Stopping() const { return stopping_.load(); }

private:
    enum class Wait { Ready, Timeout, Closed };
    Wait WaitReadable(unsigned ms);
    // Reads more into the buffer: false when the peer closed or failed.
    bool Receive();
    bool WriteAll(const char* data, size_t size);
    // The answer to a request that cannot be served; the connection ends.
    bool Refuse(int status, const char* reason);
    std::string Head(int status, const HttpFields& fields) const;

    const SOCKET socket_;
    const std::atomic<bool>& stopping_;
    std::string buffer_;  // read and not yet taken: the rest of a pipelined request
    int requests_ = 0;
    bool head_ = false;   // the request being answered is HEAD
    int minorVersion_ = 1;
    bool close_ = false;
    bool answered_ = false;
    std::atomic<bool> failed_{false};  // a send failed: nothing more goes out
};

// Texts of the status codes tsserve answers with.
const char* HttpReason(int status);

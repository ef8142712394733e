// A request's head and body framing, read before the HTTP server
// (libmicrohttpd) sees them. The library is lenient where proxies in front
// of tsserve would read a request otherwise (two lengths, a space before a
// colon, folded lines, codings it does not know), cuts a path at an escaped
// NUL, and answers some faults with its head twice: each head is checked
// here whole, and a request refused here never reaches it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct CHeadLimits {
    static constexpr size_t kHead = 32 * 1024;    // request line or whole head; more: 414 or 431
    static constexpr size_t kFields = 100;        // header fields; more: 431
    static constexpr size_t kParameters = 500;    // query parameters; more: 414
    static constexpr uint64_t kBody = 4096;       // a body's Content-Length; more: 413
};

// The outcome of a head: good (status 0) with how its body is framed, or a
// refusal with its status and a line saying why.
struct CHeadVerdict {
    enum class Body { None, Length, Chunked };
    int status = 0;
    std::string reason;
    Body body = Body::None;
    uint64_t length = 0;  // Body::Length
    // A good head as the server is given it: each line ending in CRLF, each
    // field "Name: value" with the value's surrounding spaces and tabs taken
    // off, so that the server reads what was checked.
    std::string canonical;
};

// Gathers one head from the bytes that come, up to the empty line that ends
// it (empty lines before the request line are skipped, as clients may send
// them between requests).
class CHeadReader {
public:
    // How many of the n bytes belong to the head (up to its end); the rest
    // are the next thing on the connection.
    size_t Feed(const char* data, size_t n);
    bool Done() const { return done_; }
    // Once Done: the verdict on the head (empty lines before it left out).
    const CHeadVerdict& Verdict() const { return verdict_; }
    void Reset();

private:
    void Refuse(int status, const char* reason);

    std::string head_;
    size_t skipped_ = 0;  // empty lines before the request line
    bool lineEnded_ = false;  // the request line is whole
    bool done_ = false;
    CHeadVerdict verdict_;
};

// The whole head checked: request line, fields, framing of the body.
CHeadVerdict CheckHead(const std::string& head);

// Follows a chunked body to its end (after its trailer), so that the next
// request on the connection is found where it starts.
class CChunkReader {
public:
    // How many of the n bytes belong to the body; Done or Bad then tell.
    size_t Feed(const char* data, size_t n);
    bool Done() const { return state_ == State::End; }
    bool Bad() const { return state_ == State::Bad; }
    uint64_t DataBytes() const { return data_; }  // of the chunks so far

private:
    enum class State { Size, Extension, SizeEnd, Data, DataCr, DataLf, Trailer, End, Bad };
    State state_ = State::Size;
    uint64_t size_ = 0, data_ = 0;
    size_t digits_ = 0, line_ = 0, trailer_ = 0;
};

// The answer to a refused request, as the server sends it: one head
// (Connection: close) and a short HTML page. `fields`: more header lines,
// each ending in CRLF (Server, Date).
std::string RefusalAnswer(int status, const std::string& reason, const std::string& fields);

#include "CHttpConnection.h"

#include <windows.h>

#include <cstdio>
#include <tuple>

namespace {

constexpr size_t kReadPiece = 8192;
constexpr unsigned kLingerMs = 1000;
constexpr size_t kLingerBytes = 64 * 1024;  // a client that sends on past this is cut off

std::string HttpDate()
{
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u GMT", kDays[t.wDayOfWeek % 7], t.wDay,
                  kMonths[(t.wMonth + 11) % 12], t.wYear, t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Where the head ends: the index just past its empty line, or npos. `lineEnd`
// gets where the head's last line ends.
size_t HeadEnd(const std::string& s, size_t& lineEnd)
{
    for (size_t lf = s.find('\n'); lf != std::string::npos; lf = s.find('\n', lf + 1)) {
        if (lf + 1 < s.size() && s[lf + 1] == '\n') {
            lineEnd = lf;
            return lf + 2;
        }
        if (lf + 2 < s.size() && s[lf + 1] == '\r' && s[lf + 2] == '\n') {
            lineEnd = lf;
            return lf + 3;
        }
    }
    return std::string::npos;
}

// The status for a head (whole or not yet) whose lines break a bound; 0 when none does.
int LineBound(const std::string& s, size_t size)
{
    size_t at = 0;
    bool first = true;
    while (at < size) {
        size_t lf = s.find('\n', at);
        const bool whole = lf != std::string::npos && lf < size;
        const size_t length = (whole ? lf : size) - at;
        if (first && length > CHttpLimits::kRequestLine) return 414;
        if (!first && length > CHttpLimits::kFieldLine) return 431;
        if (!whole) break;
        first = false;
        at = lf + 1;
    }
    return size > CHttpLimits::kHead ? 431 : 0;
}

}  // namespace

const char* HttpReason(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    }
    return "Unknown";
}

CHttpConnection::CHttpConnection(SOCKET socket, const std::atomic<bool>& stopping)
    : socket_(socket), stopping_(stopping)
{
}

CHttpConnection::Wait CHttpConnection::WaitReadable(unsigned ms)
{
    fd_set read;
    FD_ZERO(&read);
    FD_SET(socket_, &read);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    const int n = select(0, &read, nullptr, nullptr, &tv);
    if (n == 0) return Wait::Timeout;
    return n > 0 ? Wait::Ready : Wait::Closed;
}

bool CHttpConnection::Receive()
{
    char piece[kReadPiece];
    const int n = recv(socket_, piece, sizeof piece, 0);
    if (n <= 0) return false;
    buffer_.append(piece, static_cast<size_t>(n));
    return true;
}

bool CHttpConnection::ReadRequest(CHttpRequest& request)
{
    head_ = false;
    answered_ = false;
    minorVersion_ = 1;
    if (close_ || failed_ || stopping_) return false;
    ULONGLONG started = 0;
    size_t headEnd = std::string::npos, lineEnd = 0;
    for (;;) {
        // Empty lines before a request are skipped, as RFC 9112 asks.
        size_t blank = 0;
        while (blank < buffer_.size() && (buffer_[blank] == '\r' || buffer_[blank] == '\n')) ++blank;
        buffer_.erase(0, blank);
        if (!buffer_.empty() && !started) started = GetTickCount64();
        headEnd = HeadEnd(buffer_, lineEnd);
        const int bound = LineBound(buffer_, headEnd == std::string::npos ? buffer_.size() : lineEnd);
        if (bound) return Refuse(bound, bound == 414 ? "request line too long" : "request head too large");
        if (headEnd != std::string::npos) break;
        unsigned waitMs = CHttpLimits::kIdleMs;
        if (started) {
            const ULONGLONG spent = GetTickCount64() - started;
            if (spent >= CHttpLimits::kRequestMs) return Refuse(408, "the request took too long to come");
            waitMs = static_cast<unsigned>(CHttpLimits::kRequestMs - spent);
        }
        const Wait w = WaitReadable(waitMs);
        if (w == Wait::Timeout && !started) return false;  // idle: the connection ends quietly
        if (w == Wait::Timeout) continue;                   // the budget check above answers
        if (w == Wait::Closed || !Receive()) return false;
    }

    const std::string head = buffer_.substr(0, lineEnd);
    request = CHttpRequest();
    const int status = ParseRequestHead(head, request);
    minorVersion_ = request.minorVersion;
    head_ = request.method == "HEAD";
    if (status) return Refuse(status, status == 505 ? "only HTTP/1.x is served" : "malformed request");
    // HTTP/1.1 names the host it asks; one Host field, always.
    if ((request.minorVersion >= 1 && request.FieldCount("Host") == 0) || request.FieldCount("Host") > 1)
        return Refuse(400, "malformed request: one Host field is required");
    const long long length = RequestBodyLength(request);
    if (length < 0) return Refuse(400, "malformed request: a body is taken with a Content-Length only");
    if (length > static_cast<long long>(CHttpLimits::kBody)) return Refuse(413, "request too large");
    if (request.FieldCount("Expect")) {
        if (!request.FieldHasToken("Expect", "100-continue")) return Refuse(417, "unknown expectation");
        const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
        if (length > 0 && static_cast<long long>(buffer_.size() - headEnd) < length && !WriteAll(go.data(), go.size()))
            return false;
    }
    while (static_cast<long long>(buffer_.size() - headEnd) < length) {
        const ULONGLONG spent = GetTickCount64() - started;
        if (spent >= CHttpLimits::kRequestMs) return Refuse(408, "the request took too long to come");
        const Wait w = WaitReadable(static_cast<unsigned>(CHttpLimits::kRequestMs - spent));
        if (w == Wait::Closed || (w == Wait::Ready && !Receive())) return false;
    }
    request.body = buffer_.substr(headEnd, static_cast<size_t>(length));
    buffer_.erase(0, headEnd + static_cast<size_t>(length));
    request.receivedMs = GetTickCount64();

    sockaddr_storage peer{}, local{};
    int peerSize = sizeof peer, localSize = sizeof local;
    getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &peerSize);
    getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &localSize);
    for (auto [from, address, port] : {std::tuple{&peer, &request.remoteAddr, &request.remotePort},
                                       std::tuple{&local, &request.localAddr, &request.localPort}}) {
        char text[INET6_ADDRSTRLEN] = {};
        if (from->ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(from);
            inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            *port = ntohs(a->sin6_port);
        } else {
            const auto* a = reinterpret_cast<const sockaddr_in*>(from);
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            *port = ntohs(a->sin_port);
        }
        *address = text;
    }

    ++requests_;
    close_ = request.FieldHasToken("Connection", "close") ||
             (request.minorVersion == 0 && !request.FieldHasToken("Connection", "keep-alive")) ||
             requests_ >= CHttpLimits::kRequestsPerConnection;
    return true;
}

bool CHttpConnection::Refuse(int status, const char* reason)
{
    close_ = true;
    Send(status, "text/plain; charset=utf-8", std::string(reason) + "\n");
    return false;
}

std::string CHttpConnection::Head(int status, const HttpFields& fields) const
{
    // An HTTP/1.0 client is answered as HTTP/1.1 (RFC 9110 2.5): it reads the
    // major version only.
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + HttpReason(status) + "\r\nDate: " + HttpDate() +
                       "\r\nServer: tsserve\r\n";
    for (const auto& f : fields) head += f.first + ": " + f.second + "\r\n";
    if (close_) head += "Connection: close\r\n";
    else if (minorVersion_ == 0) head += "Connection: keep-alive\r\n";
    return head + "\r\n";
}

void CHttpConnection::Send(int status, const std::string& contentType, const std::string& body, const HttpFields& extra)
{
    answered_ = true;
    if (stopping_) close_ = true;
    HttpFields fields;
    if (!contentType.empty()) fields.emplace_back("Content-Type", contentType);
    fields.emplace_back("Content-Length", std::to_string(body.size()));
    fields.insert(fields.end(), extra.begin(), extra.end());
    std::string out = Head(status, fields);
    if (!head_) out += body;
    if (!WriteAll(out.data(), out.size())) close_ = true;
}

bool CHttpConnection::StartStream(const std::string& contentType, const HttpFields& extra)
{
    answered_ = true;
    close_ = true;
    HttpFields fields{{"Content-Type", contentType}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    const std::string out = Head(200, fields);
    return WriteAll(out.data(), out.size()) && !head_;
}

bool CHttpConnection::Write(const void* data, size_t size)
{
    return WriteAll(static_cast<const char*>(data), size);
}

bool CHttpConnection::WriteAll(const char* data, size_t size)
{
    // Each send is bounded by the socket's send time-out (kWriteMs).
    while (size > 0 && !failed_) {
        const int n = send(socket_, data, size > 0x10000 ? 0x10000 : static_cast<int>(size), 0);
        if (n <= 0) {
            failed_ = true;
            break;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return !failed_;
}

bool CHttpConnection::Gone()
{
    if (failed_) return true;
    if (WaitReadable(0) != Wait::Ready) return false;
    char c;
    const int n = recv(socket_, &c, 1, MSG_PEEK);
    return n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
}

void CHttpConnection::Close()
{
    // Closing with unread bytes would reset the connection and could destroy
    // the answer on its way: the sending side is shut first and what the peer
    // still sends is read away, briefly and up to a bound.
    shutdown(socket_, SD_SEND);
    const ULONGLONG until = GetTickCount64() + kLingerMs;
    char sink[4096];
    size_t drained = 0;
    for (ULONGLONG now = GetTickCount64(); now < until && drained < kLingerBytes; now = GetTickCount64()) {
        if (WaitReadable(static_cast<unsigned>(until - now)) != Wait::Ready) break;
        const int n = recv(socket_, sink, sizeof sink, 0);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    closesocket(socket_);
}

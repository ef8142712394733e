#include "HttpViewer.h"

#include "SimStream.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace {

double Ticks()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart);
}

double TicksPerMs()
{
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart) / 1000.0;
    }();
    return perMs;
}

}  // namespace

bool CHttpViewer::Start()
{
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    const std::string request = "GET " + path_ + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(socket_, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size()))
        return false;
    thread_ = std::thread(&CHttpViewer::Main, this);
    return true;
}

void CHttpViewer::Stop()
{
    stop_ = true;
    if (socket_ != INVALID_SOCKET) shutdown(socket_, SD_BOTH);
    if (thread_.joinable()) thread_.join();
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

void CHttpViewer::ResetFigures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool ended = figures_.ended;
    figures_ = Figures();
    figures_.ended = ended;
}

CHttpViewer::Figures CHttpViewer::Read() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_;
}

void CHttpViewer::Packet(const uint8_t* p, double nowTicks)
{
    SimPayload payload;
    if (!ParseSimPayload(p, payload, true)) return;
    long long stamp = 0;
    std::memcpy(&stamp, p + kSimStampOffset, 8);
    const double ms = (nowTicks - double(stamp)) / TicksPerMs();
    ++figures_.stamped;
    figures_.latencySumMs += ms;
    if (ms > figures_.latencyMaxMs) figures_.latencyMaxMs = ms;
}

void CHttpViewer::Main()
{
    std::vector<char> buffer(256 * 1024);
    std::string header;
    bool inBody = false;
    while (!stop_) {
        const int n = recv(socket_, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            figures_.ended = true;
            return;
        }
        const uint8_t* data = reinterpret_cast<const uint8_t*>(buffer.data());
        size_t size = static_cast<size_t>(n);
        if (!inBody) {
            header.append(buffer.data(), size);
            const size_t end = header.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            // The body starts at a packet boundary.
            const size_t bodyAt = end + 4 - (header.size() - size);
            data += bodyAt;
            size -= bodyAt;
            inBody = true;
        }
        const double now = Ticks();
        std::lock_guard<std::mutex> lock(mutex_);
        figures_.bytes += size;
        while (size > 0) {
            const size_t take = size < 188 - partialSize_ ? size : 188 - partialSize_;
            if (partialSize_ == 0 && size >= 188) {
                Packet(data, now);
                data += 188;
                size -= 188;
                continue;
            }
            std::memcpy(partial_ + partialSize_, data, take);
            partialSize_ += take;
            data += take;
            size -= take;
            if (partialSize_ == 188) {
                Packet(partial_, now);
                partialSize_ = 0;
            }
        }
    }
}

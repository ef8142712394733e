// tsserve's HTTP server (libmicrohttpd underneath) with handlers of the
// test's own: what a handler or a stream's body throws ends at the server,
// which serves on; and a connection's thread reserves the stack the server
// asks for, not the executable's default.
#include "CHttpServer.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

int FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    int size = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    closesocket(s);
    return ntohs(a.sin_port);
}

// All that came back on a connection of its own until the server closed it.
std::string Exchange(int port, const std::string& request)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeoutMs = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeoutMs), sizeof timeoutMs);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    std::string got;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
        char buf[4096];
        for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    return got;
}

// The calling thread's stack reservation.
size_t StackReservation()
{
    MEMORY_BASIC_INFORMATION m{};
    VirtualQuery(&m, &m, sizeof m);
    const void* const stack = m.AllocationBase;
    size_t size = 0;
    // Its regions (reserved, guard, committed) one after the other.
    while (VirtualQuery(static_cast<const char*>(stack) + size, &m, sizeof m) && m.AllocationBase == stack)
        size += m.RegionSize;
    return size;
}

class CThrowingBody : public IHttpStream {
public:
    size_t Read(uint8_t*, size_t) override { throw std::runtime_error("the body broke"); }
};

}  // namespace

TEST(Tsserve, HttpServerSurvivesWhatHandlersThrowAndReservesSmallStacks)
{
    std::mutex mutex;
    std::vector<std::string> lines;
    CHttpServer server(
        [](const CHttpRequest& r, CHttpConnection& c) {
            if (r.path == "/throw") c.Send(200, "text/plain", std::string("ab").substr(3));
            if (r.path == "/stream") c.StartStream("video/mp2t", {}, std::make_unique<CThrowingBody>());
            c.Send(200, "text/plain", std::to_string(StackReservation()));
        },
        [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        });
    const int port = FreePort();
    ASSERT_TRUE(server.Listen("127.0.0.1", port));
    ASSERT_TRUE(server.Start());

    const std::string fault = Exchange(port, "GET /throw HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(fault.rfind("HTTP/1.1 500 ", 0), 0u) << fault;
    const std::string stream = Exchange(port, "GET /stream HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(stream.rfind("HTTP/1.1 200 ", 0), 0u) << stream;
    EXPECT_EQ(stream.substr(stream.find("\r\n\r\n") + 4), "");
    const std::string ok = Exchange(port, "GET /ok HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(ok.rfind("HTTP/1.1 200 ", 0), 0u) << ok;
    // Windows reserves what is asked, in steps of 64 kB; Wine 1 MB at least.
    EXPECT_LE(std::stoull(ok.substr(ok.find("\r\n\r\n") + 4)), std::max<size_t>(CHttpLimits::kThreadStack, 1 << 20));
    server.Stop();

    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("fault in answering GET /throw from 127.0.0.1:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("substr"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("answered 500"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("fault in answering GET /stream from 127.0.0.1:", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("the body broke"), std::string::npos) << lines[1];
}

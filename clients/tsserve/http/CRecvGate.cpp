#include "CRecvGate.h"

#include "HeadCheck.h"
#include "Version.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {
int WSAAPI GateRecv(SOCKET s, char* buf, int len, int flags);
}  // namespace

// The import's name as --wrap takes it, and the symbols it makes of it (with
// the target's prefix of C names: "_" on i686, whose recv is __stdcall).
#ifdef _WIN64
#define TSSERVE_RECV_IMPORT "__imp_recv"
#else
#define TSSERVE_RECV_IMPORT "_imp__recv@16"
#endif
#define TSSERVE_QUOTE(x) #x
#define TSSERVE_TEXT(x) TSSERVE_QUOTE(x)
#define TSSERVE_SYMBOL(name) TSSERVE_TEXT(__USER_LABEL_PREFIX__) name
using RecvCall = int(WSAAPI*)(SOCKET, char*, int, int);
extern "C" RecvCall realRecv __asm__(TSSERVE_SYMBOL("__real_" TSSERVE_RECV_IMPORT));
extern "C" RecvCall wrappedRecv __asm__(TSSERVE_SYMBOL("__wrap_" TSSERVE_RECV_IMPORT));
RecvCall wrappedRecv = GateRecv;

namespace {

constexpr DWORD kWaitMs = 100;     // between looks at the server's stop while a head comes
constexpr DWORD kDrainMs = 1000;   // a refused peer's time to stop sending
constexpr size_t kDrainBytes = 256 * 1024;

int WSAAPI GateRecv(SOCKET s, char* buf, int len, int flags)
{
    return CRecvGate::Instance().Recv(s, buf, len, flags);
}

// Waits up to ms for s to be readable (or closed); false on time-out.
bool Readable(SOCKET s, DWORD ms)
{
    fd_set read;
    FD_ZERO(&read);
    FD_SET(s, &read);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &read, nullptr, nullptr, &wait) != 0;
}

std::string AnswerFields()
{
    SYSTEMTIME t;
    GetSystemTime(&t);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char date[64];
    std::snprintf(date, sizeof date, "%s, %02u %s %04u %02u:%02u:%02u GMT", days[t.wDayOfWeek % 7], t.wDay,
                  months[(t.wMonth + 11) % 12], t.wYear, t.wHour, t.wMinute, t.wSecond);
    return std::string("Server: tsserve/" TUNERHOST_VERSION " (TunerHost)\r\nDate: ") + date + "\r\n";
}

}  // namespace

struct CRecvGate::Conn {
    const std::atomic<bool>* stopping;
    unsigned idleMs;
    bool closed = false;  // answered here: the library sees the connection end
    enum class Phase { Head, Length, Chunked } phase = Phase::Head;
    CHeadReader head;
    std::string release;  // a checked head, given to the library as it asks
    size_t released = 0;
    uint64_t remaining = 0;  // Phase::Length
    CChunkReader chunks;
};

CRecvGate& CRecvGate::Instance()
{
    static CRecvGate gate;
    return gate;
}

void CRecvGate::Add(SOCKET s, const std::atomic<bool>* stopping, unsigned idleMs)
{
    auto conn = std::make_shared<Conn>();
    conn->stopping = stopping;
    conn->idleMs = idleMs;
    std::lock_guard<std::mutex> lock(mutex_);
    conns_[s] = conn;
}

void CRecvGate::Remove(SOCKET s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    conns_.erase(s);
}

void CRecvGate::Refuse(SOCKET s, int status, const std::string& reason)
{
    const std::string answer = RefusalAnswer(status, reason, AnswerFields());
    for (size_t at = 0; at < answer.size();) {
        const int n = send(s, answer.data() + at, static_cast<int>(answer.size() - at), 0);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) break;
        fd_set write;
        FD_ZERO(&write);
        FD_SET(s, &write);
        timeval wait{1, 0};
        if (select(0, nullptr, &write, nullptr, &wait) <= 0) break;
    }
    shutdown(s, SD_SEND);
    Drain(s);
}

void CRecvGate::Drain(SOCKET s)
{
    // What the peer still sends is read and dropped for a moment: a socket
    // closed with unread data resets, and the peer could lose the answer.
    const ULONGLONG end = GetTickCount64() + kDrainMs;
    char sink[4096];
    size_t drained = 0;
    while (drained < kDrainBytes) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end || !Readable(s, static_cast<DWORD>(end - now))) break;
        const int n = realRecv(s, sink, sizeof sink, 0);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
}

int CRecvGate::Recv(SOCKET s, char* buf, int len, int flags)
{
    std::shared_ptr<Conn> conn;
    if (!flags && len > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = conns_.find(s);
        if (it != conns_.end()) conn = it->second;
    }
    if (!conn) return realRecv(s, buf, len, flags);
    Conn& c = *conn;
    if (c.closed) return 0;
    if (c.released < c.release.size()) {
        const size_t n = std::min(static_cast<size_t>(len), c.release.size() - c.released);
        std::copy_n(c.release.data() + c.released, n, buf);
        c.released += n;
        return static_cast<int>(n);
    }
    if (c.phase == Conn::Phase::Length) {
        const auto most = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(len), c.remaining));
        const int n = realRecv(s, buf, most, 0);
        if (n > 0 && !(c.remaining -= static_cast<uint64_t>(n))) c.phase = Conn::Phase::Head;
        return n;
    }
    if (c.phase == Conn::Phase::Chunked) {
        const int n = realRecv(s, buf, len, MSG_PEEK);
        if (n <= 0) return n;
        const size_t k = c.chunks.Feed(buf, static_cast<size_t>(n));
        if (c.chunks.Bad() || c.chunks.DataBytes() > CHeadLimits::kBody) {
            c.closed = true;
            if (c.chunks.Bad()) Refuse(s, 400, "malformed request: a chunked body");
            else Refuse(s, 413, "request too large");
            return 0;
        }
        if (c.chunks.Done()) {
            c.phase = Conn::Phase::Head;
            c.chunks = {};
        }
        return realRecv(s, buf, static_cast<int>(k), 0);
    }

    // A head: gathered here whole (the library waits in this call), then
    // checked, then given to the library.
    char peek[8192];
    ULONGLONG lastByte = GetTickCount64();
    while (!c.head.Done()) {
        if (c.stopping->load()) return 0;
        if (!Readable(s, kWaitMs)) {
            if (GetTickCount64() - lastByte >= c.idleMs) return 0;
            continue;
        }
        const int n = realRecv(s, peek, sizeof peek, MSG_PEEK);
        if (n <= 0) return n;  // closed, reset, or the request's time is up (its socket shut)
        const size_t k = c.head.Feed(peek, static_cast<size_t>(n));
        if (k) realRecv(s, peek, static_cast<int>(k), 0);
        lastByte = GetTickCount64();
    }
    const CHeadVerdict verdict = c.head.Verdict();
    if (verdict.status) {
        c.closed = true;
        Refuse(s, verdict.status, verdict.reason);
        return 0;
    }
    c.release = verdict.canonical;
    c.released = 0;
    c.head.Reset();
    if (verdict.body == CHeadVerdict::Body::Length) {
        c.phase = Conn::Phase::Length;
        c.remaining = verdict.length;
    } else if (verdict.body == CHeadVerdict::Body::Chunked) {
        c.phase = Conn::Phase::Chunked;
    }
    return Recv(s, buf, len, flags);
}

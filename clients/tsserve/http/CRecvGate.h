// What the HTTP server (libmicrohttpd) reads of each connection passes
// through here first: tsserve is linked with --wrap on the import of recv
// (clients/CMakeLists.txt), so the library's reads come to Recv. Each
// request's head is gathered and checked whole (HeadCheck.h) before the
// library gets any of it, and its body is passed on up to where it ends, so
// that the next head is checked too. A head refused here is answered here,
// once, and the library sees its connection close. Sockets not added (and
// reads with flags, such as a peek) pass through untouched.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CRecvGate {
public:
    static CRecvGate& Instance();

    // A connection's socket, until Remove. `stopping`: the server's stop,
    // which ends a wait for a head; `idleMs`: how long the bytes of a head
    // may stop.
    void Add(SOCKET s, const std::atomic<bool>* stopping, unsigned idleMs);
    void Remove(SOCKET s);

    // recv as the library calls it.
    int Recv(SOCKET s, char* buf, int len, int flags);

    // The answer to a refused request, sent on s, whose peer is then given
    // a moment to stop sending (so that the answer is not lost to a reset).
    static void Refuse(SOCKET s, int status, const std::string& reason);

private:
    static void Drain(SOCKET s);
    struct Conn;
    std::mutex mutex_;
    std::map<SOCKET, std::shared_ptr<Conn>> conns_;
};

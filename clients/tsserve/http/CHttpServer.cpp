#include "CHttpServer.h"

#include "CRecvGate.h"

#include <windows.h>
#include <ws2tcpip.h>

#include <microhttpd.h>

#include <cstdlib>
#include <tuple>

namespace {

const char* kText = "text/plain; charset=utf-8";

// A request while the library reads it and the handler answers it.
struct CRequestState {
    CHttpRequest request;
    bool handled = false;
};

MHD_Result AddPair(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    static_cast<std::vector<std::pair<std::string, std::string>>*>(cls)->emplace_back(key ? key : "",
                                                                                       value ? value : "");
    return MHD_YES;
}

SOCKET SocketOf(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info ? info->connect_fd : INVALID_SOCKET;
}

void Addresses(SOCKET s, CHttpRequest& request)
{
    sockaddr_storage peer{}, local{};
    int peerSize = sizeof peer, localSize = sizeof local;
    getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerSize);
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &localSize);
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
}

}  // namespace

// libmicrohttpd starts each connection's thread with _beginthreadex and the
// stack size it was given, which Windows takes for the stack's first commit
// only, reserving the executable's default (2 MB) all the same: 320
// connections on each of 3 ports would reserve 1.9 GB, most of a 32-bit
// process. tsserve is linked with --wrap on the library's import of
// _beginthreadex (clients/CMakeLists.txt), which brings its calls here: a
// thread started with a stack size reserves that size instead. Threads
// started without one (std::thread's) get the default as before.
namespace {
using BeginThread = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*);
uintptr_t __cdecl ReservingBeginThread(void* security, unsigned stack, unsigned(__stdcall* start)(void*), void* arg,
                                       unsigned flags, unsigned* id);
}  // namespace
// The import's name as --wrap takes it, and the symbols it makes of it (with
// the target's prefix of C names: "_" on i686).
#ifdef _WIN64
#define TSSERVE_IMPORT "__imp__beginthreadex"
#else
#define TSSERVE_IMPORT "_imp___beginthreadex"
#endif
#define TSSERVE_QUOTE(x) #x
#define TSSERVE_TEXT(x) TSSERVE_QUOTE(x)
#define TSSERVE_SYMBOL(name) TSSERVE_TEXT(__USER_LABEL_PREFIX__) name
extern "C" BeginThread realBeginThread __asm__(TSSERVE_SYMBOL("__real_" TSSERVE_IMPORT));
extern "C" BeginThread wrappedBeginThread __asm__(TSSERVE_SYMBOL("__wrap_" TSSERVE_IMPORT));
BeginThread wrappedBeginThread = ReservingBeginThread;
namespace {
uintptr_t __cdecl ReservingBeginThread(void* security, unsigned stack, unsigned(__stdcall* start)(void*), void* arg,
                                       unsigned flags, unsigned* id)
{
    if (stack) flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
    return realBeginThread(security, stack, start, arg, flags, id);
}
}  // namespace

// The library's callbacks, on the connections' threads (Connected: also on
// the daemon's). Nothing may be thrown through the library, which is C: each
// callback ends what its work throws.
struct CHttpServerCalls {
    static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                             const char* upload, size_t* uploadSize, void** state)
    {
        auto* port = static_cast<CHttpServer::Port*>(cls);
        try {
            return Request(*port, c, url, method, version, upload, uploadSize, state);
        } catch (...) {
            // Not even a 500 could be given (memory ran out, say): the connection ends.
            Fault(*port->server, std::string(method) + " " + url, "the connection closed");
            return MHD_NO;
        }
    }

    static MHD_Result Request(CHttpServer::Port& port, MHD_Connection* c, const char* url, const char* method,
                              const char* version, const char* upload, size_t* uploadSize, void** state)
    {
        CHttpServer& server = *port.server;
        auto* s = static_cast<CRequestState*>(*state);
        // Called when the head has come, with each piece of a body, and once
        // the request is whole: the handler sees it then, body and all.
        if (!s) {
            s = new CRequestState;
            *state = s;
            const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length && std::strtoull(length, nullptr, 10) > CHttpLimits::kBody) {
                s->handled = true;
                CHttpConnection answer(c, CHttpPeer(SocketOf(c), server.stopping_));
                answer.Send(413, kText, "request too large\n");
                return answer.Answered() ? MHD_YES : MHD_NO;
            }
            return MHD_YES;
        }
        if (*uploadSize) {
            // A body sent without a length and past the bound ends the connection.
            if (s->request.body.size() + *uploadSize > CHttpLimits::kBody) return MHD_NO;
            s->request.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (s->handled) return MHD_NO;  // an answer that could not be queued: the connection ends
        s->handled = true;
        server.budget_.Read(c);

        CHttpRequest& r = s->request;
        const SOCKET socket = SocketOf(c);
        r.method = method;
        r.minorVersion = std::string(version) == MHD_HTTP_VERSION_1_0 ? 0 : 1;
        MHD_get_connection_values(c, MHD_HEADER_KIND, AddPair, &r.fields);
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, AddPair, &r.query);
        Addresses(socket, r);
        r.localPort = port.port;
        r.receivedMs = GetTickCount64();
        const std::string label = std::string(method) + " " + url + " from " + r.remoteAddr + ":" +
                                  std::to_string(r.remotePort);
        CHttpConnection answer(c, CHttpPeer(socket, server.stopping_), &server.log_, label);
        answer.LimitStreams([&server, c] { return server.budget_.Stream(c); });
        // HTTP/1.1 names the host it asks, in one Host field. (Checked here:
        // the library's own check, when strict, sends its answer's head twice.)
        // A malformed request ends its connection.
        const size_t hosts = r.FieldCount("Host");
        if (hosts > 1 || (hosts == 0 && r.minorVersion >= 1))
            answer.Send(400, kText, "malformed request: one Host field is required\n", {{"Connection", "close"}});
        else if (!RequestPath(url, r.path))
            answer.Send(400, kText, "malformed request\n", {{"Connection", "close"}});
        else
            try {
                server.handler_(r, answer);
            } catch (...) {
                // An answer already given (a stream's head, say) is cut off.
                if (answer.Answered()) {
                    Fault(server, label, "the connection closed");
                    return MHD_NO;
                }
                Fault(server, label, "answered 500");
                answer.Send(500, kText, "internal error: see tsserve's console\n", {{"Connection", "close"}});
            }
        // A handler leaves unanswered a peer that left (or half-closed its
        // connection) while it waited: the connection ends.
        if (!answer.Answered() && !answer.Gone()) answer.Send(500, kText, "not answered\n");
        return answer.Answered() ? MHD_YES : MHD_NO;
    }

    // A line for the exception being handled.
    static void Fault(CHttpServer& server, const std::string& request, const char* outcome)
    {
        ReportFault(server.log_, request, outcome);
    }

    static void Completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode)
    {
        delete static_cast<CRequestState*>(*state);
        *state = nullptr;
        try {
            static_cast<CHttpServer::Port*>(cls)->server->budget_.Answered(c);
        } catch (...) {
            Fault(*static_cast<CHttpServer::Port*>(cls)->server, "a connection's next request", "no bound on its time");
        }
    }

    // Before the library takes a connection (on its thread that accepts):
    // one for whom there is no room is closed at once.
    static MHD_Result Accept(void* cls, const sockaddr* address, socklen_t)
    {
        auto* port = static_cast<CHttpServer::Port*>(cls);
        try {
            char text[INET6_ADDRSTRLEN] = {};
            if (address->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
            else
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
            return port->server->budget_.Admit(port->port, text) ? MHD_YES : MHD_NO;
        } catch (...) {
            return MHD_YES;
        }
    }

    static void Connected(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code)
    {
        auto* port = static_cast<CHttpServer::Port*>(cls);
        CHttpServer& server = *port->server;
        const SOCKET socket = SocketOf(c);
        try {
            if (code == MHD_CONNECTION_NOTIFY_STARTED) {
                CHttpRequest peer;
                Addresses(socket, peer);
                server.budget_.Opened(c, socket, port->port, peer.remoteAddr);
                CRecvGate::Instance().Add(socket, &server.stopping_, CHttpLimits::kIdleSeconds * 1000);
            } else {
                CRecvGate::Instance().Remove(socket);
                server.budget_.Closed(c);
            }
        } catch (...) {
            Fault(server, "a new connection", "no bound on its request's time");
        }
    }
};

CHttpServer::CHttpServer(Handler handler, Log log)
    : handler_(std::move(handler)), log_(std::move(log)),
      budget_({CHttpLimits::kRequestMs, CHttpLimits::kConnections, CHttpLimits::kWaiting, CHttpLimits::kPeerWaiting,
               CHttpLimits::kStreams, CHttpLimits::kPeerStreams})
{
    WSADATA data;
    winsock_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

CHttpServer::~CHttpServer()
{
    Stop();
    if (winsock_) WSACleanup();
}

bool CHttpServer::Listen(const std::string& host, int port)
{
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (port < 1 || port > 65535 || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        !found)
        return false;
    SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    // Exclusive: another server on the same port is an error, not a
    // neighbour. Then address reuse, which Windows refuses beside it; where
    // sockets are POSIX ones underneath (Wine), it is what lets tsserve
    // start again while its last connections linger in TIME_WAIT.
    BOOL yes = TRUE;
    if (s != INVALID_SOCKET) {
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&yes), sizeof yes);
    }
    const bool ok = s != INVALID_SOCKET && bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                    listen(s, static_cast<int>(CHttpLimits::kAccepted)) == 0;
    freeaddrinfo(found);
    if (!ok) {
        if (s != INVALID_SOCKET) closesocket(s);
        return false;
    }
    ports_.push_back(std::make_unique<Port>(Port{this, port, s, nullptr}));
    return true;
}

bool CHttpServer::Start()
{
    budget_.Start();
    for (const auto& p : ports_) {
        p->daemon = MHD_start_daemon(
            MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, 0, &CHttpServerCalls::Accept, p.get(),
            &CHttpServerCalls::Access, p.get(), MHD_OPTION_LISTEN_SOCKET, p->socket, MHD_OPTION_CONNECTION_TIMEOUT,
            CHttpLimits::kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, CHttpLimits::kPool,
            MHD_OPTION_THREAD_STACK_SIZE, CHttpLimits::kThreadStack,
            MHD_OPTION_CONNECTION_LIMIT, CHttpLimits::kAccepted,
            MHD_OPTION_NOTIFY_COMPLETED, &CHttpServerCalls::Completed, p.get(), MHD_OPTION_NOTIFY_CONNECTION,
            &CHttpServerCalls::Connected, p.get(), MHD_OPTION_END);
        // The socket is the library's now: it closes it at its stop, and on
        // some of its failures to start.
        p->socket = INVALID_SOCKET;
        if (!p->daemon) return false;
    }
    return true;
}

void CHttpServer::Stop()
{
    if (stopping_.exchange(true)) return;
    for (const auto& p : ports_) {
        if (p->daemon) MHD_stop_daemon(p->daemon);
        else if (p->socket != INVALID_SOCKET) closesocket(p->socket);  // never given to the library
    }
    ports_.clear();
    budget_.Stop();
}

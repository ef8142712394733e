#include "CHttpConnection.h"

#include "Version.h"

#include <microhttpd.h>

#include <exception>

namespace {

// What the server holds of a stream's answer while its body is pulled.
struct CStreamAnswer {
    MHD_Connection* connection;
    std::unique_ptr<IHttpStream> body;
    const HttpLog* log;
    std::string label;
};

ssize_t ReadStream(void* cls, uint64_t, char* buf, size_t max)
{
    auto* answer = static_cast<CStreamAnswer*>(cls);
    if (!answer->body) return MHD_CONTENT_READER_END_OF_STREAM;
    // The body bounds its own waits (a tune, data that stops, a viewer that
    // leaves); the idle time-out is on again for the send of what it gives,
    // counted from now.
    MHD_set_connection_option(answer->connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    size_t n = 0;
    try {
        n = answer->body->Read(reinterpret_cast<uint8_t*>(buf), max);
    } catch (...) {
        // Nothing may be thrown through the library: the stream ends here.
        if (answer->log) ReportFault(*answer->log, answer->label, "the stream ended");
        answer->body.reset();
    }
    MHD_set_connection_option(answer->connection, MHD_CONNECTION_OPTION_TIMEOUT, CHttpLimits::kIdleSeconds);
    // Without a length, the end of the body is the end of the connection.
    return n ? static_cast<ssize_t>(n) : MHD_CONTENT_READER_END_OF_STREAM;
}

void FreeStream(void* cls)
{
    delete static_cast<CStreamAnswer*>(cls);
}

bool Queue(MHD_Connection* connection, MHD_Response* response, int status, const std::string& contentType,
           const HttpFields& extra, bool stopping)
{
    if (!response) return false;
    bool ok = MHD_add_response_header(response, "Server", "tsserve/" TUNERHOST_VERSION " (TunerHost)") == MHD_YES;
    if (!contentType.empty())
        ok = ok && MHD_add_response_header(response, "Content-Type", contentType.c_str()) == MHD_YES;
    for (const auto& f : extra) ok = ok && MHD_add_response_header(response, f.first.c_str(), f.second.c_str()) == MHD_YES;
    // While the server stops, no connection is kept for another request.
    if (stopping) ok = ok && MHD_add_response_header(response, "Connection", "close") == MHD_YES;
    ok = ok && MHD_queue_response(connection, static_cast<unsigned>(status), response) == MHD_YES;
    MHD_destroy_response(response);
    return ok;
}

}  // namespace

void ReportFault(const HttpLog& log, const std::string& request, const char* outcome)
{
    try {
        std::string what = "an exception of unknown type";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        if (log) log("fault in answering " + request + " (" + what + "); " + outcome);
    } catch (...) {
    }
}

bool CHttpPeer::Gone() const
{
    fd_set read;
    FD_ZERO(&read);
    FD_SET(socket_, &read);
    timeval now{0, 0};
    const int ready = select(0, &read, nullptr, nullptr, &now);
    if (ready < 0) return true;
    if (ready == 0) return false;
    char c;
    const int n = recv(socket_, &c, 1, MSG_PEEK);
    return n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
}

void CHttpConnection::Send(int status, const std::string& contentType, const std::string& body,
                           const HttpFields& extra)
{
    if (answered_) return;
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    answered_ = Queue(connection_, response, status, contentType, extra, peer_.Stopping());
}

void CHttpConnection::IdleTimeout(bool on)
{
    MHD_set_connection_option(connection_, MHD_CONNECTION_OPTION_TIMEOUT, on ? CHttpLimits::kIdleSeconds : 0u);
}

void CHttpConnection::StartStream(const std::string& contentType, const HttpFields& extra,
                                  std::unique_ptr<IHttpStream> body)
{
    if (answered_) return;
    if (body && mayStream_ && !mayStream_()) {
        Send(503, "text/plain; charset=utf-8", "too many streams at once: try again later\n",
             {{"Retry-After", "5"}, {"Connection", "close"}});
        return;
    }
    auto* answer = new CStreamAnswer{connection_, std::move(body), log_, label_};
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, CHttpLimits::kStreamBlock,
                                                               ReadStream, answer, FreeStream);
    if (!response) {
        delete answer;
        return;
    }
    // Close-delimited rather than chunked: what players and media servers
    // expect of a live stream. The status line still says HTTP/1.1.
    MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
    answered_ = Queue(connection_, response, 200, contentType, extra, false);
}

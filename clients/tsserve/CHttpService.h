// tsserve's HTTP side: the routes, their status codes, and the streams,
// each fed by the tuner kind's CTunerFeed.
#pragma once
#include "CTunerFeed.h"
#include "ChannelList.h"
#include "Documents.h"
#include "ServeOptions.h"

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class CEventLog;

class CHttpService {
public:
    CHttpService(const ServeOptions& options, const CChannelListing& listing, CEventLog& log);
    ~CHttpService();
    CHttpService(const CHttpService&) = delete;
    CHttpService& operator=(const CHttpService&) = delete;

    // Binds the address and starts answering; false with a message when the
    // address cannot be had.
    bool Start(std::string& error);
    // Ends every stream and connection.
    void Stop();
    std::string StatusLine() const;

private:
    void Routes();
    bool Allowed(const httplib::Request& req) const;
    std::string BaseUrl(const httplib::Request& req) const;
    // /stream/... and the lineup's /auto/...: the same stream, but a busy
    // tuner is answered as network tuners answer it for the latter.
    void Stream(const httplib::Request& req, httplib::Response& res, bool terrestrial, const CListedChannel& channel,
                bool lineup);
    CTunerFeed& Feed(bool terrestrial) { return terrestrial ? terrestrial_ : satellite_; }

    const ServeOptions options_;
    const CChannelListing listing_;
    CEventLog& log_;
    CDeviceInfo device_;
    CTunerFeed terrestrial_;
    CTunerFeed satellite_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
};

#include "CHttpService.h"

#include "CConnectionThreads.h"
#include "CEventLog.h"
#include "ChannelArgument.h"
#include "HttpLib.h"
#include "Version.h"

#include <cstdio>

namespace {

constexpr size_t kMaxConnections = 256;
constexpr DWORD kTakeSliceMs = 500;      // how often a waiting stream looks whether the server stops
constexpr size_t kWritePiece = 64 * 1024;  // each send is bounded by the write time-out
constexpr time_t kWriteTimeoutSeconds = 5;

const char* kText = "text/plain; charset=utf-8";

void Answer(httplib::Response& res, int status, const std::string& reason)
{
    res.status = status;
    res.set_content(reason + "\n", kText);
}

std::wstring Wide(const std::string& s)
{
    std::wstring w(s.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return w;
}

bool ValidHost(const std::string& host)
{
    if (host.empty() || host.size() > 255) return false;
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr(".-:[]", c)) return false;
    return true;
}

std::string DeviceId(const ServeOptions& o)
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = ARRAYSIZE(name);
    GetComputerNameW(name, &size);
    uint32_t h = 2166136261u;
    for (const wchar_t* p = name; *p; ++p) h = (h ^ static_cast<uint32_t>(*p)) * 16777619u;
    h = (h ^ static_cast<uint32_t>(o.port)) * 16777619u;
    char id[12];
    std::snprintf(id, sizeof id, "%08X", h);
    return id;
}

CFeedSettings FeedSettings(const ServeOptions& o)
{
    CFeedSettings s;
    s.maxLagMs = static_cast<ULONGLONG>(o.lagSeconds * 1000);
    s.firstDataMs = static_cast<DWORD>(o.tuneWaitSeconds * 1000);
    return s;
}

std::string Peer(const httplib::Request& req)
{
    const bool v6 = req.remote_addr.find(':') != std::string::npos;
    return (v6 ? "[" + req.remote_addr + "]" : req.remote_addr) + ":" + std::to_string(req.remote_port);
}

}  // namespace

CHttpService::CHttpService(const ServeOptions& options, const CChannelListing& listing, CEventLog& log)
    : options_(options),
      listing_(listing),
      log_(log),
      device_{DeviceId(options), TUNERHOST_VERSION},
      terrestrial_(TunerKind::Terrestrial, FeedSettings(options), log),
      satellite_(TunerKind::Satellite, FeedSettings(options), log),
      server_(new httplib::Server)
{
    Routes();
}

CHttpService::~CHttpService()
{
    Stop();
}

bool CHttpService::Allowed(const httplib::Request& req) const
{
    if (options_.allow.empty()) return true;
    for (const CAddressRange& range : options_.allow)
        if (range.Contains(req.remote_addr)) return true;
    return false;
}

std::string CHttpService::BaseUrl(const httplib::Request& req) const
{
    const std::string host = req.get_header_value("Host");
    if (ValidHost(host)) return "http://" + host;
    const bool v6 = req.local_addr.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + req.local_addr + "]" : req.local_addr) + ":" + std::to_string(req.local_port);
}

void CHttpService::Routes()
{
    httplib::Server& s = *server_;
    s.new_task_queue = [] { return new CConnectionThreads(kMaxConnections); };
    s.set_read_timeout(5, 0);
    s.set_write_timeout(kWriteTimeoutSeconds, 0);
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(20);
    s.set_payload_max_length(4096);
    s.set_idle_interval(0, 200000);

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        CRequestBudget::RequestRead();
        // Nothing here has byte ranges: a live stream has none, and the
        // documents are small. Players ask for "bytes=0-" and get everything.
        const_cast<httplib::Request&>(req).ranges.clear();
        if (!Allowed(req)) {
            Answer(res, 403, "this address may not use tsserve");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            Answer(res, 405, "only GET is served");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // After each response, the connection may read its next request.
    s.set_logger([](const httplib::Request&, const httplib::Response&) { CRequestBudget::StartRequest(); });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const char* reason = res.status == 404 ? "no such page: see / for the channel list"
                             : res.status == 400 ? "malformed request"
                             : res.status == 414 ? "request line too long"
                             : res.status == 413 ? "request too large"
                                                 : httplib::detail::status_message(res.status);
        Answer(res, res.status, reason);
        return httplib::Server::HandlerResponse::Handled;
    }));

    s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(IndexHtml(listing_, terrestrial_.Status(), satellite_.Status(), device_),
                        "text/html; charset=utf-8");
    });
    s.Get("/playlist.m3u", [this](const httplib::Request& req, httplib::Response& res) {
        // ?kind=t or ?kind=s: one tuner kind, for clients that take one tuner per playlist.
        const std::string kind = req.get_param_value("kind");
        if (!kind.empty() && kind != "t" && kind != "s") {
            Answer(res, 404, "kind is t (terrestrial) or s (satellite), not " + kind);
            return;
        }
        res.set_content(PlaylistM3u(listing_, BaseUrl(req), kind.empty() ? "ts" : kind), "audio/x-mpegurl; charset=utf-8");
    });
    s.Get("/status.json", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(StatusJson(listing_, terrestrial_.Status(), satellite_.Status()), "application/json");
    });
    s.Get("/discover.json", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(DiscoverJson(listing_, BaseUrl(req), device_), "application/json");
    });
    s.Get("/lineup.json", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(LineupJson(listing_, BaseUrl(req)), "application/json");
    });
    s.Get("/lineup_status.json", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(LineupStatusJson(listing_), "application/json");
    });
    s.Get(R"(/stream/([ts])/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        const bool terrestrial = req.matches[1] == "t";
        const CListedKind& kind = terrestrial ? listing_.terrestrial : listing_.satellite;
        const std::string text = req.matches[2];
        if (!kind.Served()) {
            Answer(res, 501, std::string("TunerHost serves no ") + (terrestrial ? "terrestrial" : "satellite") +
                                 " tuner" + (kind.missing.empty() ? "" : ": its plug-in " + kind.missing + " is missing"));
            return;
        }
        const auto value = ParseChannelArgument(Wide(text), terrestrial);
        const CListedChannel* channel = value ? kind.Find(*value) : nullptr;
        if (!channel) {
            Answer(res, 404, std::string("unknown ") + (terrestrial ? "terrestrial channel " : "satellite TSID ") + text +
                                 ": see /playlist.m3u for the channels");
            return;
        }
        Stream(req, res, terrestrial, *channel, false);
    });
    s.Get(R"(/auto/v([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string guide = req.matches[1];
        for (const CListedKind* kind : {&listing_.terrestrial, &listing_.satellite})
            for (const CListedBand& band : kind->bands)
                for (const CListedChannel& c : band.channels)
                    if (_stricmp(c.argument.c_str(), guide.c_str()) == 0) {
                        Stream(req, res, kind->terrestrial, c, true);
                        return;
                    }
        Answer(res, 404, "unknown guide number " + guide + ": see /lineup.json");
    });
}

void CHttpService::Stream(const httplib::Request& req, httplib::Response& res, bool terrestrial,
                          const CListedChannel& channel, bool lineup)
{
    res.status = 200;
    if (req.method == "HEAD") {
        res.set_header("Content-Type", "video/mp2t");
        return;
    }
    CTunerFeed& feed = Feed(terrestrial);
    JoinError error = JoinError::None;
    std::string reason;
    const std::string peer = Peer(req);
    std::shared_ptr<CViewer> viewer = feed.Join(channel, peer, error, reason);
    if (!viewer) {
        int status = 502;
        switch (error) {
        case JoinError::Busy:
        case JoinError::TunerBusy:
            status = lineup ? 503 : 409;
            // What media servers look for in a network tuner's answer.
            if (lineup) res.set_header("X-HDHomeRun-Error", "805 All Tuners In Use");
            break;
        case JoinError::NotRunning: status = 503; break;
        case JoinError::NotServed: status = 501; break;
        case JoinError::TunerFailed: status = 502; break;
        case JoinError::NoData: status = 504; break;
        case JoinError::Stopping: status = 503; break;
        case JoinError::None: break;
        }
        if (error == JoinError::Busy || error == JoinError::TunerBusy)
            log_.Line(std::string(feed.KindName()) + ": refused " + peer + " for " + channel.argument + ": " + reason);
        Answer(res, status, reason);
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_header("Connection", "close");
    res.set_content_provider(
        "video/mp2t",
        [viewer](size_t, httplib::DataSink& sink) {
            const uint8_t* data = nullptr;
            size_t size = 0;
            ChunkPtr hold;
            switch (viewer->Take(data, size, hold, kTakeSliceMs)) {
            case CViewer::Next::Idle: return true;
            case CViewer::Next::Ended: return false;
            case CViewer::Next::Data: break;
            }
            for (size_t at = 0; at < size;) {
                const size_t n = size - at < kWritePiece ? size - at : kWritePiece;
                if (!sink.write(reinterpret_cast<const char*>(data + at), n)) return false;
                viewer->AddSent(n);
                at += n;
            }
            return true;
        },
        [viewer, &feed](bool) { feed.Leave(viewer); });
}

bool CHttpService::Start(std::string& error)
{
    if (!server_->bind_to_port(options_.host.c_str(), options_.port)) {
        error = "cannot listen on " + ListenText(options_) + " (is the port in use, or the address not this machine's?)";
        return false;
    }
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void CHttpService::Stop()
{
    // The feeds end their viewers first, so that no stream waits for data.
    terrestrial_.Shutdown();
    satellite_.Shutdown();
    server_->stop();
    if (listener_.joinable()) listener_.join();
}

std::string CHttpService::StatusLine() const
{
    std::string line;
    for (const CTunerFeed* feed : {&terrestrial_, &satellite_}) {
        const CFeedStatus s = feed->Status();
        char text[160];
        if (s.state == "idle") std::snprintf(text, sizeof text, "%s idle", feed->KindName());
        else
            std::snprintf(text, sizeof text, "%s %s %s, %zu viewer%s, %.2f MB/s, CC errors %llu", feed->KindName(),
                          s.state.c_str(), s.channel.c_str(), s.viewers.size(), s.viewers.size() == 1 ? "" : "s",
                          s.rate / 1e6, static_cast<unsigned long long>(s.ccErrors));
        line += (line.empty() ? "" : " | ") + std::string(text);
    }
    return line;
}

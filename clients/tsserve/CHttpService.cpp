#include "CHttpService.h"

#include "CEventLog.h"
#include "CViewerStream.h"
#include "ChannelArgument.h"
#include "Documents.h"
#include "Version.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kWaitSliceMs = 100;          // how often a waiting viewer's connection is looked at
constexpr ULONGLONG kHeadDeadlineMs = 4000;  // a stream's head goes out by then, tune or not

const char* kText = "text/plain; charset=utf-8";
const char* kJson = "application/json";
const char* kDocumentMethods = "GET, HEAD";

void Answer(CHttpConnection& c, int status, const std::string& reason, const HttpFields& extra = {})
{
    c.Send(status, kText, reason + "\n", extra);
}

// False, with 405 answered, when the method is not one of `allowed`.
bool Methods(const CHttpRequest& req, CHttpConnection& c, const char* allowed)
{
    const std::string list = std::string(", ") + allowed + ",";
    if (list.find(", " + req.method + ",") != std::string::npos) return true;
    Answer(c, 405, std::string("this page answers ") + allowed + " only", {{"Allow", allowed}});
    return false;
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

// Stable from run to run on one machine and port, and different on others.
uint32_t DeviceSeed(const ServeOptions& o)
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = ARRAYSIZE(name);
    GetComputerNameW(name, &size);
    uint32_t h = 2166136261u;
    for (const wchar_t* p = name; *p; ++p) h = (h ^ static_cast<uint32_t>(*p)) * 16777619u;
    return (h ^ static_cast<uint32_t>(o.port)) * 16777619u;
}

CFeedSettings FeedSettings(const ServeOptions& o)
{
    CFeedSettings s;
    s.maxLagMs = static_cast<ULONGLONG>(o.lagSeconds * 1000);
    s.firstDataMs = static_cast<DWORD>(o.tuneWaitSeconds * 1000);
    s.stallMs = s.firstDataMs;
    return s;
}

std::string Peer(const CHttpRequest& req)
{
    const bool v6 = req.remoteAddr.find(':') != std::string::npos;
    return (v6 ? "[" + req.remoteAddr + "]" : req.remoteAddr) + ":" + std::to_string(req.remotePort);
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

CHttpService::CHttpService(const ServeOptions& options, const CChannelListing& listing, CEventLog& log)
    : options_(options),
      listing_(listing),
      log_(log),
      lineupT_(MakeLineup(listing_.terrestrial)),
      lineupS_(MakeLineup(listing_.satellite)),
      deviceT_(MakeNetworkTuner(true, DeviceSeed(options), options.port + 1)),
      deviceS_(MakeNetworkTuner(false, DeviceSeed(options), options.port + 2)),
      terrestrial_(TunerKind::Terrestrial, FeedSettings(options), log),
      satellite_(TunerKind::Satellite, FeedSettings(options), log),
      server_([this](const CHttpRequest& req, CHttpConnection& c) { Handle(req, c); })
{
    std::vector<const CNetworkTuner*> devices;
    if (listing_.terrestrial.Served()) devices.push_back(&deviceT_);
    if (listing_.satellite.Served()) devices.push_back(&deviceS_);
    discovery_ = std::make_unique<CDiscovery>(options_.host, devices, TUNERHOST_VERSION,
                                              [this](const std::string& a) { return Allowed(a); }, log_);
}

CHttpService::~CHttpService()
{
    Stop();
}

bool CHttpService::Allowed(const std::string& address) const
{
    if (options_.allow.empty()) return true;
    for (const CAddressRange& range : options_.allow)
        if (range.Contains(address)) return true;
    return false;
}

std::string CHttpService::BaseUrl(const CHttpRequest& req) const
{
    const std::string host = req.Field("Host");
    if (ValidHost(host)) return "http://" + host;
    const bool v6 = req.localAddr.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + req.localAddr + "]" : req.localAddr) + ":" + std::to_string(req.localPort);
}

const CNetworkTuner* CHttpService::DefaultDevice() const
{
    if (listing_.terrestrial.Served()) return &deviceT_;
    if (listing_.satellite.Served()) return &deviceS_;
    return nullptr;
}

std::string CHttpService::HostPart(const CHttpRequest& req) const
{
    const std::string host = req.Field("Host");
    if (ValidHost(host)) {
        if (host[0] == '[') return host.substr(0, host.find(']') + 1);
        return host.substr(0, host.find(':'));
    }
    const bool v6 = req.localAddr.find(':') != std::string::npos;
    return v6 ? "[" + req.localAddr + "]" : req.localAddr;
}

std::string CHttpService::DeviceBase(const CHttpRequest& req, const CNetworkTuner& device) const
{
    return "http://" + HostPart(req) + ":" + std::to_string(device.port);
}

const CNetworkTuner* CHttpService::DeviceAt(int port) const
{
    for (const CNetworkTuner* d : {&deviceT_, &deviceS_})
        if (d->port == port && KindOf(d->terrestrial).Served()) return d;
    return nullptr;
}

void CHttpService::Index(const CHttpRequest& req, CHttpConnection& c)
{
    const CServedKind t{&listing_.terrestrial, &lineupT_, &deviceT_, DeviceBase(req, deviceT_), terrestrial_.Status()};
    const CServedKind s{&listing_.satellite, &lineupS_, &deviceS_, DeviceBase(req, deviceS_), satellite_.Status()};
    c.Send(200, "text/html; charset=utf-8", IndexHtml(t, s, TUNERHOST_VERSION));
}

void CHttpService::Handle(const CHttpRequest& req, CHttpConnection& c)
{
    if (!Allowed(req.remoteAddr)) return Answer(c, 403, "this address may not use tsserve");
    const std::string& path = req.path;
    // On a device's own port, its documents; on the main port, the first kind's.
    const CNetworkTuner* own = DeviceAt(req.localPort);

    if (path == "/") {
        if (Methods(req, c, kDocumentMethods)) Index(req, c);
        return;
    }
    if (path == "/playlist.m3u") {
        if (!Methods(req, c, kDocumentMethods)) return;
        // ?kind=t or ?kind=s: one tuner kind, for clients that take one tuner per playlist.
        const std::string kind = req.Param("kind");
        if (req.HasParam("kind") && kind != "t" && kind != "s")
            return Answer(c, 404, "kind is t (terrestrial) or s (satellite), not " + kind);
        return c.Send(200, "audio/x-mpegurl; charset=utf-8",
                      PlaylistM3u(lineupT_, lineupS_, BaseUrl(req), kind.empty() ? "ts" : kind));
    }
    if (path == "/status.json") {
        if (!Methods(req, c, kDocumentMethods)) return;
        return c.Send(200, kJson, StatusJson(listing_, terrestrial_.Status(), satellite_.Status()));
    }
    if (StartsWith(path, "/stream/")) {
        const bool terrestrial = StartsWith(path, "/stream/t/");
        const std::string text = path.substr(std::strlen("/stream/t/"));
        if ((!terrestrial && !StartsWith(path, "/stream/s/")) || text.empty() || text.find('/') != std::string::npos)
            return Answer(c, 404, "no such page: see / for the channel list");
        const CListedKind& kind = KindOf(terrestrial);
        if (!Methods(req, c, kDocumentMethods)) return;
        if (!kind.Served())
            return Answer(c, 501, std::string("TunerHost serves no ") + (terrestrial ? "terrestrial" : "satellite") +
                                      " tuner" +
                                      (kind.missing.empty() ? "" : ": its plug-in " + kind.missing + " is missing"));
        const auto value = ParseChannelArgument(Wide(text), terrestrial);
        const CListedChannel* channel = value ? kind.Find(*value) : nullptr;
        if (!channel)
            return Answer(c, 404, std::string("unknown ") + (terrestrial ? "terrestrial channel " : "satellite TSID ") +
                                      text + ": see /playlist.m3u for the channels");
        return Stream(req, c, terrestrial, *channel, false);
    }
    if (StartsWith(path, "/auto/v")) {
        // A device has its own kind's numbers; the main port, whose numbers
        // are distinct across both kinds, finds either.
        const std::string number = path.substr(std::strlen("/auto/v"));
        for (bool terrestrial : {true, false}) {
            if (own && own->terrestrial != terrestrial) continue;
            if (const CLineupEntry* e = LineupOf(terrestrial).Find(number)) {
                if (Methods(req, c, kDocumentMethods)) Stream(req, c, terrestrial, *e->channel, true);
                return;
            }
        }
        return Answer(c, 404, "unknown guide number " + number + ": see lineup.json");
    }
    if (const CNetworkTuner* device = own ? own : DefaultDevice())
        if (HandleDevice(req, c, *device, path)) return;
    Answer(c, 404, "no such page: see / for the channel list");
}

bool CHttpService::HandleDevice(const CHttpRequest& req, CHttpConnection& c, const CNetworkTuner& device,
                                const std::string& path)
{
    const std::string base = DeviceBase(req, device);
    if (path == "/discover.json") {
        if (Methods(req, c, kDocumentMethods)) c.Send(200, kJson, DiscoverJson(device, base, TUNERHOST_VERSION));
        return true;
    }
    if (path == "/lineup.json") {
        if (Methods(req, c, kDocumentMethods)) c.Send(200, kJson, LineupJson(LineupOf(device.terrestrial), base));
        return true;
    }
    if (path == "/lineup_status.json") {
        if (Methods(req, c, kDocumentMethods)) c.Send(200, kJson, LineupStatusJson(device));
        return true;
    }
    if (path == "/lineup.post") {
        // Media servers ask for a channel scan here; the lineup is the
        // channel list already, so there is nothing to wait for.
        if (Methods(req, c, "POST")) c.Send(200, kText, "");
        return true;
    }
    if (path == "/device.xml") {
        if (Methods(req, c, kDocumentMethods))
            c.Send(200, "text/xml; charset=utf-8", DeviceXml(device, base, TUNERHOST_VERSION));
        return true;
    }
    return false;
}

void CHttpService::Refuse(const CHttpRequest& req, CHttpConnection& c, JoinError error, const std::string& reason,
                          bool lineup, const CTunerFeed& feed, const CListedChannel& channel)
{
    int status = 502;
    HttpFields extra;
    switch (error) {
    case JoinError::Busy:
    case JoinError::TunerBusy:
        status = lineup ? 503 : 409;
        // What media servers look for in a network tuner's answer.
        if (lineup) extra.emplace_back("X-HDHomeRun-Error", "805 All Tuners In Use");
        log_.Line(std::string(feed.KindName()) + ": refused " + Peer(req) + " for " + channel.argument + ": " + reason);
        break;
    case JoinError::NotRunning: status = 503; break;
    case JoinError::NotServed: status = 501; break;
    case JoinError::TunerFailed: status = 502; break;
    case JoinError::NoData: status = 504; break;
    case JoinError::Stopping: status = 503; break;
    case JoinError::None: break;
    }
    Answer(c, status, reason, extra);
}

void CHttpService::Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial, const CListedChannel& channel,
                          bool lineup)
{
    CTunerFeed& feed = Feed(terrestrial);
    JoinError error = JoinError::None;
    std::string reason;
    // HEAD gets what GET would, short of the tune itself.
    if (!feed.MayJoin(channel, error, reason)) return Refuse(req, c, error, reason, lineup, feed, channel);
    if (!IsTunerHostRunning())
        return Refuse(req, c, JoinError::NotRunning, "TunerHost is not running", lineup, feed, channel);
    // A live stream has neither a length nor ranges.
    const HttpFields fields{{"Cache-Control", "no-cache"}, {"Accept-Ranges", "none"}};
    if (req.method == "HEAD") return c.StartStream("video/mp2t", fields, nullptr);
    const CHttpPeer watch = c.Peer();
    std::shared_ptr<CViewer> viewer = feed.Join(channel, Peer(req), [watch] { return watch.Gone(); }, error, reason);
    if (!viewer) return Refuse(req, c, error, reason, lineup, feed, channel);

    // The tune may take longer than clients wait for an answer: past the
    // deadline the head goes out, and the stream's body waits on (a tune
    // that fails after it ends the stream without data).
    for (;;) {
        const CViewer::Phase phase = viewer->WaitStart(kWaitSliceMs, error, reason);
        if (phase == CViewer::Phase::Started) break;
        if (phase == CViewer::Phase::Failed) {
            feed.Leave(viewer);
            return Refuse(req, c, error, reason, lineup, feed, channel);
        }
        if (c.Gone() || c.Stopping()) return feed.Leave(viewer);
        if (GetTickCount64() - req.receivedMs >= kHeadDeadlineMs) break;
    }
    c.StartStream("video/mp2t", fields, std::make_unique<CViewerStream>(feed, viewer, watch, log_));
}

bool CHttpService::Start(std::string& error)
{
    ServeOptions where = options_;
    for (const CNetworkTuner* device : {static_cast<const CNetworkTuner*>(nullptr), &deviceT_, &deviceS_}) {
        if (device && !KindOf(device->terrestrial).Served()) continue;
        where.port = device ? device->port : options_.port;
        if (!server_.Listen(where.host, where.port)) {
            error = "cannot listen on " + ListenText(where) +
                    (device ? std::string(", the ") + device->friendlyName + " network tuner's port" : "") +
                    " (is the port in use, or the address not this machine's?)";
            return false;
        }
    }
    if (!server_.Start()) {
        error = "cannot start the HTTP server's threads";
        return false;
    }
    discovery_->Start();
    return true;
}

void CHttpService::Stop()
{
    // The feeds end their viewers first, so that no stream waits for data.
    terrestrial_.Shutdown();
    satellite_.Shutdown();
    discovery_->Stop();
    server_.Stop();
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

#include "CHttpService.h"

#include "base/CEventLog.h"
#include "feed/StreamStart.h"
#include "ChannelArgument.h"
#include "pages/Documents.h"
#include "base/SavedFile.h"
#include "Version.h"

#include <cstdio>
#include <cstring>

namespace {

const char* kText = "text/plain; charset=utf-8";
const char* kJson = "application/json";
const char* kDocumentMethods = "GET, HEAD";

void Answer(CHttpConnection& c, int status, const std::string& reason, const HttpFields& extra = {})
{
    c.Send(status, kText, reason + "\n", extra);
}

std::wstring Wide(const std::string& s)
{
    std::wstring w(s.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return w;
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

CGuidePassSettings GuideSettings(const ServeOptions& o)
{
    CGuidePassSettings s;
    s.idleMs = static_cast<ULONGLONG>(o.guideIdleSeconds) * 1000;
    s.everySeconds = static_cast<int64_t>(o.guideEveryMinutes) * 60;
    return s;
}

// A service id in a stream's path: 1 to 65535, in decimal.
bool ParseServiceId(const std::string& text, uint16_t& out)
{
    if (text.empty() || text.size() > 5) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v == 0 || v > 0xFFFF) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

constexpr ULONGLONG kGuideSaveMs = 5 * 60000;  // a guide that changed is saved this often

}  // namespace

CHttpService::CHttpService(const ServeOptions& options, const CChannelListing& listing, CScanStore& scans,
                           CGuideStore& guide, CEventLog& log)
    : options_(options),
      listing_(listing),
      scans_(scans),
      guide_(guide),
      log_(log),
      deviceT_(MakeNetworkTuner(true, DeviceSeed(options), options.port + 1)),
      deviceS_(MakeNetworkTuner(false, DeviceSeed(options), options.port + 2)),
      terrestrial_(TunerKind::Terrestrial, FeedSettings(options), log),
      satellite_(TunerKind::Satellite, FeedSettings(options), log),
      tapT_(guide),
      tapS_(guide),
      scanT_(terrestrial_, listing_.terrestrial, scans, guide, [&log](const std::string& l) { log.Line(l); }),
      scanS_(satellite_, listing_.satellite, scans, guide, [&log](const std::string& l) { log.Line(l); }),
      passT_(terrestrial_, listing_.terrestrial, scans, guide, GuideSettings(options), log),
      passS_(satellite_, listing_.satellite, scans, guide, GuideSettings(options), log),
      api_(listing_, [this] { return Lineups(); }, terrestrial_, satellite_, guide, routes_, TUNERHOST_VERSION, log),
      server_([this](const CHttpRequest& req, CHttpConnection& c) { Handle(req, c); },
              [&log](const std::string& l) { log.Line(l); })
{
    AddRoutes();
    api_.AddRoutes(routes_);
    // Every stream a viewer watches brings the guide its events.
    for (auto [feed, tap] : {std::pair{&terrestrial_, &tapT_}, std::pair{&satellite_, &tapS_}})
        feed->SetTap([tap](const uint8_t* data, size_t size, bool fresh) {
            if (fresh) tap->Reset();
            tap->Feed(data, size);
        });
    std::vector<const CNetworkTuner*> devices;
    if (listing_.terrestrial.Served()) devices.push_back(&deviceT_);
    if (listing_.satellite.Served()) devices.push_back(&deviceS_);
    // Without --allow, HTTP answers every peer that reaches it; discovery,
    // whose datagrams' sources can be forged, only the listening subnets'.
    std::function<bool(const std::string&)> allowed;
    if (!options_.allow.empty()) allowed = [this](const std::string& a) { return Allowed(a); };
    discovery_ = std::make_unique<CDiscovery>(options_.host, devices, TUNERHOST_VERSION, allowed, log_);
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
    std::string host, port;
    if (ParseHostField(req.Field("Host"), host, port)) return "http://" + host + port;
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
    std::string host, port;
    if (ParseHostField(req.Field("Host"), host, port)) return host;
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

std::shared_ptr<const CLineups> CHttpService::Lineups() const
{
    std::lock_guard<std::mutex> lock(lineupsMutex_);
    // Before the store: a channel scanned meanwhile is in it then.
    std::vector<const CListedChannel*> pending = scanT_.Pending();
    for (const CListedChannel* c : scanS_.Pending()) pending.push_back(c);
    const uint64_t generation = scans_.Generation();
    if (!lineups_ || generation != lineupsGeneration_ || pending != lineupsPending_) {
        lineups_ = std::make_shared<const CLineups>(MakeLineups(listing_, scans_.Channels(), pending));
        lineupsGeneration_ = generation;
        lineupsPending_ = std::move(pending);
    }
    return lineups_;
}

CServedKind CHttpService::Served(const CHttpRequest& req, bool terrestrial, const CLineups& lineups) const
{
    const CNetworkTuner& device = terrestrial ? deviceT_ : deviceS_;
    return {&KindOf(terrestrial),
            &lineups.Of(terrestrial),
            &device,
            DeviceBase(req, device),
            (terrestrial ? terrestrial_ : satellite_).Status(),
            (terrestrial ? scanT_ : scanS_).Status(),
            (terrestrial ? passT_ : passS_).Status()};
}

CGuideView CHttpService::GuideView(const CLineups& lineups) const
{
    CGuideView view;
    view.state = guide_.State();
    const int64_t now = UtcNow();
    for (const CLineup* lineup : {&lineups.terrestrial, &lineups.satellite})
        for (const CLineupEntry& e : lineup->entries)
            if (e.IsService()) view.nowNext[e.id] = guide_.NowNext(e.service, now);
    return view;
}

std::string CHttpService::Xmltv(const CLineups& lineups, const std::string& base,
                                std::optional<int64_t> beforeUtc) const
{
    std::vector<std::pair<tstables::XmltvChannel, tstables::ServiceKey>> channels;
    for (const CLineup* lineup : {&lineups.terrestrial, &lineups.satellite})
        for (const CLineupEntry& e : lineup->entries)
            if (e.IsService())
                channels.push_back(
                    {{e.id, {e.name, e.number}, guide_.HasLogo(e.service) ? LogoUrl(base, e) : ""}, e.service});
    return guide_.Xmltv(channels, "tsserve " TUNERHOST_VERSION, beforeUtc);
}

void CHttpService::Index(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    const auto lineups = Lineups();
    c.Send(200, "text/html; charset=utf-8",
           IndexHtml(Served(req, true, *lineups), Served(req, false, *lineups), GuideView(*lineups), TUNERHOST_VERSION));
}

void CHttpService::Handle(const CHttpRequest& req, CHttpConnection& c)
{
    if (!Allowed(req.remoteAddr)) return Answer(c, 403, "this address may not use tsserve");
    CRouteParams params;
    const bool mainPort = !DeviceAt(req.localPort);
    // The API answers its errors in JSON, as its clients read them.
    const bool api = mainPort && CApi::IsApiPath(req.path);
    const CRoute* route = routes_.Find(req.path, mainPort, params);
    if (!route) {
        if (api) return CApi::AnswerError(c, 404, "no such operation: see /api/docs");
        return Answer(c, 404, "no such page: see / for the channel list");
    }
    if (!MethodAllowed(route->methods, req.method)) {
        const std::string reason = "this page answers " + route->methods + " only";
        if (api) return CApi::AnswerError(c, 405, reason, {{"Allow", route->methods}});
        return Answer(c, 405, reason, {{"Allow", route->methods}});
    }
    route->handler(req, c, params);
}

// Every page tsserve answers, by method and path: the one place to find a
// request's handler.
void CHttpService::AddRoutes()
{
    const auto add = [this](const char* methods, const char* pattern, auto member, bool mainPortOnly = false) {
        CRoute route;
        route.methods = methods;
        route.pattern = pattern;
        route.mainPortOnly = mainPortOnly;
        route.handler = [this, member](const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p) {
            (this->*member)(req, c, p);
        };
        routes_.Add(std::move(route));
    };
    add(kDocumentMethods, "/", &CHttpService::Index);
    add(kDocumentMethods, "/playlist.m3u", &CHttpService::Playlist);
    add(kDocumentMethods, "/status.json", &CHttpService::StatusDocument);
    add(kDocumentMethods, "/xmltv.xml", &CHttpService::XmltvDocument);
    add(kDocumentMethods, "/stream/{kind}/{channel}", &CHttpService::ChannelStream);
    add(kDocumentMethods, "/stream/{kind}/{channel}/{service}", &CHttpService::ChannelStream);
    add(kDocumentMethods, "/auto/v{number}", &CHttpService::LineupStream);
    // A network tuner's documents: on its own port its own; on the main
    // port the first served kind's (scans there stand for both kinds).
    add(kDocumentMethods, "/discover.json", &CHttpService::DiscoverDocument);
    add(kDocumentMethods, "/lineup.json", &CHttpService::LineupDocument);
    add(kDocumentMethods, "/lineup_status.json", &CHttpService::LineupStatusDocument);
    add("POST", "/lineup.post", &CHttpService::LineupPost);
    add(kDocumentMethods, "/device.xml", &CHttpService::DeviceDocument);
    // Where recorders' tuner servers keep the same documents, the paths
    // media servers and IPTV clients are told to use with them.
    add(kDocumentMethods, "/api/iptv/playlist", &CHttpService::Playlist, true);
    add(kDocumentMethods, "/api/iptv/channel.m3u8", &CHttpService::Playlist, true);
    add(kDocumentMethods, "/api/iptv/xmltv", &CHttpService::XmltvDocument, true);
    add(kDocumentMethods, "/api/iptv/epg", &CHttpService::EpgDocument, true);
    add(kDocumentMethods, "/api/iptv/discover.json", &CHttpService::DiscoverDocument, true);
    add(kDocumentMethods, "/api/iptv/lineup.json", &CHttpService::LineupDocument, true);
    add(kDocumentMethods, "/api/iptv/lineup_status.json", &CHttpService::LineupStatusDocument, true);
}

void CHttpService::Playlist(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    // ?kind=t or ?kind=s: one tuner kind, for clients that take one tuner per playlist.
    const std::string kind = req.Param("kind");
    if (req.HasParam("kind") && kind != "t" && kind != "s")
        return Answer(c, 404, "kind is t (terrestrial) or s (satellite), not " + kind);
    // ?guide=1: the first line names the guide, for IPTV clients that read it there.
    const std::string guide = req.Param("guide");
    if (req.HasParam("guide") && guide != "1") return Answer(c, 404, "guide is 1 or left out, not " + guide);
    c.Send(200, "audio/x-mpegurl; charset=utf-8",
           PlaylistM3u(*Lineups(), BaseUrl(req), kind.empty() ? "ts" : kind, guide == "1",
                       [this](const CLineupEntry& e) { return guide_.HasLogo(e.service); }));
}

void CHttpService::StatusDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    const auto lineups = Lineups();
    c.Send(200, kJson, StatusJson(Served(req, true, *lineups), Served(req, false, *lineups), GuideView(*lineups)));
}

void CHttpService::XmltvDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    c.Send(200, "application/xml; charset=utf-8", Xmltv(*Lineups(), BaseUrl(req)));
}

void CHttpService::EpgDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    constexpr int kDefaultDays = 3, kMaxDays = 8;  // the schedule reaches eight days
    int days = kDefaultDays;
    if (req.HasParam("days")) {
        const std::string text = req.Param("days");
        if (text.size() != 1 || text[0] < '1' || text[0] > '0' + kMaxDays)
            return CApi::AnswerError(c, 400, "days is a whole number from 1 to 8");
        days = text[0] - '0';
    }
    c.Send(200, "application/xml; charset=utf-8", Xmltv(*Lineups(), BaseUrl(req), UtcNow() + int64_t{days} * 86400));
}

// "/stream/t/27", "/stream/s/40D0/171": a kind, a channel, perhaps a service.
void CHttpService::ChannelStream(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p)
{
    const std::string kindText = p.Get("kind");
    if (kindText != "t" && kindText != "s") return Answer(c, 404, "no such page: see / for the channel list");
    const bool terrestrial = kindText == "t";
    const std::string text = p.Get("channel");
    uint16_t service = 0;
    const std::string serviceText = p.Get("service");
    if (!serviceText.empty() && !ParseServiceId(serviceText, service))
        return Answer(c, 404, "no such service " + serviceText + ": see /playlist.m3u for the services");
    const CListedKind& kind = KindOf(terrestrial);
    if (!kind.Served())
        return Answer(c, 501, std::string("TunerHost serves no ") + (terrestrial ? "terrestrial" : "satellite") +
                                  " tuner" + (kind.missing.empty() ? "" : ": its plug-in " + kind.missing + " is missing"));
    const auto value = ParseChannelArgument(Wide(text), terrestrial);
    const CListedChannel* channel = value ? kind.Find(*value) : nullptr;
    if (!channel)
        return Answer(c, 404, std::string("unknown ") + (terrestrial ? "terrestrial channel " : "satellite TSID ") +
                                  text + ": see /playlist.m3u for the channels");
    Stream(req, c, terrestrial, Lineups()->Of(terrestrial).Sources(*channel, service), service, false);
}

// A device has its own kind's numbers; the main port, whose numbers are
// distinct across both kinds, finds either.
void CHttpService::LineupStream(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p)
{
    const std::string number = p.Get("number");
    const CNetworkTuner* own = DeviceAt(req.localPort);
    const auto lineups = Lineups();
    for (bool terrestrial : {true, false}) {
        if (own && own->terrestrial != terrestrial) continue;
        if (const CLineupEntry* e = lineups->Of(terrestrial).Find(number))
            return Stream(req, c, terrestrial, lineups->Of(terrestrial).Sources(*e->channel, e->serviceId),
                          e->serviceId, true);
    }
    Answer(c, 404, "unknown guide number " + number + ": see lineup.json");
}

const CNetworkTuner* CHttpService::DeviceFor(const CHttpRequest& req, CHttpConnection& c) const
{
    const CNetworkTuner* device = DeviceAt(req.localPort);
    if (!device) device = DefaultDevice();
    if (!device) Answer(c, 404, "no such page: see / for the channel list");
    return device;
}

void CHttpService::DiscoverDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    if (const CNetworkTuner* device = DeviceFor(req, c))
        c.Send(200, kJson, DiscoverJson(*device, DeviceBase(req, *device), TUNERHOST_VERSION));
}

void CHttpService::LineupDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    if (const CNetworkTuner* device = DeviceFor(req, c))
        c.Send(200, kJson, LineupJson(Lineups()->Of(device->terrestrial), DeviceBase(req, *device)));
}

void CHttpService::LineupStatusDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    // At the root, both kinds' scans together.
    const bool root = !DeviceAt(req.localPort);
    if (const CNetworkTuner* device = DeviceFor(req, c))
        c.Send(200, kJson,
               LineupStatusJson(*device, ScanFigures(root || device->terrestrial, root || !device->terrestrial)));
}

void CHttpService::DeviceDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    if (const CNetworkTuner* device = DeviceFor(req, c))
        c.Send(200, "text/xml; charset=utf-8", DeviceXml(*device, DeviceBase(req, *device), TUNERHOST_VERSION));
}

// ?scan=start scans the device's kind (at the root: every kind served),
// ?scan=abort stops it; ?only= limits it (ScanChoice.h). Without scan=, as
// before scans existed: nothing to do.
void CHttpService::LineupPost(const CHttpRequest& req, CHttpConnection& c, const CRouteParams&)
{
    const CNetworkTuner* own = DeviceFor(req, c);
    if (!own) return;
    const CNetworkTuner& device = *own;
    const bool root = !DeviceAt(req.localPort);
    if (!req.HasParam("scan")) return c.Send(200, kText, "");
    const std::string what = req.Param("scan");
    const bool kinds[2] = {root || device.terrestrial, root || !device.terrestrial};
    if (what == "abort") {
        for (bool terrestrial : {true, false})
            if (kinds[terrestrial ? 0 : 1]) (terrestrial ? scanT_ : scanS_).Abort();
        return c.Send(200, kText, "");
    }
    if (what != "start") return Answer(c, 400, "scan is start or abort, not " + what);
    CScanChoice only;
    std::string error;
    if (req.HasParam("only") && !ParseScanChoice(listing_, req.Param("only"), only, error)) return Answer(c, 400, error);
    for (bool terrestrial : {true, false}) {
        if (!kinds[terrestrial ? 0 : 1] || !KindOf(terrestrial).Served()) continue;
        const std::vector<const CListedChannel*>& chosen = terrestrial ? only.terrestrial : only.satellite;
        if (!only.Empty() && chosen.empty()) continue;
        CChannelScan& scan = terrestrial ? scanT_ : scanS_;
        if (scan.Start(only.Empty() ? nullptr : &chosen))
            log_.Line(std::string(terrestrial ? "terrestrial" : "satellite") + ": " + PeerOf(req) + " started a scan");
        else if (scan.Ending())
            return Answer(c, 503, std::string("the ") + (terrestrial ? "terrestrial" : "satellite") +
                                      " scan that was aborted is still ending: try again in a moment");
        // A scan comes before the guide's idle pass, which gives the tuner up
        // within moments (and is let go once the scan has ended, by Tick).
        (terrestrial ? passT_ : passS_).Hold(true);
    }
    c.Send(200, kText, "");
}

CLineupScan CHttpService::ScanFigures(bool terrestrial, bool satellite) const
{
    CLineupScan out;
    size_t done = 0, total = 0;
    for (bool t : {true, false}) {
        if (!(t ? terrestrial : satellite)) continue;
        const CScanStatus s = (t ? scanT_ : scanS_).Status();
        out.inProgress = out.inProgress || s.running;
        out.waiting = out.waiting || s.waiting;
        done += s.done;
        total += s.total;
        out.found += s.found;
    }
    out.progress = total ? static_cast<int>(done * 100 / total) : 0;
    if (!out.inProgress && total && done == total) out.progress = 100;
    return out;
}

void CHttpService::Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial,
                          const std::vector<const CListedChannel*>& sources, uint16_t service, bool lineup)
{
    CStreamAsk ask;
    ask.sources = sources;
    ask.service = service;
    ask.user = {0, req.Field("User-Agent"), req.path};
    ask.form = lineup ? RefusalForm::Lineup : RefusalForm::Page;
    AnswerStream(Feed(terrestrial), req, c, ask, log_);
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
    // Front-ends' own default; another program there (a tuner server of
    // their own) keeps it, and they are pointed at PORT instead.
    if (const int extra = ExtraApiPort(options_)) {
        where.port = extra;
        if (server_.Listen(where.host, extra))
            log_.Line("the recorders' API also answers on " + ListenText(where) + " (--api-port off: not)");
        else
            log_.Line("cannot listen on " + ListenText(where) + " for recorders (in use?): front-ends are to be given " +
                      ListenText(options_));
    }
    if (!server_.Start()) {
        error = "cannot start the HTTP server's threads";
        return false;
    }
    discovery_->Start();
    api_.Start();
    passT_.Start();
    passS_.Start();
    return true;
}

void CHttpService::Tick()
{
    for (bool terrestrial : {true, false})
        if (!(terrestrial ? scanT_ : scanS_).Status().running) (terrestrial ? passT_ : passS_).Hold(false);
    if (GetTickCount64() - savedMs_ < kGuideSaveMs) return;
    savedMs_ = GetTickCount64();
    std::string error;
    if (!guide_.Save(UtcNow(), error))
        log_.Line("could not save the guide in " + Utf8Path(guide_.Path()) + ": " + error);
}

void CHttpService::Stop()
{
    // Scans and the idle pass hand their tuners back first; the feeds then
    // end their viewers, so that no stream waits for data.
    api_.Stop();
    scanT_.Abort();
    scanS_.Abort();
    passT_.Stop();
    passS_.Stop();
    scanT_.Wait();
    scanS_.Wait();
    terrestrial_.Shutdown();
    satellite_.Shutdown();
    discovery_->Stop();
    server_.Stop();
    std::string error;
    if (!guide_.Save(UtcNow(), error))
        log_.Line("could not save the guide in " + Utf8Path(guide_.Path()) + ": " + error);
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

#include "CApi.h"

#include "ApiDocs.h"
#include "ChannelArgument.h"
#include "ProgrammeStream.h"
#include "base/CEventLog.h"

#include <windows.h>

#include <chrono>
#include <cstring>

using nlohmann::json;

namespace {

const char* kJson = "application/json";
const char* kGet = "GET, HEAD";
constexpr int kPriorityLimit = 1000000;  // |priority| beyond it is no number a front-end sends

std::wstring Wide(const std::string& s)
{
    std::wstring w;
    for (char c : s) w.push_back(static_cast<unsigned char>(c));  // channel arguments are ASCII
    return w;
}

void SendJson(CHttpConnection& c, const json& j)
{
    c.Send(200, kJson, j.dump());
}

// A query parameter that filters by number: absent is no filter; false (400
// answered) when it is not a number in range.
bool NumberFilter(const CHttpRequest& req, CHttpConnection& c, const char* name, uint64_t max,
                  std::optional<uint64_t>& out)
{
    if (!req.HasParam(name)) return true;
    uint64_t v = 0;
    if (!ParseApiNumber(req.Param(name), max, v)) {
        CApi::AnswerError(c, 400, std::string(name) + " is a whole number from 0 to " + std::to_string(max));
        return false;
    }
    out = v;
    return true;
}

CApiParam Query(const char* name, const char* type, const char* description = "")
{
    return {name, "query", type, false, description};
}

}  // namespace

bool RequestPriority(const CHttpRequest& req, int& priority)
{
    if (!req.FieldCount("X-Mirakurun-Priority")) {
        priority = 0;
        return true;
    }
    const std::string text = req.Field("X-Mirakurun-Priority");
    size_t at = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (text.size() == at || text.size() - at > 7) return false;
    long v = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return false;
        v = v * 10 + (text[at] - '0');
    }
    if (v > kPriorityLimit) return false;
    priority = static_cast<int>(text[0] == '-' ? -v : v);
    return true;
}

CApi::CApi(const CChannelListing& listing, LineupsSource lineups, CTunerFeed& terrestrial, CTunerFeed& satellite,
           CGuideStore& guide, const CRouteTable& routes, std::string version, CEventLog& log)
    : listing_(listing),
      lineups_(std::move(lineups)),
      terrestrial_(terrestrial),
      satellite_(satellite),
      guide_(guide),
      routes_(routes),
      version_(std::move(version)),
      log_(log)
{
    // A change of a tuner's users is an event at once.
    for (int i : {0, 1})
        Feed(i == 0).SetUsersChanged([this, i] {
            std::lock_guard<std::mutex> lock(mutex_);
            tunerChanged_[i] = true;
            wake_.notify_all();
        });
}

CApi::~CApi()
{
    Stop();
}

bool CApi::IsApiPath(const std::string& path)
{
    return path == "/api" || path.compare(0, 5, "/api/") == 0;
}

void CApi::AnswerError(CHttpConnection& c, int code, const std::string& reason, const HttpFields& extra)
{
    c.Send(code, kJson, ApiErrorJson(code, reason), extra);
}

void CApi::AddRoutes(CRouteTable& routes)
{
    const auto add = [&](const char* pattern, auto member, CApiOperation op, bool mainPortOnly = true) {
        CRoute route;
        route.methods = kGet;
        route.pattern = pattern;
        route.mainPortOnly = mainPortOnly;
        route.handler = [this, member](const CHttpRequest& req, CHttpConnection& c, const Params& p) {
            (this->*member)(req, c, p);
        };
        route.api = std::move(op);
        routes.Add(std::move(route));
    };
    const CApiParam type{"type", "path", "string", true, "GR, BS or CS"};
    const CApiParam channel{"channel", "path", "string", true, "as tsserve's URLs name it: 27, C22, 40D0"};
    const std::vector<CApiParam> streamParams = {
        Query("decode", "integer", "taken and left alone: TunerHost's descrambler decodes"),
        {"X-Mirakurun-Priority", "header", "integer", false, "the request's priority (absent: 0)"}};
    const auto stream = [&](const char* id, const char* tag, const char* summary, std::vector<CApiParam> params) {
        params.insert(params.end(), streamParams.begin(), streamParams.end());
        return CApiOperation{id, {tag, "stream"}, summary, params, "", true};
    };
    add("/api/docs", &CApi::Docs, {"getDocs", {"misc"}, "this document", {}, ""});
    add("/api/status", &CApi::Status, {"getStatus", {"status"}, "tsserve's status", {}, "Status"});
    add("/api/version", &CApi::Version, {"checkVersion", {"version"}, "tsserve's version", {}, "Version"});
    add("/api/tuners", &CApi::Tuners, {"getTuners", {"tuners"}, "the tuner kinds and their users", {}, "[TunerDevice]"});
    add("/api/tuners/{index}", &CApi::Tuner, {"getTuner", {"tuners"}, "one tuner kind", {}, "TunerDevice"});
    const std::vector<CApiParam> channelQuery = {Query("type", "string"), Query("channel", "string"),
                                                 Query("name", "string")};
    add("/api/channels", &CApi::Channels, {"getChannels", {"channels"}, "the channels", channelQuery, "[Channel]"});
    add("/api/channels/{type}", &CApi::Channels,
        {"getChannelsByType", {"channels"}, "the channels of a type", {type, Query("channel", "string"),
                                                                       Query("name", "string")}, "[Channel]"});
    add("/api/channels/{type}/{channel}", &CApi::Channel,
        {"getChannel", {"channels"}, "a channel", {type, channel}, "Channel"});
    add("/api/channels/{type}/{channel}/services", &CApi::ChannelServices,
        {"getServicesByChannel", {"channels", "services"}, "a channel's services", {type, channel}, "[Service]"});
    add("/api/channels/{type}/{channel}/services/{sid}", &CApi::ChannelService,
        {"getServiceByChannel", {"channels", "services"}, "a service of a channel", {type, channel}, "Service"});
    add("/api/channels/{type}/{channel}/stream", &CApi::ChannelStream,
        stream("getChannelStream", "channels", "a channel's whole stream", {type, channel}));
    add("/api/channels/{type}/{channel}/services/{sid}/stream", &CApi::ChannelServiceStream,
        stream("getServiceStreamByChannel", "channels", "one service of a channel", {type, channel}));
    const std::vector<CApiParam> serviceQuery = {Query("serviceId", "integer"),    Query("networkId", "integer"),
                                                 Query("name", "string"),          Query("type", "integer"),
                                                 Query("channel.type", "string"), Query("channel.channel", "string")};
    add("/api/services", &CApi::Services, {"getServices", {"services"}, "the services", serviceQuery, "[Service]"});
    add("/api/services/{id}", &CApi::Service, {"getService", {"services"}, "a service", {}, "Service"});
    add("/api/services/{id}/logo", &CApi::Logo,
        {"getLogoImage", {"services"}, "a service's logo, a PNG (503: none held yet)", {}, ""},
        false);  // on every port, as the playlists and guides that name it are
    add("/api/services/{id}/stream", &CApi::ServiceStream,
        stream("getServiceStream", "services", "a service's stream", {}));
    const std::vector<CApiParam> programQuery = {Query("networkId", "integer"), Query("serviceId", "integer"),
                                                 Query("eventId", "integer")};
    add("/api/programs", &CApi::Programs, {"getPrograms", {"programs"}, "the guide's programmes", programQuery, "[Program]"});
    add("/api/programs/{id}", &CApi::Program, {"getProgram", {"programs"}, "a programme", {}, "Program"});
    add("/api/programs/{id}/stream", &CApi::ProgramStream,
        stream("getProgramStream", "programs", "a programme's stream, from its start to its end", {}));
    add("/api/events", &CApi::Events, {"getEvents", {"events"}, "the latest events", {}, "[Event]"});
    add("/api/events/stream", &CApi::EventsStream,
        {"getEventsStream", {"events", "stream"}, "the events as they come",
         {Query("resource", "string", "program, service or tuner"), Query("type", "string", "create, update or remove")},
         "", false});
}

void CApi::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread(&CApi::EventsMain, this);
}

void CApi::Stop()
{
    events_.Shutdown();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void CApi::Docs(const CHttpRequest&, CHttpConnection& c, const Params&)
{
    c.Send(200, kJson, ApiDocsJson(routes_, version_));
}

void CApi::Status(const CHttpRequest&, CHttpConnection& c, const Params&)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    size_t streams = 0;
    for (bool t : {true, false}) streams += Feed(t).Status().viewers.size();
    const CGuideState guide = guide_.State();
    const json zero = {{"avg", 0}, {"min", 0}, {"max", 0}};
    SendJson(c, {{"time", std::chrono::duration_cast<std::chrono::milliseconds>(now).count()},
                 {"version", version_},
                 {"process",
                  {{"arch", sizeof(void*) == 8 ? "x64" : "ia32"},
                   {"platform", "win32"},
                   {"versions", {{"tsserve", version_}}},
                   {"env", json::object()},
                   {"pid", GetCurrentProcessId()},
                   {"memoryUsage", {{"rss", 0}, {"heapTotal", 0}, {"heapUsed", 0}}}}},
                 {"epg", {{"gatheringNetworks", json::array()}, {"storedEvents", guide.events}}},
                 {"rpcCount", 0},
                 {"streamCount", {{"tunerDevice", streams}, {"tsFilter", streams}, {"decoder", 0}}},
                 {"errorCount",
                  {{"uncaughtException", 0},
                   {"unhandledRejection", 0},
                   {"bufferOverflow", 0},
                   {"tunerDeviceRespawn", 0},
                   {"decoderRespawn", 0}}},
                 {"timerAccuracy", {{"last", 0}, {"m1", zero}, {"m5", zero}, {"m15", zero}}}});
}

void CApi::Version(const CHttpRequest&, CHttpConnection& c, const Params&)
{
    SendJson(c, {{"current", version_}, {"latest", version_}});
}

// The tuner as it is now and, under "ended", the users whose streams ended
// since the last event, each with what it was sent: per PID, and in all
// ("packet", "drop"), as recorders count a recording's drops.
json CApi::TunerEvent(int index)
{
    json data = TunerJson(Shape(index));
    json ended = json::array();
    for (const CViewerStatus& v : (index == 0 ? terrestrial_ : satellite_).TakeEnded()) {
        json user = TunerUserJson({v.peer, v.user.priority, v.user.agent, v.user.url, v.pids});
        uint64_t packets = 0;
        for (const auto& p : v.pids) packets += p.second.packets;
        user["packet"] = packets;
        user["drop"] = v.drops;
        ended.push_back(std::move(user));
    }
    if (!ended.empty()) data["ended"] = std::move(ended);
    return data;
}

CTunerShape CApi::Shape(int index) const
{
    const bool terrestrial = index == 0;
    const CListedKind& kind = terrestrial ? listing_.terrestrial : listing_.satellite;
    CTunerFeed& feed = terrestrial ? terrestrial_ : satellite_;
    const CFeedStatus s = feed.Status();
    CTunerShape t;
    t.index = index;
    t.terrestrial = terrestrial;
    t.served = kind.Served();
    t.name = std::string(terrestrial ? "terrestrial" : "satellite") + (kind.plugin.empty() ? "" : " (" + kind.plugin + ")");
    t.busy = s.state != "idle";
    for (const CViewerStatus& v : s.viewers)
        t.users.push_back({v.peer, v.user.priority, v.user.agent, v.user.url, v.pids});
    // The scan and the guide's idle pass give way to everyone.
    if (s.lent) t.users.push_back({"tsserve:" + s.lentFor, -1, "tsserve", "", {}});
    return t;
}

void CApi::Tuners(const CHttpRequest&, CHttpConnection& c, const Params&)
{
    SendJson(c, json::array({TunerJson(Shape(0)), TunerJson(Shape(1))}));
}

void CApi::Tuner(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    uint64_t index = 0;
    if (!ParseApiNumber(p.Get("index"), 1000000, index)) return AnswerError(c, 400, "index is a whole number");
    if (index > 1) return AnswerError(c, 404, "no tuner " + std::to_string(index) + ": 0 is terrestrial, 1 satellite");
    SendJson(c, TunerJson(Shape(static_cast<int>(index))));
}

json CApi::ServicesOn(const CLineups& lineups, const CListedChannel& channel, bool terrestrial) const
{
    json out = json::array();
    for (const CLineupEntry& e : lineups.Of(terrestrial).entries) {
        if (!e.IsService()) continue;
        bool on = e.channel == &channel;
        for (const CListedChannel* f : e.fallbacks) on = on || f == &channel;
        if (on) out.push_back(ServiceJson(e, terrestrial, guide_.HasLogo(e.service)));
    }
    return out;
}

void CApi::Channels(const CHttpRequest& req, CHttpConnection& c, const Params& p)
{
    const std::string type = p.values.empty() ? req.Param("type") : p.Get("type");
    const std::string only = req.Param("channel"), name = req.Param("name");
    const auto lineups = lineups_();
    json out = json::array();
    for (bool terrestrial : {true, false}) {
        const CListedKind& kind = terrestrial ? listing_.terrestrial : listing_.satellite;
        if (!kind.Served()) continue;
        for (const CListedBand& band : kind.bands)
            for (const CListedChannel& ch : band.channels) {
                if (!type.empty() && type != ChannelTypeOf(ch, terrestrial)) continue;
                if (!only.empty() && only != ch.argument) continue;
                if (!name.empty() && ch.name.find(name) == std::string::npos) continue;
                out.push_back(ChannelJson(ch, terrestrial, ServicesOn(*lineups, ch, terrestrial)));
            }
    }
    SendJson(c, out);
}

const CListedChannel* CApi::ChannelOf(CHttpConnection& c, const Params& p, bool& terrestrial) const
{
    const std::string type = p.Get("type"), text = p.Get("channel");
    if (type != "GR" && type != "BS" && type != "CS") {
        AnswerError(c, 404, "no channels of type " + type + ": GR, BS and CS are served");
        return nullptr;
    }
    terrestrial = type == "GR";
    const CListedKind& kind = terrestrial ? listing_.terrestrial : listing_.satellite;
    const auto value = text.size() <= 16 ? ParseChannelArgument(Wide(text), terrestrial) : std::nullopt;
    const CListedChannel* channel = value && kind.Served() ? kind.Find(*value) : nullptr;
    if (!channel || type != ChannelTypeOf(*channel, terrestrial)) {
        AnswerError(c, 404, "no " + type + " channel " + text);
        return nullptr;
    }
    return channel;
}

void CApi::Channel(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    if (const CListedChannel* ch = ChannelOf(c, p, terrestrial))
        SendJson(c, ChannelJson(*ch, terrestrial, ServicesOn(*lineups_(), *ch, terrestrial)));
}

void CApi::ChannelServices(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    if (const CListedChannel* ch = ChannelOf(c, p, terrestrial)) SendJson(c, ServicesOn(*lineups_(), *ch, terrestrial));
}

void CApi::ChannelService(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    const CListedChannel* ch = ChannelOf(c, p, terrestrial);
    if (!ch) return;
    uint64_t sid = 0;
    if (!ParseApiNumber(p.Get("sid"), 65535, sid)) return AnswerError(c, 400, "sid is a service id, 0 to 65535");
    for (const json& s : ServicesOn(*lineups_(), *ch, terrestrial))
        if (s["serviceId"] == sid) return SendJson(c, s);
    AnswerError(c, 404, "no service " + std::to_string(sid) + " on " + ch->argument);
}

void CApi::ChannelStream(const CHttpRequest& req, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    if (const CListedChannel* ch = ChannelOf(c, p, terrestrial))
        Stream(req, c, terrestrial, lineups_()->Of(terrestrial).Sources(*ch, 0), 0);
}

void CApi::ChannelServiceStream(const CHttpRequest& req, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    const CListedChannel* ch = ChannelOf(c, p, terrestrial);
    if (!ch) return;
    uint64_t sid = 0;
    if (!ParseApiNumber(p.Get("sid"), 65535, sid) || sid == 0)
        return AnswerError(c, 400, "sid is a service id, 1 to 65535");
    const auto lineups = lineups_();
    for (const json& s : ServicesOn(*lineups, *ch, terrestrial))
        if (s["serviceId"] == sid)
            return Stream(req, c, terrestrial, lineups->Of(terrestrial).Sources(*ch, static_cast<uint16_t>(sid)),
                          static_cast<uint16_t>(sid));
    AnswerError(c, 404, "no service " + std::to_string(sid) + " on " + ch->argument);
}

CApi::Found CApi::ServiceOf(const CLineups& lineups, uint16_t networkId, uint16_t serviceId)
{
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups.Of(terrestrial).entries)
            if (e.IsService() && e.serviceId == serviceId && e.service.originalNetworkId == networkId)
                return {&e, terrestrial};
    return {};
}

CApi::Found CApi::ServiceById(const CLineups& lineups, uint64_t id)
{
    if (id / 100000 > 0xFFFF || id % 100000 > 0xFFFF) return {};
    return ServiceOf(lineups, static_cast<uint16_t>(id / 100000), static_cast<uint16_t>(id % 100000));
}

void CApi::Services(const CHttpRequest& req, CHttpConnection& c, const Params&)
{
    std::optional<uint64_t> serviceId, networkId, type;
    if (!NumberFilter(req, c, "serviceId", 65535, serviceId) || !NumberFilter(req, c, "networkId", 65535, networkId) ||
        !NumberFilter(req, c, "type", 255, type))
        return;
    const std::string name = req.Param("name"), channelType = req.Param("channel.type"),
                      channel = req.Param("channel.channel");
    const auto lineups = lineups_();
    json out = json::array();
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups->Of(terrestrial).entries) {
            if (!e.IsService() || (serviceId && e.serviceId != *serviceId) ||
                (networkId && e.service.originalNetworkId != *networkId) || (type && e.serviceType != *type) ||
                (!name.empty() && e.name.find(name) == std::string::npos) ||
                (!channelType.empty() && channelType != ChannelTypeOf(*e.channel, terrestrial)) ||
                (!channel.empty() && channel != e.channel->argument))
                continue;
            out.push_back(ServiceJson(e, terrestrial, guide_.HasLogo(e.service)));
        }
    SendJson(c, out);
}

void CApi::Service(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    uint64_t id = 0;
    if (!ParseApiNumber(p.Get("id"), kMaxServiceItemId, id))
        return AnswerError(c, 400, "a service's id is networkId * 100000 + serviceId");
    const auto lineups = lineups_();
    const Found s = ServiceById(*lineups, id);
    if (!s.entry) return AnswerError(c, 404, "no service " + std::to_string(id));
    SendJson(c, ServiceJson(*s.entry, s.terrestrial, guide_.HasLogo(s.entry->service)));
}

void CApi::Logo(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    uint64_t id = 0;
    if (!ParseApiNumber(p.Get("id"), kMaxServiceItemId, id))
        return AnswerError(c, 400, "a service's id is networkId * 100000 + serviceId");
    const auto lineups = lineups_();
    const Found s = ServiceById(*lineups, id);
    if (!s.entry) return AnswerError(c, 404, "no service " + std::to_string(id));
    const std::string png = guide_.Logo(s.entry->service);
    // Not yet: the broadcast sends its logos now and then, and a viewer's
    // stream or the guide's idle pass brings them.
    if (png.empty()) return AnswerError(c, 503, "no logo is held for service " + std::to_string(id) + " yet");
    c.Send(200, "image/png", png, {{"Cache-Control", "max-age=3600"}});
}

void CApi::ServiceStream(const CHttpRequest& req, CHttpConnection& c, const Params& p)
{
    uint64_t id = 0;
    if (!ParseApiNumber(p.Get("id"), kMaxServiceItemId, id))
        return AnswerError(c, 400, "a service's id is networkId * 100000 + serviceId");
    const auto lineups = lineups_();
    const Found s = ServiceById(*lineups, id);
    if (!s.entry) return AnswerError(c, 404, "no service " + std::to_string(id));
    Stream(req, c, s.terrestrial, lineups->Of(s.terrestrial).Sources(*s.entry->channel, s.entry->serviceId),
           s.entry->serviceId);
}

void CApi::Programs(const CHttpRequest& req, CHttpConnection& c, const Params&)
{
    std::optional<uint64_t> networkId, serviceId, eventId;
    if (!NumberFilter(req, c, "networkId", 65535, networkId) || !NumberFilter(req, c, "serviceId", 65535, serviceId) ||
        !NumberFilter(req, c, "eventId", 65535, eventId))
        return;
    const auto lineups = lineups_();
    std::string out = "[";
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups->Of(terrestrial).entries) {
            if (!e.IsService() || (serviceId && e.serviceId != *serviceId) ||
                (networkId && e.service.originalNetworkId != *networkId))
                continue;
            for (const CListedProgram& p : guide_.Listing(e.service)) {
                if (eventId && p.event.key.eventId != *eventId) continue;
                if (out.size() > 1) out += ',';
                out += ProgramJson(p.event, p.start, p.stop).dump();
            }
        }
    out += ']';
    c.Send(200, kJson, out);
}

// The programme an id names, among the lineups' services; 400 or 404 answered when none.
static std::optional<CListedProgram> FindProgram(CHttpConnection& c, const CLineups& lineups, const CGuideStore& guide,
                                                 const std::string& text, bool& terrestrial,
                                                 const CLineupEntry*& entry)
{
    uint64_t id = 0;
    if (!ParseApiNumber(text, kMaxProgramId, id)) {
        CApi::AnswerError(c, 400, "a programme's id is networkId, then serviceId and eventId in five digits each");
        return std::nullopt;
    }
    const uint64_t network = id / 10000000000ull, service = id / 100000 % 100000, event = id % 100000;
    if (service <= 0xFFFF && event <= 0xFFFF) {
        for (bool t : {true, false})
            for (const CLineupEntry& e : lineups.Of(t).entries)
                if (e.IsService() && e.serviceId == service && e.service.originalNetworkId == network)
                    if (auto p = guide.Program({e.service, static_cast<uint16_t>(event)})) {
                        terrestrial = t;
                        entry = &e;
                        return p;
                    }
    }
    CApi::AnswerError(c, 404, "no programme " + std::to_string(id));
    return std::nullopt;
}

void CApi::Program(const CHttpRequest&, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    const CLineupEntry* entry = nullptr;
    if (const auto found = FindProgram(c, *lineups_(), guide_, p.Get("id"), terrestrial, entry))
        SendJson(c, ProgramJson(found->event, found->start, found->stop));
}

void CApi::ProgramStream(const CHttpRequest& req, CHttpConnection& c, const Params& p)
{
    bool terrestrial = true;
    const CLineupEntry* entry = nullptr;
    const auto lineups = lineups_();
    const auto found = FindProgram(c, *lineups, guide_, p.Get("id"), terrestrial, entry);
    if (!found) return;
    const auto present = guide_.PresentEvent(entry->service);
    if (found->stop <= UtcNow() && !(present && *present == found->event.key.eventId))
        return AnswerError(c, 404, "programme " + p.Get("id") + " has ended");
    Stream(req, c, terrestrial, lineups->Of(terrestrial).Sources(*entry->channel, entry->serviceId), entry->serviceId,
           found->event.key);
}

void CApi::Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial,
                  std::vector<const CListedChannel*> sources, uint16_t service,
                  const std::optional<tstables::EventKey>& programme)
{
    CStreamAsk ask;
    if (!RequestPriority(req, ask.user.priority))
        return AnswerError(c, 400, "X-Mirakurun-Priority is a whole number, not " + req.Field("X-Mirakurun-Priority"));
    if (sources.empty()) return AnswerError(c, 404, "nothing carries it");
    ask.sources = std::move(sources);
    ask.service = service;
    ask.user.agent = req.Field("User-Agent");
    ask.user.url = req.path;
    ask.form = RefusalForm::Api;
    ask.fields = {{"X-Mirakurun-Tuner-User-ID", PeerOf(req)}};
    if (programme)
        ask.body = [this, key = *programme](CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer) {
            return std::make_unique<CProgrammeStream>(feed, std::move(viewer), peer, guide_, key, log_);
        };
    AnswerStream(Feed(terrestrial), req, c, ask, log_);
}

void CApi::Events(const CHttpRequest&, CHttpConnection& c, const Params&)
{
    c.Send(200, kJson, events_.Held());
}

void CApi::EventsStream(const CHttpRequest& req, CHttpConnection& c, const Params&)
{
    const std::string resource = req.Param("resource"), type = req.Param("type");
    if (!resource.empty() && resource != "program" && resource != "service" && resource != "tuner")
        return AnswerError(c, 400, "resource is program, service or tuner");
    if (!type.empty() && type != "create" && type != "update" && type != "remove")
        return AnswerError(c, 400, "type is create, update or remove");
    c.StartStream(kJson, {{"Cache-Control", "no-cache"}},
                  req.method == "HEAD" ? nullptr : events_.Listen(resource, type, c.Peer()));
}

// Tuners at once; the lineups and the guide every second; programmes over
// and gone from the guide every minute.
void CApi::EventsMain()
{
    ULONGLONG lastMs = 0, sweptMs = GetTickCount64();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(250));
        if (stop_) break;
        bool changed[2] = {tunerChanged_[0], tunerChanged_[1]};
        tunerChanged_[0] = tunerChanged_[1] = false;
        lock.unlock();
        for (int i : {0, 1})
            if (changed[i]) events_.Publish("tuner", "update", TunerEvent(i));
        const ULONGLONG now = GetTickCount64();
        if (now - lastMs >= 1000) {
            lastMs = now;
            PublishServices();
            const bool sweep = now - sweptMs >= 60000;
            if (sweep) sweptMs = now;
            PublishPrograms(sweep);
        }
        lock.lock();
    }
}

void CApi::PublishServices()
{
    const auto lineups = lineups_();
    if (lineups == publishedLineups_) return;
    publishedLineups_ = lineups;
    std::map<uint64_t, std::string> now;
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups->Of(terrestrial).entries)
            if (e.IsService())
                now[ServiceItemId(e.service.originalNetworkId, e.serviceId)] =
                    ServiceJson(e, terrestrial, guide_.HasLogo(e.service)).dump();
    for (const auto& [id, text] : now) {
        const auto was = services_.find(id);
        if (was == services_.end()) events_.Publish("service", "create", json::parse(text));
        else if (was->second != text) events_.Publish("service", "update", json::parse(text));
    }
    for (const auto& [id, text] : services_)
        if (!now.count(id)) events_.Publish("service", "remove", json::parse(text));
    services_ = std::move(now);
}

void CApi::PublishPrograms(bool sweep)
{
    const auto lineups = lineups_();
    const std::vector<tstables::EventKey> touched = guide_.TakeTouched();
    std::map<std::pair<uint16_t, uint16_t>, bool> listed;  // (network, service) the lineups list
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups->Of(terrestrial).entries)
            if (e.IsService()) listed[{e.service.originalNetworkId, e.serviceId}] = true;
    for (const tstables::EventKey& key : touched) {
        if (!listed.count({key.service.originalNetworkId, key.service.serviceId})) continue;
        const auto p = guide_.Program(key);
        if (!p) continue;
        const json j = ProgramJson(p->event, p->start, p->stop);
        const size_t hash = std::hash<std::string>()(j.dump());
        const uint64_t id = ProgramId(key.service.originalNetworkId, key.service.serviceId, key.eventId);
        const auto was = programs_.find(id);
        if (was != programs_.end() && was->second == hash) continue;
        events_.Publish("program", was == programs_.end() ? "create" : "update", j);
        programs_[id] = hash;
    }
    if (!sweep) return;
    // Programmes the guide no longer holds (over, or replaced by the broadcast).
    std::map<std::pair<uint16_t, uint16_t>, tstables::ServiceKey> keys;
    for (bool terrestrial : {true, false})
        for (const CLineupEntry& e : lineups->Of(terrestrial).entries)
            if (e.IsService()) keys[{e.service.originalNetworkId, e.serviceId}] = e.service;
    for (auto it = programs_.begin(); it != programs_.end();) {
        const uint16_t network = static_cast<uint16_t>(it->first / 10000000000ull);
        const uint16_t service = static_cast<uint16_t>(it->first / 100000 % 100000);
        const uint16_t event = static_cast<uint16_t>(it->first % 100000);
        const auto key = keys.find({network, service});
        if (key != keys.end() && guide_.Program({key->second, event})) {
            ++it;
            continue;
        }
        events_.Publish("program", "remove",
                        {{"id", it->first}, {"networkId", network}, {"serviceId", service}, {"eventId", event}});
        it = programs_.erase(it);
    }
}

#include "Documents.h"

#include "api/ApiShapes.h"
#include "base/TextEscape.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

using nlohmann::json;

namespace {

std::string Number(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

json When(int64_t utc)
{
    return utc ? json(IsoTime(utc, tstables::kJstOffsetSeconds)) : json(nullptr);
}

json FeedJson(const CServedKind& k)
{
    const CFeedStatus& s = k.status;
    json viewers = json::array();
    for (const CViewerStatus& v : s.viewers)
        viewers.push_back({{"peer", v.peer}, {"channel", v.channel}, {"seconds", std::round(v.seconds * 10) / 10},
                           {"bytes", v.bytes}, {"queuedBytes", v.queuedBytes}, {"priority", v.user.priority},
                           {"agent", v.user.agent}, {"asked", v.user.url}});
    return {{"served", k.kind->Served()},
            {"plugin", k.kind->plugin},
            {"state", s.state},
            {"channel", s.channel},
            {"channelName", s.channelName},
            {"viewers", s.viewers.size()},
            {"bytes", s.bytes},
            {"bytesPerSecond", static_cast<uint64_t>(s.rate + 0.5)},
            {"syncLosses", s.syncLosses},
            {"continuityErrors", s.ccErrors},
            {"connections", s.sessions},
            {"viewerList", std::move(viewers)},
            {"scan",
             {{"running", k.scan.running},
              {"done", k.scan.done},
              {"total", k.scan.total},
              {"found", k.scan.found},
              {"state", k.scan.state}}},
            {"guidePass", {{"running", k.guidePass.running}, {"channel", k.guidePass.channel},
                           {"lastPass", When(k.guidePass.lastPassUtc)}}}};
}

// `stop` as the guide has it (CNowNext), 0 when not known.
json EventJson(const std::optional<tstables::GuideEvent>& e, int64_t stop)
{
    if (!e) return nullptr;
    json j = {{"title", e->title}, {"start", e->startUtc ? json(IsoTime(*e->startUtc, e->utcOffset)) : json(nullptr)}};
    j["stop"] = stop ? json(IsoTime(stop, e->utcOffset)) : json(nullptr);
    return j;
}

std::string FeedLine(const char* kind, const CFeedStatus& s)
{
    if (s.state == "idle") return std::string(kind) + ": idle";
    return std::string(kind) + ": " + s.state + " " + s.channel + (s.channelName.empty() ? "" : " (" + s.channelName + ")") +
           ", " + std::to_string(s.viewers.size()) + " viewer(s), " + Number(s.rate / 1e6, 2) + " MB/s, " +
           Number(s.bytes / 1e6, 1) + " MB, sync losses " + std::to_string(s.syncLosses) + ", continuity errors " +
           std::to_string(s.ccErrors);
}

// "21:00", as the broadcast's clock reads it.
std::string Clock(const tstables::GuideEvent& e)
{
    if (!e.startUtc) return "";
    const std::string t = tstables::XmltvTime(*e.startUtc, e.utcOffset);
    return t.substr(8, 2) + ":" + t.substr(10, 2);
}

std::string Programme(const std::optional<tstables::GuideEvent>& e, int64_t stop)
{
    if (!e) return "";
    std::string text = Clock(*e);
    if (stop) {
        tstables::GuideEvent end = *e;
        end.startUtc = stop;
        text += "&ndash;" + Clock(end);
    }
    return "<small>" + text + "</small> " + HtmlText(e->title);
}

std::string GuideLine(const CGuideView& guide, const CServedKind& t, const CServedKind& s)
{
    std::string line = "Guide (<a href=\"/xmltv.xml\">xmltv.xml</a>): " + std::to_string(guide.state.events) +
                       " events";
    if (guide.state.lastAddedUtc)
        line += ", last collected " + HtmlText(IsoTime(guide.state.lastAddedUtc, tstables::kJstOffsetSeconds));
    for (const CServedKind* k : {&t, &s})
        if (k->guidePass.running)
            line += std::string("; idle pass on the ") + (k->kind->terrestrial ? "terrestrial" : "satellite") +
                    " tuner, channel " + HtmlText(k->guidePass.channel);
    return line;
}

// Who uses the tuner, with the priority that decides who keeps it (a scan
// and the idle pass borrow it at -1) and what each asked for.
std::string UsersLine(const CFeedStatus& s)
{
    if (s.viewers.empty() && !s.lent) return "";
    std::string out = "<p>Users:";
    const char* sep = " ";
    for (const CViewerStatus& v : s.viewers) {
        out += sep + HtmlText(v.peer) + " (priority " + std::to_string(v.user.priority) + ", " +
               HtmlText(v.user.agent.empty() ? std::string("no agent") : v.user.agent) + "): <code>" +
               HtmlText(v.user.url) + "</code>";
        sep = "; ";
    }
    if (s.lent) out += sep + std::string("tsserve's ") + HtmlText(s.lentFor) + " (priority -1)";
    return out + "</p>\n";
}

std::string ScanLine(const CServedKind& k)
{
    const CScanStatus& s = k.scan;
    if (s.state.empty()) return "";
    if (s.running)
        return "<p>Scanning: " + std::to_string(s.done) + " of " + std::to_string(s.total) + " channels, " +
               std::to_string(s.found) + " services found.</p>\n";
    return "<p>Last scan: " + HtmlText(s.state) + ", " + std::to_string(s.found) + " services found.</p>\n";
}

}  // namespace

std::string IsoTime(int64_t utc, int32_t offset)
{
    const std::string t = tstables::XmltvTime(utc, offset);  // "20250101210000 +0900"
    return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" + t.substr(8, 2) + ":" + t.substr(10, 2) +
           ":" + t.substr(12, 2) + t.substr(15, 3) + ":" + t.substr(18, 2);
}

std::string LogoUrl(const std::string& base, const CLineupEntry& e)
{
    return base + "/api/services/" + std::to_string(ServiceItemId(e.service.originalNetworkId, e.serviceId)) + "/logo";
}

std::string PlaylistM3u(const CLineups& lineups, const std::string& base, const std::string& kinds,
                        bool guideInHeader, const std::function<bool(const CLineupEntry&)>& hasLogo)
{
    const std::string guide = base + "/xmltv.xml";
    std::string out = guideInHeader ? "#EXTM3U url-tvg=\"" + guide + "\" x-tvg-url=\"" + guide + "\"\n" : "#EXTM3U\n";
    for (const CLineup* lineup : {&lineups.terrestrial, &lineups.satellite}) {
        if (kinds.find(lineup->terrestrial ? 't' : 's') == std::string::npos) continue;
        for (const CLineupEntry& e : lineup->entries) {
            const std::string name = M3uText(e.name);
            // The type up front spares Kodi's IPTV client a probe of the live
            // stream before it plays it.
            const std::string logo =
                e.IsService() && hasLogo && hasLogo(e) ? " tvg-logo=\"" + M3uText(LogoUrl(base, e)) + "\"" : "";
            out += "#EXTINF:-1 tvg-id=\"" + M3uText(e.id) + "\" tvg-name=\"" + name + "\" tvg-chno=\"" + e.number +
                   "\" group-title=\"" + M3uText(e.group) + "\"" + logo + "," + name +
                   "\n#KODIPROP:mimetype=video/mp2t\n" + base + e.streamPath + "\n";
        }
    }
    return out;
}

std::string StatusJson(const CServedKind& terrestrial, const CServedKind& satellite, const CGuideView& guide)
{
    json services = json::array();
    for (const CServedKind* k : {&terrestrial, &satellite})
        for (const CLineupEntry& e : k->lineup->entries) {
            if (!e.IsService()) continue;
            const auto it = guide.nowNext.find(e.id);
            const CNowNext none;
            const CNowNext& nn = it == guide.nowNext.end() ? none : it->second;
            services.push_back({{"number", e.number},
                                {"name", e.name},
                                {"id", e.id},
                                {"kind", k->kind->terrestrial ? "t" : "s"},
                                {"channel", e.channel->argument},
                                {"serviceId", e.serviceId},
                                {"now", EventJson(nn.now, nn.nowStop)},
                                {"next", EventJson(nn.next, nn.nextStop)}});
        }
    const json doc = {{"terrestrial", FeedJson(terrestrial)},
                      {"satellite", FeedJson(satellite)},
                      {"guide",
                       {{"events", guide.state.events},
                        {"lastCollected", When(guide.state.lastAddedUtc)},
                        {"lastScheduleTaken", When(guide.state.lastTakenUtc)},
                        {"idlePass", terrestrial.guidePass.running || satellite.guidePass.running}}},
                      {"services", std::move(services)}};
    return doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string IndexHtml(const CServedKind& terrestrial, const CServedKind& satellite, const CGuideView& guide,
                      const std::string& version)
{
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"5\">"
        "<title>TunerHost</title><style>body{font-family:sans-serif;margin:1.5em}td,th{padding:2px 10px;"
        "text-align:left;vertical-align:top}h2{margin-top:1.2em}.ch{display:inline-block;min-width:10em}"
        "small{color:#666}</style></head><body>\n<h1>TunerHost</h1>\n<p>" +
        HtmlText(FeedLine("Terrestrial", terrestrial.status)) + "<br>" +
        HtmlText(FeedLine("Satellite", satellite.status)) + "<br>" + GuideLine(guide, terrestrial, satellite) +
        "</p>\n<p><a href=\"/playlist.m3u\">playlist.m3u</a> &middot; <a href=\"/xmltv.xml\">xmltv.xml</a> &middot; "
        "<a href=\"/status.json\">status.json</a></p>\n";
    for (const CServedKind* k : {&terrestrial, &satellite}) {
        const CListedKind& kind = *k->kind;
        out += std::string("<h2>") + (kind.terrestrial ? "Terrestrial" : "Satellite") + "</h2>\n";
        if (!kind.Served()) {
            out += "<p>Not served" + (kind.missing.empty() ? "" : ": plug-in " + HtmlText(kind.missing) + " not found") +
                   ".</p>\n";
            continue;
        }
        const std::string device = HtmlText(k->deviceBase);
        out += "<p>" + HtmlText(kind.plugin) + ". Network tuner " + k->device->IdText() + " for media servers: <code>" +
               device + "</code> (<a href=\"" + device + "/discover.json\">discover.json</a>, <a href=\"" + device +
               "/lineup.json\">lineup.json</a>)</p>\n" + UsersLine(k->status) + ScanLine(*k) + "<table>\n";
        const bool services = !k->lineup->entries.empty() && k->lineup->entries.front().IsService();
        if (services) {
            // A row per service with its programme now and next.
            out += "<tr><th>No.</th><th>Service</th><th>Channel</th><th>Now</th><th>Next</th></tr>\n";
            for (const CLineupEntry& e : k->lineup->entries) {
                const auto it = guide.nowNext.find(e.id);
                out += "<tr><td><a href=\"" + HtmlText(e.streamPath) + "\">" + HtmlText(e.number) + "</a></td><td>" +
                       HtmlText(e.name) + "</td><td><small>" + HtmlText(e.group + " " + e.channel->argument) +
                       "</small></td><td>" +
                       (it == guide.nowNext.end() ? "" : Programme(it->second.now, it->second.nowStop)) +
                       "</td><td>" +
                       (it == guide.nowNext.end() ? "" : Programme(it->second.next, it->second.nextStop)) +
                       "</td></tr>\n";
            }
            out += "</table>\n";
            continue;
        }
        for (const CListedBand& band : kind.bands) {
            out += "<tr><th>" + HtmlText(band.name) + "</th><td>";
            if (!band.served) out += "not served";
            for (const CLineupEntry& e : k->lineup->entries) {
                if (e.group != band.name) continue;
                out += "<span class=\"ch\"><a href=\"" + HtmlText(e.streamPath) + "\">" + HtmlText(e.number) +
                       "</a> " + HtmlText(e.name) + " <small>" + HtmlText(e.channel->argument) + "</small></span> ";
            }
            out += "</td></tr>\n";
        }
        out += "</table>\n";
    }
    return out + "<p><small>tsserve " + HtmlText(version) + "</small></p>\n</body></html>\n";
}

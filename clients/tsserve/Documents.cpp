#include "Documents.h"

#include "TextEscape.h"

#include <cstdio>

namespace {

std::string Number(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string FeedJson(const CListedKind& kind, const CFeedStatus& s)
{
    std::string out = "{\"served\":" + std::string(kind.Served() ? "true" : "false") +
                      ",\"plugin\":" + JsonString(kind.plugin) + ",\"state\":" + JsonString(s.state) +
                      ",\"channel\":" + JsonString(s.channel) + ",\"channelName\":" + JsonString(s.channelName) +
                      ",\"viewers\":" + std::to_string(s.viewers.size()) + ",\"bytes\":" + std::to_string(s.bytes) +
                      ",\"bytesPerSecond\":" + Number(s.rate, 0) + ",\"syncLosses\":" + std::to_string(s.syncLosses) +
                      ",\"continuityErrors\":" + std::to_string(s.ccErrors) +
                      ",\"connections\":" + std::to_string(s.sessions) + ",\"viewerList\":[";
    for (size_t i = 0; i < s.viewers.size(); ++i) {
        const CViewerStatus& v = s.viewers[i];
        out += std::string(i ? "," : "") + "{\"peer\":" + JsonString(v.peer) + ",\"channel\":" + JsonString(v.channel) +
               ",\"seconds\":" + Number(v.seconds, 1) + ",\"bytes\":" + std::to_string(v.bytes) +
               ",\"queuedBytes\":" + std::to_string(v.queuedBytes) + "}";
    }
    return out + "]}";
}

std::string FeedLine(const char* kind, const CFeedStatus& s)
{
    if (s.state == "idle") return std::string(kind) + ": idle";
    return std::string(kind) + ": " + s.state + " " + s.channel + (s.channelName.empty() ? "" : " (" + s.channelName + ")") +
           ", " + std::to_string(s.viewers.size()) + " viewer(s), " + Number(s.rate / 1e6, 2) + " MB/s, " +
           Number(s.bytes / 1e6, 1) + " MB, sync losses " + std::to_string(s.syncLosses) + ", continuity errors " +
           std::to_string(s.ccErrors);
}

}  // namespace

std::string PlaylistM3u(const CLineup& terrestrial, const CLineup& satellite, const std::string& base,
                        const std::string& kinds)
{
    std::string out = "#EXTM3U\n";
    for (const CLineup* lineup : {&terrestrial, &satellite}) {
        if (kinds.find(lineup->terrestrial ? 't' : 's') == std::string::npos) continue;
        for (const CLineupEntry& e : lineup->entries) {
            const std::string name = M3uText(e.name);
            // The type up front spares Kodi's IPTV client a probe of the live
            // stream before it plays it.
            out += "#EXTINF:-1 tvg-id=\"" + M3uText(e.id) + "\" tvg-name=\"" + name + "\" tvg-chno=\"" + e.number +
                   "\" group-title=\"" + M3uText(e.group) + "\"," + name + "\n#KODIPROP:mimetype=video/mp2t\n" + base +
                   e.streamPath + "\n";
        }
    }
    return out;
}

std::string StatusJson(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite)
{
    return "{\"terrestrial\":" + FeedJson(listing.terrestrial, terrestrial) +
           ",\n\"satellite\":" + FeedJson(listing.satellite, satellite) + "}\n";
}

std::string IndexHtml(const CServedKind& terrestrial, const CServedKind& satellite, const std::string& version)
{
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"5\">"
        "<title>TunerHost</title><style>body{font-family:sans-serif;margin:1.5em}td,th{padding:2px 10px;"
        "text-align:left;vertical-align:top}h2{margin-top:1.2em}.ch{display:inline-block;min-width:10em}"
        "small{color:#666}</style></head><body>\n<h1>TunerHost</h1>\n<p>" +
        HtmlText(FeedLine("Terrestrial", terrestrial.status)) + "<br>" +
        HtmlText(FeedLine("Satellite", satellite.status)) +
        "</p>\n<p><a href=\"/playlist.m3u\">playlist.m3u</a> &middot; <a href=\"/status.json\">status.json</a></p>\n";
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
               "/lineup.json\">lineup.json</a>)</p>\n<table>\n";
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

#include "Documents.h"

#include "TextEscape.h"

#include <cstdio>

namespace {

int ServedKinds(const CChannelListing& listing)
{
    return (listing.terrestrial.Served() ? 1 : 0) + (listing.satellite.Served() ? 1 : 0);
}

template <typename Each>
void ForEachChannel(const CChannelListing& listing, Each each)
{
    for (const CListedKind* kind : {&listing.terrestrial, &listing.satellite})
        for (const CListedBand& band : kind->bands)
            for (const CListedChannel& channel : band.channels) each(*kind, band, channel);
}

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

std::string StreamPath(const CListedKind& kind, const CListedChannel& channel)
{
    return std::string("/stream/") + (kind.terrestrial ? "t/" : "s/") + channel.argument;
}

std::string LineupPath(const CListedChannel& channel)
{
    return "/auto/v" + channel.argument;
}

std::string PlaylistM3u(const CChannelListing& listing, const std::string& base, const std::string& kinds)
{
    std::string out = "#EXTM3U\n";
    ForEachChannel(listing, [&](const CListedKind& kind, const CListedBand& band, const CListedChannel& c) {
        if (kinds.find(kind.terrestrial ? 't' : 's') == std::string::npos) return;
        const std::string name = M3uText(c.name.empty() ? c.argument : c.name);
        out += "#EXTINF:-1 tvg-id=\"" + std::string(kind.terrestrial ? "t" : "s") + M3uText(c.argument) +
               "\" tvg-name=\"" + name + "\" tvg-chno=\"" + M3uText(c.argument) + "\" group-title=\"" +
               M3uText(band.name) + "\"," + name + "\n" + base + StreamPath(kind, c) + "\n";
    });
    return out;
}

std::string DiscoverJson(const CChannelListing& listing, const std::string& base, const CDeviceInfo& device)
{
    return "{\"FriendlyName\":\"TunerHost\",\"ModelNumber\":\"TunerHost\",\"FirmwareName\":\"tsserve\","
           "\"FirmwareVersion\":" + JsonString(device.version) + ",\"DeviceID\":" + JsonString(device.deviceId) +
           ",\"DeviceAuth\":\"tsserve\",\"BaseURL\":" + JsonString(base) +
           ",\"LineupURL\":" + JsonString(base + "/lineup.json") +
           ",\"TunerCount\":" + std::to_string(ServedKinds(listing)) + "}\n";
}

std::string LineupJson(const CChannelListing& listing, const std::string& base)
{
    std::string out = "[";
    bool first = true;
    ForEachChannel(listing, [&](const CListedKind&, const CListedBand&, const CListedChannel& c) {
        out += std::string(first ? "" : ",") + "\n{\"GuideNumber\":" + JsonString(c.argument) +
               ",\"GuideName\":" + JsonString(c.name.empty() ? c.argument : c.name) +
               ",\"URL\":" + JsonString(base + LineupPath(c)) + "}";
        first = false;
    });
    return out + "\n]\n";
}

std::string LineupStatusJson(const CChannelListing& listing)
{
    std::string sources;
    if (listing.terrestrial.Served()) sources += "\"Antenna\"";
    if (listing.satellite.Served()) sources += std::string(sources.empty() ? "" : ",") + "\"Satellite\"";
    const char* source = listing.terrestrial.Served() || !listing.satellite.Served() ? "Antenna" : "Satellite";
    return "{\"ScanInProgress\":0,\"ScanPossible\":0,\"Source\":\"" + std::string(source) + "\",\"SourceList\":[" +
           sources + "]}\n";
}

std::string StatusJson(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite)
{
    return "{\"terrestrial\":" + FeedJson(listing.terrestrial, terrestrial) +
           ",\n\"satellite\":" + FeedJson(listing.satellite, satellite) + "}\n";
}

std::string IndexHtml(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite,
                      const CDeviceInfo& device)
{
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"5\">"
        "<title>TunerHost</title><style>body{font-family:sans-serif;margin:1.5em}td,th{padding:2px 10px;"
        "text-align:left;vertical-align:top}h2{margin-top:1.2em}.ch{display:inline-block;min-width:7.5em}</style></head><body>\n<h1>TunerHost</h1>\n<p>" +
        HtmlText(FeedLine("Terrestrial", terrestrial)) + "<br>" + HtmlText(FeedLine("Satellite", satellite)) +
        "</p>\n<p><a href=\"/playlist.m3u\">playlist.m3u</a> &middot; <a href=\"/status.json\">status.json</a> "
        "&middot; <a href=\"/lineup.json\">lineup.json</a></p>\n";
    for (const CListedKind* kind : {&listing.terrestrial, &listing.satellite}) {
        out += std::string("<h2>") + (kind->terrestrial ? "Terrestrial" : "Satellite") + "</h2>\n";
        if (!kind->Served()) {
            out += "<p>Not served" + (kind->missing.empty() ? "" : ": plug-in " + HtmlText(kind->missing) + " not found") +
                   ".</p>\n";
            continue;
        }
        out += "<p>" + HtmlText(kind->plugin) + "</p>\n<table>\n";
        for (const CListedBand& band : kind->bands) {
            out += "<tr><th>" + HtmlText(band.name) + "</th><td>";
            if (!band.served) out += "not served";
            for (const CListedChannel& c : band.channels)
                out += "<span class=\"ch\"><a href=\"" + StreamPath(*kind, c) + "\">" + HtmlText(c.argument) +
                       "</a> " + HtmlText(c.name) + "</span> ";
            out += "</td></tr>\n";
        }
        out += "</table>\n";
    }
    return out + "<p><small>tsserve " + HtmlText(device.version) + "</small></p>\n</body></html>\n";
}

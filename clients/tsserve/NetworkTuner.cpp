#include "NetworkTuner.h"

#include "TextEscape.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

// The check digit: the eight hex digits, every other one mapped through this
// table, XOR to zero.
constexpr uint8_t kCheckTable[16] = {0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB, 0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0};

uint8_t CheckSum(uint32_t id)
{
    uint8_t sum = 0;
    for (int digit = 7; digit >= 0; --digit) {
        const uint8_t d = (id >> (4 * digit)) & 0xF;
        sum ^= digit % 2 ? kCheckTable[d] : d;
    }
    return sum;
}

// What HDHomeRun clients take for a device of the first generations
// (0x100xxxxx to 0x122xxxxx): they would talk to it in the old way.
bool LegacyRange(uint32_t id)
{
    const uint32_t top = id >> 24;
    return top >= 0x10 && top <= 0x12;
}

uint32_t Mix(uint32_t h)
{
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    return h ^ (h >> 16);
}

}  // namespace

uint32_t NetworkTunerId(uint32_t seed)
{
    uint32_t id = Mix(seed) & 0xFFFFFFF0u;
    if (LegacyRange(id)) id ^= 0x80000000u;
    // Neither the wildcard nor zero.
    if ((id >> 4) == 0 || (id >> 4) == 0x0FFFFFFFu) id ^= 0x20000000u;
    return id | CheckSum(id);
}

bool NetworkTunerIdValid(uint32_t id)
{
    return CheckSum(id) == 0 && !LegacyRange(id);
}

std::string CNetworkTuner::IdText() const
{
    char text[12];
    std::snprintf(text, sizeof text, "%08X", id);
    return text;
}

CNetworkTuner MakeNetworkTuner(bool terrestrial, uint32_t seed, int port)
{
    CNetworkTuner d;
    d.terrestrial = terrestrial;
    d.id = NetworkTunerId(seed ^ (terrestrial ? 0x54u : 0x53u));
    d.port = port;
    d.friendlyName = terrestrial ? "TunerHost terrestrial" : "TunerHost satellite";
    const uint32_t a = Mix(d.id ^ 0x55504E50u), b = Mix(a), c = Mix(b);
    char udn[64];
    std::snprintf(udn, sizeof udn, "uuid:%08x-%04x-4%03x-a%03x-%04x%08x", d.id, a >> 16, a & 0xFFF, b >> 20,
                  b & 0xFFFF, c);
    d.udn = udn;
    return d;
}

std::string DiscoverJson(const CNetworkTuner& device, const std::string& base, const std::string& version)
{
    // In the order HDHomeRun devices give them.
    const nlohmann::ordered_json doc = {{"FriendlyName", device.friendlyName},
                                        {"ModelNumber", "TunerHost"},
                                        {"FirmwareName", "tsserve"},
                                        {"FirmwareVersion", version},
                                        {"DeviceID", device.IdText()},
                                        {"DeviceAuth", "tsserve"},
                                        {"BaseURL", base},
                                        {"LineupURL", base + "/lineup.json"},
                                        {"TunerCount", 1}};
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string LineupJson(const CLineup& lineup, const std::string& base)
{
    nlohmann::json list = nlohmann::json::array();
    for (const CLineupEntry& e : lineup.entries) {
        nlohmann::json j = {{"GuideNumber", e.number}, {"GuideName", e.name}};
        if (!e.videoCodec.empty()) j["VideoCodec"] = e.videoCodec;
        if (!e.audioCodec.empty()) j["AudioCodec"] = e.audioCodec;
        // As HDHomeRun devices say them: present, as 1, only where they hold.
        // Media servers take an entry without HD for a low-rate SD stream,
        // and leave out or grey out one with DRM, which they could not play.
        if (e.hd) j["HD"] = 1;
        if (e.drm) j["DRM"] = 1;
        j["URL"] = base + LineupPath(e);
        list.push_back(std::move(j));
    }
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string LineupStatusJson(const CNetworkTuner& device, const CLineupScan& scan)
{
    const char* source = device.terrestrial ? "Antenna" : "Satellite";
    nlohmann::json doc{{"ScanInProgress", scan.inProgress ? 1 : 0},
                       {"ScanPossible", 1},
                       {"Progress", scan.progress},
                       {"Found", scan.found},
                       {"Source", source},
                       {"SourceList", {source}}};
    // Not HDHomeRun's own: its clients read the keys they know and leave the
    // others, and to them the scan is in progress.
    if (scan.waiting) doc["ScanWaiting"] = 1;
    return doc.dump() + "\n";
}

std::string DeviceXml(const CNetworkTuner& device, const std::string& base, const std::string& version)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
           "<specVersion><major>1</major><minor>0</minor></specVersion>\n"
           "<URLBase>" + HtmlText(base) + "</URLBase>\n"
           "<device>\n"
           "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\n"
           "<friendlyName>" + HtmlText(device.friendlyName) + "</friendlyName>\n"
           "<manufacturer>TunerHost</manufacturer>\n"
           "<modelName>TunerHost</modelName>\n"
           "<modelNumber>tsserve " + HtmlText(version) + "</modelNumber>\n"
           "<serialNumber>" + device.IdText() + "</serialNumber>\n"
           "<UDN>" + device.udn + "</UDN>\n"
           "</device>\n"
           "</root>\n";
}

#include "Lineup.h"

#include "Sdt.h"
#include "tuner/ChannelSelection.h"

#include <map>
#include <set>

namespace {

const char* VideoCodec(const std::vector<uint8_t>& types)
{
    for (const uint8_t t : types) {
        if (t == 0x01 || t == 0x02) return "MPEG2";
        if (t == 0x1B) return "H264";
        if (t == 0x24) return "HEVC";
    }
    return "";
}

const char* AudioCodec(const std::vector<uint8_t>& types)
{
    for (const uint8_t t : types) {
        if (t == 0x0F || t == 0x11) return "AAC";
        if (t == 0x03 || t == 0x04) return "MPEG";
        if (t == 0x81) return "AC3";
    }
    return "";
}

CLineupEntry ChannelEntry(const CListedBand& band, const CListedChannel& c, bool terrestrial)
{
    const char* letter = terrestrial ? "t" : "s";
    CLineupEntry e;
    e.number = ChannelNumber(c, terrestrial);
    e.name = c.name.empty() ? c.argument : c.name;
    e.group = band.name;
    e.id = letter + c.argument;
    e.streamPath = std::string("/stream/") + letter + "/" + c.argument;
    e.channel = &c;
    // What every ISDB-T and ISDB-S (2K) broadcast carries; a scan reads them.
    e.videoCodec = "MPEG2";
    e.audioCodec = "AAC";
    return e;
}

// The services a scan found on the channel, as entries; false when it found none to list.
bool AddServices(CLineup& lineup, const CListedBand& band, const CListedChannel& c, const CScannedChannel& scanned)
{
    bool any = false;
    for (const tstables::ScannedService& s : scanned.transport.services) {
        if (s.serviceId == 0 || tstables::KindOfServiceType(s.serviceType) == tstables::ServiceKind::Data) continue;
        CLineupEntry e;
        e.serviceId = s.serviceId;
        e.service = {scanned.transport.originalNetworkId, scanned.transport.transportStreamId, s.serviceId};
        e.number = std::to_string(s.number ? s.number : s.serviceId);
        e.name = s.name.empty() ? "Service " + std::to_string(s.serviceId) : s.name;
        e.group = band.name;
        e.id = GuideChannelId(e.service, lineup.terrestrial);
        e.streamPath = std::string("/stream/") + (lineup.terrestrial ? "t/" : "s/") + c.argument + "/" +
                       std::to_string(s.serviceId);
        e.channel = &c;
        e.videoCodec = VideoCodec(s.streamTypes);
        e.audioCodec = AudioCodec(s.streamTypes);
        lineup.entries.push_back(std::move(e));
        any = true;
    }
    return any;
}

CLineup KindLineup(const CListedKind& kind, const std::vector<CScannedChannel>& scanned)
{
    CLineup lineup;
    lineup.terrestrial = kind.terrestrial;
    if (!kind.Served()) return lineup;
    std::map<std::string, const CScannedChannel*> found;
    for (const CScannedChannel& s : scanned)
        if (s.terrestrial == kind.terrestrial && s.found) found[s.argument] = &s;
    // Services where a scan found them; a kind with none keeps its channels.
    for (const CListedBand& band : kind.bands)
        for (const CListedChannel& c : band.channels) {
            const auto it = found.find(c.argument);
            if (it != found.end()) AddServices(lineup, band, c, *it->second);
        }
    if (!lineup.entries.empty()) return lineup;
    for (const CListedBand& band : kind.bands)
        for (const CListedChannel& c : band.channels) lineup.entries.push_back(ChannelEntry(band, c, kind.terrestrial));
    return lineup;
}

}  // namespace

const CLineupEntry* CLineup::Find(const std::string& number) const
{
    for (const CLineupEntry& e : entries)
        if (e.number == number) return &e;
    return nullptr;
}

std::string ChannelNumber(const CListedChannel& channel, bool terrestrial)
{
    if (terrestrial) {
        const std::string& a = channel.argument;  // "27", "C22"
        return !a.empty() && (a[0] == 'C' || a[0] == 'c') ? std::to_string(100 + std::stoi(a.substr(1))) : a;
    }
    const uint32_t transponder = (channel.value >> 4) & 0x1F;
    if (static_cast<uint32_t>(channel.band) == kBandBS)
        return std::to_string(1000 + 10 * transponder + (channel.value & 7));
    return std::to_string(2000 + transponder);
}

CLineup MakeLineup(const CListedKind& kind)
{
    return KindLineup(kind, {});
}

CLineups MakeLineups(const CChannelListing& listing, const std::vector<CScannedChannel>& scanned)
{
    CLineups out{KindLineup(listing.terrestrial, scanned), KindLineup(listing.satellite, scanned)};
    std::map<std::string, int> count;
    std::set<std::string> taken;
    for (CLineup* lineup : {&out.terrestrial, &out.satellite})
        for (const CLineupEntry& e : lineup->entries) {
            ++count[e.number];
            taken.insert(e.number);
        }
    std::map<std::string, int> next;
    for (CLineup* lineup : {&out.terrestrial, &out.satellite})
        for (CLineupEntry& e : lineup->entries) {
            if (!e.IsService() || count[e.number] < 2) continue;
            const std::string base = e.number;
            std::string candidate;
            do {
                int k = ++next[base];
                if (k % 10 == 0) k = ++next[base];
                candidate = base + "." + std::to_string(k);
            } while (taken.count(candidate));
            e.number = candidate;
            taken.insert(candidate);
        }
    return out;
}

std::string LineupPath(const CLineupEntry& entry)
{
    return "/auto/v" + entry.number;
}

std::string GuideChannelId(const tstables::ServiceKey& service, bool terrestrial)
{
    return std::to_string(service.serviceId) + "." + std::to_string(service.originalNetworkId) +
           (terrestrial ? ".t" : ".s") + ".tunerhost";
}

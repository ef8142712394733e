#include "Lineup.h"

#include "Components.h"
#include "Sdt.h"
#include "tuner/ChannelSelection.h"

#include <algorithm>
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
    e.hd = true;
    return e;
}

bool Listed(const tstables::ScannedService& s)
{
    return s.serviceId != 0 && tstables::KindOfServiceType(s.serviceType) != tstables::ServiceKind::Data;
}

tstables::ServiceKey KeyOf(const CScannedChannel& c, const tstables::ScannedService& s)
{
    return {c.transport.originalNetworkId, c.transport.transportStreamId, s.serviceId};
}

std::string BroadcastNumber(const tstables::ScannedService& s)
{
    return std::to_string(s.number ? s.number : s.serviceId);
}

// `base` where it is free, else with the first decimal part free.
std::string FreeNumber(const std::string& base, const std::set<std::string>& taken)
{
    if (!taken.count(base)) return base;
    for (int k = 1;; ++k) {
        if (k % 10 == 0) continue;
        const std::string candidate = base + "." + std::to_string(k);
        if (!taken.count(candidate)) return candidate;
    }
}

// The services a scan found on the channel, as entries (a service already
// listed from another channel gets this one as a fallback).
void AddServices(CLineup& lineup, const CListedBand& band, const CListedChannel& c, const CScannedChannel& scanned,
                 std::map<tstables::ServiceKey, size_t>& listed)
{
    for (const tstables::ScannedService& s : scanned.transport.services) {
        if (!Listed(s)) continue;
        const tstables::ServiceKey key = KeyOf(scanned, s);
        const auto known = listed.find(key);
        if (known != listed.end()) {
            lineup.entries[known->second].fallbacks.push_back(&c);
            continue;
        }
        CLineupEntry e;
        e.serviceId = s.serviceId;
        e.service = key;
        e.number = s.guideNumber;
        e.name = s.name.empty() ? "Service " + std::to_string(s.serviceId) : s.name;
        e.group = band.name;
        e.id = GuideChannelId(e.service, lineup.terrestrial);
        e.streamPath = std::string("/stream/") + (lineup.terrestrial ? "t/" : "s/") + c.argument + "/" +
                       std::to_string(s.serviceId);
        e.channel = &c;
        e.videoCodec = VideoCodec(s.streamTypes);
        e.audioCodec = AudioCodec(s.streamTypes);
        e.hd = HighDefinition(s);
        e.drm = s.scrambledPackets;
        listed[key] = lineup.entries.size();
        lineup.entries.push_back(std::move(e));
    }
}

CLineup KindLineup(const CListedKind& kind, const std::vector<CScannedChannel>& scanned,
                   const std::vector<const CListedChannel*>& pending)
{
    CLineup lineup;
    lineup.terrestrial = kind.terrestrial;
    if (!kind.Served()) return lineup;
    std::map<std::string, const CScannedChannel*> recorded;
    for (const CScannedChannel& s : scanned)
        if (s.terrestrial == kind.terrestrial) recorded[s.argument] = &s;
    // Services where a scan found them, channels that a scan in progress has
    // yet to read for the first time; a kind with no service keeps its channels.
    std::map<tstables::ServiceKey, size_t> listed;
    for (const CListedBand& band : kind.bands)
        for (const CListedChannel& c : band.channels) {
            const auto it = recorded.find(c.argument);
            if (it != recorded.end() && it->second->found) AddServices(lineup, band, c, *it->second, listed);
            else if (it == recorded.end() && std::find(pending.begin(), pending.end(), &c) != pending.end())
                lineup.entries.push_back(ChannelEntry(band, c, kind.terrestrial));
        }
    if (!listed.empty()) return lineup;
    lineup.entries.clear();
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
    return KindLineup(kind, {}, {});
}

CLineups MakeLineups(const CChannelListing& listing, const std::vector<CScannedChannel>& scanned,
                     const std::vector<const CListedChannel*>& pending)
{
    CLineups out{KindLineup(listing.terrestrial, scanned, pending), KindLineup(listing.satellite, scanned, pending)};
    const std::vector<CLineupEntry*> all = [&] {
        std::vector<CLineupEntry*> v;
        for (CLineup* lineup : {&out.terrestrial, &out.satellite})
            for (CLineupEntry& e : lineup->entries) v.push_back(&e);
        return v;
    }();
    // Numbers given for good first, then the channels' own, then the rest.
    std::set<std::string> taken;
    std::vector<CLineupEntry*> channels, unnumbered;
    for (CLineupEntry* e : all) {
        if (!e->IsService()) channels.push_back(e);
        else if (e->number.empty() || !taken.insert(e->number).second) unnumbered.push_back(e);
    }
    for (CLineupEntry* e : channels) {
        e->number = FreeNumber(e->number, taken);
        taken.insert(e->number);
    }
    std::map<tstables::ServiceKey, std::string> broadcast;
    for (const CScannedChannel& c : scanned)
        for (const tstables::ScannedService& s : c.transport.services) broadcast.emplace(KeyOf(c, s), BroadcastNumber(s));
    for (CLineupEntry* e : unnumbered) {
        e->number = FreeNumber(broadcast[e->service], taken);
        taken.insert(e->number);
    }
    return out;
}

void GiveGuideNumbers(const std::vector<CScannedChannel>& held, CScannedChannel& record)
{
    std::map<tstables::ServiceKey, std::string> given;
    std::set<std::string> taken;
    for (const CScannedChannel& c : held) {
        const bool replaced = c.terrestrial == record.terrestrial && c.argument == record.argument;
        for (const tstables::ScannedService& s : c.transport.services) {
            if (s.guideNumber.empty()) continue;
            given.emplace(KeyOf(c, s), s.guideNumber);
            if (!replaced) taken.insert(s.guideNumber);
        }
    }
    std::vector<tstables::ScannedService*> fresh;
    for (tstables::ScannedService& s : record.transport.services) {
        s.guideNumber.clear();
        if (!Listed(s)) continue;
        const auto it = given.find(KeyOf(record, s));
        if (it == given.end()) {
            fresh.push_back(&s);
        } else {
            s.guideNumber = it->second;
            taken.insert(s.guideNumber);
        }
    }
    for (tstables::ScannedService* s : fresh) {
        s->guideNumber = FreeNumber(BroadcastNumber(*s), taken);
        taken.insert(s->guideNumber);
    }
}

bool HighDefinition(const tstables::ScannedService& s)
{
    if (s.videoContent) {
        tstables::VideoComponent v;
        v.streamContent = s.videoContent;
        v.componentType = s.videoType;
        if (const char* quality = tstables::VideoQuality(v)) {
            const std::string q = quality;
            return q == "720p" || q == "1080i" || q == "1080p" || q == "2160p";
        }
    }
    return *VideoCodec(s.streamTypes) != 0;
}

std::vector<const CListedChannel*> CLineup::Sources(const CListedChannel& channel, uint16_t service) const
{
    std::vector<const CListedChannel*> out{&channel};
    if (!service) return out;
    for (const CLineupEntry& e : entries) {
        if (e.serviceId != service) continue;
        std::vector<const CListedChannel*> all{e.channel};
        all.insert(all.end(), e.fallbacks.begin(), e.fallbacks.end());
        if (std::find(all.begin(), all.end(), &channel) == all.end()) continue;
        for (const CListedChannel* c : all)
            if (c != &channel) out.push_back(c);
        break;
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

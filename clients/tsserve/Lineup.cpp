#include "Lineup.h"

#include "tuner/ChannelSelection.h"

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
    CLineup lineup;
    lineup.terrestrial = kind.terrestrial;
    if (!kind.Served()) return lineup;
    const char* letter = kind.terrestrial ? "t" : "s";
    for (const CListedBand& band : kind.bands)
        for (const CListedChannel& c : band.channels) {
            CLineupEntry e;
            e.number = ChannelNumber(c, kind.terrestrial);
            e.name = c.name.empty() ? c.argument : c.name;
            e.group = band.name;
            e.id = letter + c.argument;
            e.streamPath = std::string("/stream/") + letter + "/" + c.argument;
            e.channel = &c;
            // Until the stream's own tables are read: what every ISDB-T and
            // ISDB-S (2K) broadcast carries.
            e.videoCodec = "MPEG2";
            e.audioCodec = "AAC";
            lineup.entries.push_back(std::move(e));
        }
    return lineup;
}

std::string LineupPath(const CLineupEntry& entry)
{
    return "/auto/v" + entry.number;
}

#include "tuner/ChannelSelection.h"

const CTsidRow* LookupTsid(uint32_t tsid)
{
    // Later rows replace earlier ones with the same TSID.
    for (size_t i = std::size(SatelliteTsidTable); i-- > 0;)
        if (SatelliteTsidTable[i].tsid == tsid) return &SatelliteTsidTable[i];
    return nullptr;
}

namespace {

int32_t BandSpace(TerrestrialBand band, const CDriverInfo& s)
{
    switch (band) {
    case TerrestrialBand::UHF: return s.TuningSpaceUHF;
    case TerrestrialBand::CATV: return s.TuningSpaceCATV;
    case TerrestrialBand::VHF: return s.TuningSpaceVHF;
    }
    return -1;
}

bool HasSpace(int32_t space, const CDriverInfo& s)
{
    return space >= 0 && static_cast<size_t>(space) < s.spaces.size();
}

CSelection Target(int32_t space, uint32_t channel, const CDriverInfo& s)
{
    if (!HasSpace(space, s)) return {SelectOutcome::NotServed, {space, channel}};
    if (s.FixChannel) {
        space = s.FixedTuningSpace;
        channel = static_cast<uint32_t>(s.FixedChannel);
        if (!HasSpace(space, s)) return {SelectOutcome::NotServed, {space, channel}};
    }
    return {SelectOutcome::Tune, {space, channel}};
}

}  // namespace

std::optional<CTerrestrialChannel> MapFrequencyToChannel(uint32_t mhz)
{
    for (const CFrequencyRange& r : kFrequencyRanges)
        if (mhz >= r.low && mhz <= r.high) return CTerrestrialChannel{r.band, (mhz - r.low) / 6 + r.firstIndex};
    return std::nullopt;
}

CSelection DecideChannel(uint32_t value, bool terrestrial, const CDriverInfo& s)
{
    if (terrestrial) {
        const auto mapped = MapFrequencyToChannel(value / 1000);
        if (!mapped) return {SelectOutcome::NotServed, {-1, 0}};
        return Target(BandSpace(mapped->band, s), mapped->channel, s);
    }
    const bool cs = value >= kFirstCsTsid;
    const CTsidRow* row = LookupTsid(cs ? value & kCsTsidMask : value);
    // A value with bits above 15 set is taken as CS; masked, it may name a BS
    // row, and a BS transponder's index would tune the CS space.
    if (!row || (cs && row->band != kBandCS)) return {SelectOutcome::UnknownTsid, {-1, 0}};
    return Target(cs ? s.TuningSpaceCS : s.TuningSpaceBS, row->channel, s);
}

#include "tuner/ChannelSelection.h"

const CTsidRow SatelliteTsidTable[23] = {
    {0x4010, 11727480, kBandBS, 0},  {0x4011, 11727480, kBandBS, 1},  {0x4030, 11765840, kBandBS, 2},
    {0x4031, 11765840, kBandBS, 3},  {0x4090, 11880920, kBandBS, 4},  {0x4091, 11880920, kBandBS, 5},
    {0x4092, 11880920, kBandBS, 6},  {0x40D0, 11957640, kBandBS, 7},  {0x40D1, 11957640, kBandBS, 8},
    {0x40F1, 11996000, kBandBS, 9},  {0x40F2, 11996000, kBandBS, 10}, {0x6020, 12291000, kBandCS, 0},
    {0x7040, 12331000, kBandCS, 1},  {0x7060, 12371000, kBandCS, 2},  {0x6080, 12411000, kBandCS, 3},
    {0x60A0, 12451000, kBandCS, 4},  {0x70C0, 12491000, kBandCS, 5},  {0x70E0, 12531000, kBandCS, 6},
    {0x7100, 12571000, kBandCS, 7},  {0x7120, 12611000, kBandCS, 8},  {0x7140, 12651000, kBandCS, 9},
    {0x7160, 12691000, kBandCS, 10}, {0x7180, 12731000, kBandCS, 11},
};

const CTsidRow* LookupTsid(uint32_t tsid)
{
    // Later rows replace earlier ones with the same TSID.
    for (size_t i = std::size(SatelliteTsidTable); i-- > 0;)
        if (SatelliteTsidTable[i].tsid == tsid) return &SatelliteTsidTable[i];
    return nullptr;
}

namespace {

struct CFrequencyRange {
    uint32_t low, high;  // MHz, inclusive
    TerrestrialBand band;
    uint32_t firstIndex;
};

// Tested in this order. Single-channel ranges have low == high.
constexpr CFrequencyRange kRanges[] = {
    {473, 767, TerrestrialBand::UHF, 0},   {303, 465, TerrestrialBand::CATV, 23}, {225, 297, TerrestrialBand::CATV, 10},
    {195, 219, TerrestrialBand::VHF, 8},   {173, 191, TerrestrialBand::VHF, 4},   {167, 167, TerrestrialBand::CATV, 9},
    {111, 159, TerrestrialBand::CATV, 0},  {93, 105, TerrestrialBand::VHF, 0},
};

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
    for (const CFrequencyRange& r : kRanges)
        if (mhz >= r.low && mhz <= r.high) return CTerrestrialChannel{r.band, (mhz - r.low) / 6 + r.firstIndex};
    return std::nullopt;
}

uint32_t FrequencyOfChannel(TerrestrialBand band, uint32_t channel)
{
    for (const CFrequencyRange& r : kRanges) {
        if (r.band != band) continue;
        const uint32_t last = (r.high - r.low) / 6 + r.firstIndex;
        if (channel >= r.firstIndex && channel <= last) return r.low + (channel - r.firstIndex) * 6;
    }
    return 0;
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

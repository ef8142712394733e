// The tables that turn a client's channel value into a band's channel index:
// the BS and CS transport streams by TSID, and the terrestrial bands by
// frequency. Plain data: the client plug-in, built without a runtime, names
// its channels from them too.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct CTsidRow {
    uint32_t tsid;
    uint32_t frequencyKHz;
    uint32_t band;     // 0 BS, 1 CS
    uint32_t channel;  // index within the band's tuning space
};

constexpr uint32_t kBandBS = 0;
constexpr uint32_t kBandCS = 1;
constexpr uint32_t kFirstCsTsid = 0x6000;
constexpr uint32_t kCsTsidMask = 0xFFF0;

// The BS and CS transport streams, in table order.
inline constexpr CTsidRow SatelliteTsidTable[23] = {
    {0x4010, 11727480, kBandBS, 0},  {0x4011, 11727480, kBandBS, 1},  {0x4030, 11765840, kBandBS, 2},
    {0x4031, 11765840, kBandBS, 3},  {0x4090, 11880920, kBandBS, 4},  {0x4091, 11880920, kBandBS, 5},
    {0x4092, 11880920, kBandBS, 6},  {0x40D0, 11957640, kBandBS, 7},  {0x40D1, 11957640, kBandBS, 8},
    {0x40F1, 11996000, kBandBS, 9},  {0x40F2, 11996000, kBandBS, 10}, {0x6020, 12291000, kBandCS, 0},
    {0x7040, 12331000, kBandCS, 1},  {0x7060, 12371000, kBandCS, 2},  {0x6080, 12411000, kBandCS, 3},
    {0x60A0, 12451000, kBandCS, 4},  {0x70C0, 12491000, kBandCS, 5},  {0x70E0, 12531000, kBandCS, 6},
    {0x7100, 12571000, kBandCS, 7},  {0x7120, 12611000, kBandCS, 8},  {0x7140, 12651000, kBandCS, 9},
    {0x7160, 12691000, kBandCS, 10}, {0x7180, 12731000, kBandCS, 11},
};

enum class TerrestrialBand { UHF, CATV, VHF };

struct CFrequencyRange {
    uint32_t low, high;  // MHz, inclusive
    TerrestrialBand band;
    uint32_t firstIndex;
};

// Tested in this order. Single-channel ranges have low == high.
inline constexpr CFrequencyRange kFrequencyRanges[] = {
    {473, 767, TerrestrialBand::UHF, 0},   {303, 465, TerrestrialBand::CATV, 23}, {225, 297, TerrestrialBand::CATV, 10},
    {195, 219, TerrestrialBand::VHF, 8},   {173, 191, TerrestrialBand::VHF, 4},   {167, 167, TerrestrialBand::CATV, 9},
    {111, 159, TerrestrialBand::CATV, 0},  {93, 105, TerrestrialBand::VHF, 0},
};

// The lowest frequency (MHz) that maps to a band's channel index, or 0 when
// none does (VHF index 3).
constexpr uint32_t FrequencyOfChannel(TerrestrialBand band, uint32_t channel)
{
    for (const CFrequencyRange& r : kFrequencyRanges) {
        if (r.band != band) continue;
        const uint32_t last = (r.high - r.low) / 6 + r.firstIndex;
        if (channel >= r.firstIndex && channel <= last) return r.low + (channel - r.firstIndex) * 6;
    }
    return 0;
}

#include "ClientChannels.h"

#include "tuner/ChannelTables.h"

namespace {

constexpr uint32_t kMaxChannels = 51;  // CATV's
constexpr uint32_t kNameLength = 12;

struct CName {
    wchar_t text[kNameLength] = {};
};

constexpr void Append(CName& name, const wchar_t* text)
{
    uint32_t at = 0;
    while (name.text[at]) ++at;
    while (*text && at + 1 < kNameLength) name.text[at++] = *text++;
}

constexpr void AppendNumber(CName& name, uint32_t value, uint32_t minDigits)
{
    wchar_t digits[11] = {};
    uint32_t n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value || n < minDigits);
    wchar_t text[11] = {};
    for (uint32_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    Append(name, text);
}

struct CSpace {
    const wchar_t* name = nullptr;
    uint32_t count = 0;
    CName channels[kMaxChannels] = {};
    uint32_t values[kMaxChannels] = {};
};

// Physical channels `first` to `last` of a band, "13ch" or "C13ch", tuned by
// the frequency that TunerHost maps to the band's index for them.
constexpr CSpace Terrestrial(const wchar_t* name, TerrestrialBand band, const wchar_t* prefix, uint32_t first,
                             uint32_t last)
{
    CSpace s;
    s.name = name;
    for (uint32_t n = first; n <= last; ++n) {
        // VHF 1-3 are indexes 0-2 and VHF 4-12 indexes 4-12, as TunerHost maps them.
        const uint32_t index = band == TerrestrialBand::VHF ? (n <= 3 ? n - 1 : n) : n - 13;
        Append(s.channels[s.count], prefix);
        AppendNumber(s.channels[s.count], n, 1);
        Append(s.channels[s.count], L"ch");
        s.values[s.count++] = FrequencyOfChannel(band, index) * 1000;
    }
    return s;
}

// The band's transport streams in TunerHost's table order: "BS01/TS0" by
// transponder and slot, CS "ND02" by transponder.
constexpr CSpace Satellite(const wchar_t* name, uint32_t band)
{
    CSpace s;
    s.name = name;
    for (const CTsidRow& row : SatelliteTsidTable) {
        if (row.band != band) continue;
        CName& c = s.channels[s.count];
        Append(c, band == kBandBS ? L"BS" : L"ND");
        AppendNumber(c, (row.tsid >> 4) & 0x1F, 2);
        if (band == kBandBS) {
            Append(c, L"/TS");
            AppendNumber(c, row.tsid & 0x7, 1);
        }
        s.values[s.count++] = row.tsid;
    }
    return s;
}

constexpr CSpace kTerrestrial[] = {
    Terrestrial(L"UHF", TerrestrialBand::UHF, L"", 13, 62),
    Terrestrial(L"CATV", TerrestrialBand::CATV, L"C", 13, 63),
    Terrestrial(L"VHF", TerrestrialBand::VHF, L"", 1, 12),
};
constexpr CSpace kSatellite[] = {Satellite(L"BS", kBandBS), Satellite(L"CS110", kBandCS)};

constexpr bool EveryChannelTunes(const CSpace* spaces, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t c = 0; c < spaces[i].count; ++c)
            if (!spaces[i].values[c]) return false;
    return true;
}
static_assert(EveryChannelTunes(kTerrestrial, 3) && EveryChannelTunes(kSatellite, 2));
static_assert(kTerrestrial[0].count == 50 && kTerrestrial[1].count == 51 && kTerrestrial[2].count == 12);
static_assert(kSatellite[0].count == 11 && kSatellite[1].count == 12);

const CSpace* SpaceOf(bool terrestrial, uint32_t space)
{
    const uint32_t count = terrestrial ? 3 : 2;
    if (space >= count) return nullptr;
    return terrestrial ? &kTerrestrial[space] : &kSatellite[space];
}

}  // namespace

const wchar_t* ClientSpaceName(bool terrestrial, uint32_t space)
{
    const CSpace* s = SpaceOf(terrestrial, space);
    return s ? s->name : nullptr;
}

const wchar_t* ClientChannelName(bool terrestrial, uint32_t space, uint32_t channel)
{
    const CSpace* s = SpaceOf(terrestrial, space);
    return s && channel < s->count ? s->channels[channel].text : nullptr;
}

bool ClientChannelValue(bool terrestrial, uint32_t space, uint32_t channel, uint32_t& value)
{
    const CSpace* s = SpaceOf(terrestrial, space);
    if (!s || channel >= s->count) return false;
    value = s->values[channel];
    return true;
}

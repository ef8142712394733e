#include "ChannelList.h"

#include "ChannelArgument.h"
#include "config/CConfig.h"
#include "tuner/ChannelSelection.h"

#include <windows.h>

#include <cstdio>

namespace {

std::string Utf8(const std::wstring& w)
{
    if (w.empty()) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

bool HasSpace(const CDriverInfo& d, int32_t space)
{
    return space >= 0 && static_cast<size_t>(space) < d.spaces.size();
}

const std::wstring* ChannelName(const CDriverInfo& d, int32_t space, uint32_t channel)
{
    if (!HasSpace(d, space) || channel >= d.spaces[space].channels.size()) return nullptr;
    return &d.spaces[space].channels[channel];
}

CListedBand Band(const CDriverInfo& d, const char* name, int32_t space)
{
    CListedBand b;
    b.name = name;
    b.served = HasSpace(d, space);
    b.space = space;
    if (b.served) b.spaceName = Utf8(d.spaces[space].name);
    return b;
}

void ListTerrestrial(const CDriverInfo& d, CListedKind& k)
{
    const struct {
        const char* name;
        TerrestrialBand band;
        int32_t space;
    } bands[] = {{"UHF", TerrestrialBand::UHF, d.TuningSpaceUHF},
                 {"CATV", TerrestrialBand::CATV, d.TuningSpaceCATV},
                 {"VHF", TerrestrialBand::VHF, d.TuningSpaceVHF}};
    for (const auto& from : bands) {
        CListedBand b = Band(d, from.name, from.space);
        if (b.served) {
            for (uint32_t i = 0; i < d.spaces[from.space].channels.size(); ++i) {
                const uint32_t mhz = FrequencyOfChannel(from.band, i);
                if (!mhz) continue;
                CListedChannel c;
                c.argument = Utf8(TerrestrialChannelArgument(static_cast<int>(from.band), i));
                c.value = c.frequencyKHz = mhz * 1000;
                c.name = Utf8(d.spaces[from.space].channels[i]);
                c.band = static_cast<int>(from.band);
                c.index = i;
                b.channels.push_back(c);
            }
        }
        k.bands.push_back(std::move(b));
    }
}

void ListSatellite(const CDriverInfo& d, CListedKind& k)
{
    for (uint32_t band : {kBandBS, kBandCS}) {
        const int32_t space = band == kBandBS ? d.TuningSpaceBS : d.TuningSpaceCS;
        CListedBand b = Band(d, band == kBandBS ? "BS" : "CS", space);
        if (b.served) {
            for (const CTsidRow& row : SatelliteTsidTable) {
                if (row.band != band) continue;
                const std::wstring* name = ChannelName(d, space, row.channel);
                if (!name) continue;
                char arg[8];
                std::snprintf(arg, sizeof arg, "%04X", row.tsid);
                CListedChannel c;
                c.argument = arg;
                c.value = row.tsid;
                c.frequencyKHz = row.frequencyKHz;
                c.name = Utf8(*name);
                c.band = static_cast<int>(band);
                c.index = row.channel;
                b.channels.push_back(c);
            }
        }
        k.bands.push_back(std::move(b));
    }
}

void PrintBand(const CListedBand& b, bool terrestrial)
{
    if (!b.served) {
        std::printf("  %-4s not served\n", b.name.c_str());
        return;
    }
    std::printf("  %-4s space %d \"%s\"\n", b.name.c_str(), b.space, b.spaceName.c_str());
    for (const CListedChannel& c : b.channels) {
        if (terrestrial) std::printf("    -c %-4s  %7u kHz  %s\n", c.argument.c_str(), c.value, c.name.c_str());
        else std::printf("    -c %s  %s\n", c.argument.c_str(), c.name.c_str());
    }
}

}  // namespace

const CListedChannel* CListedKind::Find(uint32_t value) const
{
    int band = -1;
    uint32_t index = 0;
    if (terrestrial) {
        const auto mapped = MapFrequencyToChannel(value / 1000);
        if (!mapped) return nullptr;
        band = static_cast<int>(mapped->band);
        index = mapped->channel;
    } else {
        // As TunerHost reads a TSID: CS ones by bits 4 to 15 alone.
        const bool cs = value >= kFirstCsTsid;
        const CTsidRow* row = LookupTsid(cs ? value & kCsTsidMask : value);
        if (!row || (cs && row->band != kBandCS)) return nullptr;
        band = static_cast<int>(row->band);
        index = row->channel;
    }
    for (const CListedBand& b : bands)
        for (const CListedChannel& c : b.channels)
            if (c.band == band && c.index == index) return &c;
    return nullptr;
}

bool ListChannels(const std::wstring& hostDirectory, CChannelListing& out, std::string& error)
{
    CConfig config;
    if (!config.LoadConfigForPath(hostDirectory + L"\\TunerHost.exe")) {
        error = "cannot read the settings in " + Utf8(hostDirectory);
        return false;
    }
    if (GetFileAttributesW(config.iniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error = "no settings file " + Utf8(config.iniPath);
        return false;
    }
    const struct {
        CListedKind& kind;
        int32_t index;
        const std::wstring& name;
    } kinds[] = {{out.terrestrial, config.DriverIndexT, config.DriverNameT},
                 {out.satellite, config.DriverIndexS, config.DriverNameS}};
    for (const auto& k : kinds) {
        if (k.index < 0) {
            k.kind.missing = Utf8(k.name);
            continue;
        }
        const CDriverInfo& d = config.drivers[static_cast<size_t>(k.index)];
        k.kind.plugin = Utf8(d.fileName);
        if (d.FixChannel) {
            k.kind.fixed = true;
            k.kind.fixedSpace = d.FixedTuningSpace;
            k.kind.fixedChannel = d.FixedChannel;
            const std::wstring* name = ChannelName(d, d.FixedTuningSpace, static_cast<uint32_t>(d.FixedChannel));
            k.kind.fixedName = name ? Utf8(*name) : "?";
        }
        if (k.kind.terrestrial) ListTerrestrial(d, k.kind);
        else ListSatellite(d, k.kind);
    }
    return true;
}

bool PrintChannelList(const std::wstring& hostDirectory)
{
    CChannelListing listing;
    std::string error;
    if (!ListChannels(hostDirectory, listing, error)) {
        std::fprintf(stderr, "tsrec: %s\n", error.c_str());
        return false;
    }
    for (const CListedKind* k : {&listing.terrestrial, &listing.satellite}) {
        const char* kind = k->terrestrial ? "terrestrial" : "satellite";
        if (!k->Served()) {
            std::printf("%s: %s\n", kind,
                        k->missing.empty() ? "no plug-in chosen" : ("plug-in not found: " + k->missing).c_str());
            continue;
        }
        std::printf("%s (tsrec %s-c ...): %s\n", kind, k->terrestrial ? "" : "-s ", k->plugin.c_str());
        if (k->fixed)
            std::printf("  fixed: every channel below tunes space %d channel %d \"%s\"\n", k->fixedSpace,
                        k->fixedChannel, k->fixedName.c_str());
        for (const CListedBand& b : k->bands) PrintBand(b, k->terrestrial);
    }
    return true;
}

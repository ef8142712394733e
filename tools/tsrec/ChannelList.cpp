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

// Prints the band's line; false when the band is not served.
bool BandHeader(const CDriverInfo& d, const char* band, int32_t space)
{
    if (!HasSpace(d, space)) {
        std::printf("  %-4s not served\n", band);
        return false;
    }
    std::printf("  %-4s space %d \"%s\"\n", band, space, Utf8(d.spaces[space].name).c_str());
    return true;
}

void PrintFixed(const CDriverInfo& d)
{
    if (!d.FixChannel) return;
    const std::wstring* name = ChannelName(d, d.FixedTuningSpace, static_cast<uint32_t>(d.FixedChannel));
    std::printf("  fixed: every channel below tunes space %d channel %d \"%s\"\n", d.FixedTuningSpace,
                d.FixedChannel, name ? Utf8(*name).c_str() : "?");
}

void PrintTerrestrial(const CDriverInfo& d)
{
    PrintFixed(d);
    const struct {
        const char* name;
        TerrestrialBand band;
        int32_t space;
    } bands[] = {{"UHF", TerrestrialBand::UHF, d.TuningSpaceUHF},
                 {"CATV", TerrestrialBand::CATV, d.TuningSpaceCATV},
                 {"VHF", TerrestrialBand::VHF, d.TuningSpaceVHF}};
    for (const auto& b : bands) {
        if (!BandHeader(d, b.name, b.space)) continue;
        for (uint32_t i = 0; i < d.spaces[b.space].channels.size(); ++i) {
            const uint32_t mhz = FrequencyOfChannel(b.band, i);
            if (!mhz) continue;
            std::printf("    -c %-4s  %7u kHz  %s\n", Utf8(TerrestrialChannelArgument(static_cast<int>(b.band), i)).c_str(),
                        mhz * 1000, Utf8(d.spaces[b.space].channels[i]).c_str());
        }
    }
}

void PrintSatellite(const CDriverInfo& d)
{
    PrintFixed(d);
    for (uint32_t band : {kBandBS, kBandCS}) {
        const int32_t space = band == kBandBS ? d.TuningSpaceBS : d.TuningSpaceCS;
        if (!BandHeader(d, band == kBandBS ? "BS" : "CS", space)) continue;
        for (const CTsidRow& row : SatelliteTsidTable) {
            if (row.band != band) continue;
            const std::wstring* name = ChannelName(d, space, row.channel);
            if (name) std::printf("    -c %04X  %s\n", row.tsid, Utf8(*name).c_str());
        }
    }
}

}  // namespace

bool PrintChannelList(const std::wstring& hostDirectory)
{
    CConfig config;
    if (!config.LoadConfigForPath(hostDirectory + L"\\TunerHost.exe")) {
        std::fprintf(stderr, "tsrec: cannot read the settings in %s\n", Utf8(hostDirectory).c_str());
        return false;
    }
    if (GetFileAttributesW(config.iniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "tsrec: no settings file %s\n", Utf8(config.iniPath).c_str());
        return false;
    }
    const struct {
        const char* kind;
        const wchar_t* flag;
        int32_t index;
        const std::wstring& name;
    } kinds[] = {{"terrestrial", L"", config.DriverIndexT, config.DriverNameT},
                 {"satellite", L"-s ", config.DriverIndexS, config.DriverNameS}};
    for (const auto& k : kinds) {
        if (k.index < 0) {
            std::printf("%s: %s\n", k.kind,
                        k.name.empty() ? "no plug-in chosen" : ("plug-in not found: " + Utf8(k.name)).c_str());
            continue;
        }
        const CDriverInfo& d = config.drivers[static_cast<size_t>(k.index)];
        std::printf("%s (tsrec %s-c ...): %s\n", k.kind, Utf8(k.flag).c_str(), Utf8(d.fileName).c_str());
        if (k.kind[0] == 't') PrintTerrestrial(d);
        else PrintSatellite(d);
    }
    return true;
}

// The channels TunerHost would tune, from its settings file and the plug-ins
// beside it, probed the way TunerHost probes them: what tsrec --list prints
// and what tsserve offers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct CListedChannel {
    std::string argument;  // as tsrec -c takes it: "27", "C22", "4010"
    uint32_t value = 0;    // what command 2 carries: kHz, or a TSID
    uint32_t frequencyKHz = 0;
    std::string name;      // the plug-in's name for it (UTF-8)
    int band = 0;          // TerrestrialBand, or kBandBS / kBandCS
    uint32_t index = 0;    // within the band's tuning space
};

struct CListedBand {
    std::string name;  // "UHF", "CATV", "VHF", "BS", "CS"
    bool served = false;
    int32_t space = -1;
    std::string spaceName;
    std::vector<CListedChannel> channels;
};

struct CListedKind {
    bool terrestrial = true;
    std::string plugin;   // file name of the plug-in that serves it; empty when none does
    std::string missing;  // the configured plug-in's name when it was not found
    bool fixed = false;   // every channel tunes the one below
    int32_t fixedSpace = 0, fixedChannel = 0;
    std::string fixedName;
    std::vector<CListedBand> bands;

    bool Served() const { return !plugin.empty(); }
    // The listed channel that a command-2 value tunes, or null.
    const CListedChannel* Find(uint32_t value) const;
};

struct CChannelListing {
    CListedKind terrestrial;
    CListedKind satellite = Satellite();

private:
    static CListedKind Satellite()
    {
        CListedKind k;
        k.terrestrial = false;
        return k;
    }
};

// False, with a message, when the settings cannot be read.
bool ListChannels(const std::wstring& hostDirectory, CChannelListing& out, std::string& error);

// tsrec --list: prints the list; false, with a message, when the settings cannot be read.
bool PrintChannelList(const std::wstring& hostDirectory);

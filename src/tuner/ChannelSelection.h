// Turning a client's channel value into the plug-in's space and channel: a
// frequency for the terrestrial kind, a transport-stream id for the satellite
// kind. Pure functions; CTunerContext::SelectChannel applies the result.
#pragma once
#include "config/CConfig.h"
#include "tuner/ChannelTables.h"

#include <cstdint>
#include <iterator>
#include <optional>

// The row for a TSID, or nothing. A TSID listed twice yields its last row.
const CTsidRow* LookupTsid(uint32_t tsid);

struct CTerrestrialChannel {
    TerrestrialBand band;
    uint32_t channel;  // index within the band's tuning space
};

// The band and channel index of a frequency in whole MHz, or nothing.
std::optional<CTerrestrialChannel> MapFrequencyToChannel(uint32_t mhz);

// Where a request is to be tuned.
struct CTuneTarget {
    int32_t space;
    uint32_t channel;
};

enum class SelectOutcome {
    Tune,         // tune `target`
    NotServed,    // the value maps nowhere, or its band is not served: the stream stops
    UnknownTsid,  // a satellite value not in the table: the stream goes on
};

struct CSelection {
    SelectOutcome outcome;
    CTuneTarget target;
};

// The whole decision, from the context's settings: the band's space, the
// fixed-channel override, and a space that the plug-in does not have (a band
// set to none is stored as -1 or as the number of spaces) refused before the
// plug-in sees it.
CSelection DecideChannel(uint32_t value, bool terrestrial, const CDriverInfo& settings);

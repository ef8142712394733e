// Which channels a scan covers, as `tsserve --scan --only` and
// `lineup.post?scan=start&only=` take them: a comma-separated list of bands
// ("UHF", "BS") and channels as the stream URLs name them ("t/27", "t/C22",
// "s/40D0"). Empty: every channel of the kinds asked for.
#pragma once
#include "ChannelList.h"

#include <string>
#include <vector>

struct CScanChoice {
    std::vector<const CListedChannel*> terrestrial, satellite;
    bool Empty() const { return terrestrial.empty() && satellite.empty(); }
};

// False, with a message, for an item that names nothing served.
bool ParseScanChoice(const CChannelListing& listing, const std::string& text, CScanChoice& out, std::string& error);

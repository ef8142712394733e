// What tsserve answers besides streams and the network tuners' documents:
// the playlist, the status and the start page. Each is made from the
// lineups and the feeds' status, for a base URL such as
// "http://192.168.1.5:40080".
#pragma once
#include "CTunerFeed.h"
#include "ChannelList.h"
#include "Lineup.h"
#include "NetworkTuner.h"

#include <string>

// The lineups of both kinds, and what the start page says of each.
struct CServedKind {
    const CListedKind* kind;
    const CLineup* lineup;
    const CNetworkTuner* device;
    std::string deviceBase;  // its base URL
    CFeedStatus status;
};

// kinds: "ts" for both, "t" or "s" for one.
std::string PlaylistM3u(const CLineup& terrestrial, const CLineup& satellite, const std::string& base,
                        const std::string& kinds);
std::string StatusJson(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite);
std::string IndexHtml(const CServedKind& terrestrial, const CServedKind& satellite, const std::string& version);

// What tsserve answers besides streams and the network tuners' documents:
// the playlist, the status and the start page. Each is made from the
// lineups, the feeds' status, the scans' and the guide's, for a base URL
// such as "http://192.168.1.5:40080".
#pragma once
#include "feed/CTunerFeed.h"
#include "ChannelList.h"
#include "scan/ChannelScan.h"
#include "guide/GuidePass.h"
#include "guide/GuideStore.h"
#include "lineup/Lineup.h"
#include "discovery/NetworkTuner.h"

#include <functional>
#include <map>
#include <string>

// One tuner kind as the status and the start page show it.
struct CServedKind {
    const CListedKind* kind;
    const CLineup* lineup;
    const CNetworkTuner* device;
    std::string deviceBase;  // its base URL
    CFeedStatus status;
    CScanStatus scan;
    CGuidePassStatus guidePass;
};

// The guide as the status and the start page show it: its state, and each
// service entry's programme now and next (by the entry's id).
struct CGuideView {
    CGuideState state;
    std::map<std::string, CNowNext> nowNext;
};

// kinds: "ts" for both, "t" or "s" for one. The first line is "#EXTM3U"
// alone, as players (mpv) require to take the file for an extended M3U;
// guideInHeader: it names the guide too (url-tvg and x-tvg-url), where IPTV
// clients (Kodi's IPTV Simple, TiviMate) read it. A service whose logo is
// held (hasLogo) names it as tvg-logo (LogoUrl).
std::string PlaylistM3u(const CLineups& lineups, const std::string& base, const std::string& kinds,
                        bool guideInHeader, const std::function<bool(const CLineupEntry&)>& hasLogo = {});
// Where a service's logo is served: the recorders' API's path.
std::string LogoUrl(const std::string& base, const CLineupEntry& entry);
std::string StatusJson(const CServedKind& terrestrial, const CServedKind& satellite, const CGuideView& guide);
std::string IndexHtml(const CServedKind& terrestrial, const CServedKind& satellite, const CGuideView& guide,
                      const std::string& version);
// "2025-01-01T21:00:00+09:00": the moment as the clock at `offset` reads it.
std::string IsoTime(int64_t utc, int32_t offset);

// What tsserve answers besides streams: the playlist, the network-tuner
// documents that media servers read, the status and the start page. Each is
// made from the channel list and the feeds' status, for a base URL such as
// "http://192.168.1.5:40080".
#pragma once
#include "CTunerFeed.h"
#include "ChannelList.h"

#include <string>

struct CDeviceInfo {
    std::string deviceId;  // 8 hex digits
    std::string version;
};

// "/stream/t/27", and the lineup's "/auto/v27" (guide numbers are unique
// across both kinds: terrestrial ones are decimal or C-prefixed, TSIDs have
// four hex digits).
std::string StreamPath(const CListedKind& kind, const CListedChannel& channel);
std::string LineupPath(const CListedChannel& channel);

// kinds: "ts" for both, "t" or "s" for one.
std::string PlaylistM3u(const CChannelListing& listing, const std::string& base, const std::string& kinds);
std::string DiscoverJson(const CChannelListing& listing, const std::string& base, const CDeviceInfo& device);
std::string LineupJson(const CChannelListing& listing, const std::string& base);
std::string LineupStatusJson(const CChannelListing& listing);
std::string StatusJson(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite);
std::string IndexHtml(const CChannelListing& listing, const CFeedStatus& terrestrial, const CFeedStatus& satellite,
                      const CDeviceInfo& device);

// What tsserve offers of each tuner kind, as lists of entries: each is one
// thing a viewer can pick, with the number players and media servers list it
// under. The playlist, each network tuner's lineup, the guide's channels, the
// start page and the lineup's stream URLs are all made from these lists, here
// and nowhere else.
//
// Before any scan a kind's entries are its channels (whole transport
// streams). Once a scan has found services on a kind, its entries are those
// services (television and radio; data services are left out), each with the
// name and number its broadcaster gives it: one entry per service (network,
// transport stream and service id), also where two channels carry it (two
// transmitters of one station in reach), streamed from the first of them and
// from the others when that one cannot be tuned. While a scan goes over a
// kind, the channels it has yet to scan that no scan has covered before keep
// their channel entries (a first scan cut off by a viewer still lists them),
// each replaced by its services once scanned.
#pragma once
#include "ChannelList.h"
#include "EventCollector.h"
#include "ScanStore.h"

#include <string>
#include <vector>

struct CLineupEntry {
    // Decimal, distinct across both kinds and stable from run to run: what
    // tvg-chno, GuideNumber and the guide's display name carry. See
    // ChannelNumber and MakeLineups.
    std::string number;
    std::string name;
    std::string group;       // the band: "UHF", "BS"
    std::string id;          // the playlist's tvg-id: "t27", "s40F1"; a service's is its guide channel id
    std::string streamPath;  // "/stream/t/27", a service's "/stream/t/27/1024"
    const CListedChannel* channel = nullptr;  // what a viewer of the entry tunes
    // Other channels that carry the same service, in the listing's order:
    // tried in turn when `channel` cannot be tuned.
    std::vector<const CListedChannel*> fallbacks;
    // As the lineup names them ("MPEG2", "H264", "AAC"); empty when not known.
    std::string videoCodec, audioCodec;
    // High definition (see HighDefinition); scrambled with nothing to
    // descramble it (ScannedService::scrambledPackets).
    bool hd = false, drm = false;
    // A service's; 0 for a whole channel.
    uint16_t serviceId = 0;
    tstables::ServiceKey service;  // the guide's key of the service

    bool IsService() const { return serviceId != 0; }
};

struct CLineup {
    bool terrestrial = true;
    std::vector<CLineupEntry> entries;

    const CLineupEntry* Find(const std::string& number) const;
    // Where a stream of the channel (one service of it, or all of it when
    // `service` is 0) may come from: the channel, then the other channels
    // the lineup lists the service on.
    std::vector<const CListedChannel*> Sources(const CListedChannel& channel, uint16_t service) const;
};

struct CLineups {
    CLineup terrestrial;
    CLineup satellite{false, {}};

    const CLineup& Of(bool t) const { return t ? terrestrial : satellite; }
};

// The channels of one kind, in the listing's order (none when it is not
// served). `kind` must outlive the lineup.
CLineup MakeLineup(const CListedKind& kind);
// Both kinds, each with its services where a scan found any on it, its
// channels otherwise. A service is listed under the number the scan store
// gave it (ScannedService::guideNumber, see GiveGuideNumbers); a service
// without one (a scan saved before numbers were kept), under the
// broadcaster's number where no other entry has it, else with the first
// decimal part free. A channel keeps its own number unless a service holds
// it, and then takes a decimal part too. `pending`: the channels of `listing`
// that a scan in progress has yet to scan. `listing` must outlive them.
CLineups MakeLineups(const CChannelListing& listing, const std::vector<CScannedChannel>& scanned,
                     const std::vector<const CListedChannel*>& pending = {});

// Numbers services once and for all, so that media servers, which key their
// channels by number, keep them across rescans: before a channel's new scan
// `record` replaces its old one among `held`, each of its services gets the
// number the same service (network, stream and service id) has on any
// channel held; a service new to the store gets the broadcaster's number
// (the NIT's three-digit number, else its service id) where no other service
// holds it, else that number with the first decimal part free: .1, .2, ...,
// skipping .10, .20, which read as .1, .2, so that every number stays
// distinct as a number. A number is free again once its service has gone
// from every channel.
void GiveGuideNumbers(const std::vector<CScannedChannel>& held, CScannedChannel& record);

// A service is high definition where the scan saw its programme's video
// resolution (720p and over); where it did not, by its video's stream type:
// MPEG-2, H.264 and HEVC television in ISDB-T and ISDB-S is 1080i or more
// (one-segment broadcasts, the small exception, are data services here).
// Radio is not.
bool HighDefinition(const tstables::ScannedService& service);

// A channel's number. Terrestrial: VHF 1..12 and UHF 13..62 as they are
// numbered, CATV C13..C63 as 113..163. Satellite, from the TSID: BS
// transponder T, slot S as 1000 + 10*T + S (BS15 slot 1 is 1151), CS ND N as
// 2000 + N (2004).
std::string ChannelNumber(const CListedChannel& channel, bool terrestrial);

// "/auto/v27": where a lineup entry streams, below a device's base URL.
std::string LineupPath(const CLineupEntry& entry);
// "1024.32736.t.tunerhost": a service's channel id in the guide, shaped like
// a domain name as XMLTV asks.
std::string GuideChannelId(const tstables::ServiceKey& service, bool terrestrial);

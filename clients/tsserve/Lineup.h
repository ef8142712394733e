// What tsserve offers of each tuner kind, as lists of entries: each is one
// thing a viewer can pick, with the number players and media servers list it
// under. The playlist, each network tuner's lineup, the start page and the
// lineup's stream URLs are all made from these lists, here and nowhere else.
#pragma once
#include "ChannelList.h"

#include <string>
#include <vector>

struct CLineupEntry {
    // Decimal, distinct across both kinds and stable from run to run: what
    // tvg-chno and GuideNumber carry. See ChannelNumber.
    std::string number;
    std::string name;
    std::string group;       // the band: "UHF", "BS"
    std::string id;          // the playlist's tvg-id: "t27", "s40F1"
    std::string streamPath;  // "/stream/t/27"
    const CListedChannel* channel = nullptr;  // what a viewer of the entry tunes
    // As the lineup names them ("MPEG2", "AAC"); empty when not known.
    std::string videoCodec, audioCodec;
};

struct CLineup {
    bool terrestrial = true;
    std::vector<CLineupEntry> entries;

    const CLineupEntry* Find(const std::string& number) const;
};

// The entries of one kind, in the listing's order (none when it is not
// served). `kind` must outlive the lineup.
CLineup MakeLineup(const CListedKind& kind);

// A channel's number. Terrestrial: VHF 1..12 and UHF 13..62 as they are
// numbered, CATV C13..C63 as 113..163. Satellite, from the TSID: BS
// transponder T, slot S as 1000 + 10*T + S (BS15 slot 1 is 1151), CS ND N as
// 2000 + N (2004).
std::string ChannelNumber(const CListedChannel& channel, bool terrestrial);

// "/auto/v27": where a lineup entry streams, below a device's base URL.
std::string LineupPath(const CLineupEntry& entry);

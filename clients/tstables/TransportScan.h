// What a channel scan reads from one transport stream, fed from the tune on:
// the stream's and network's ids and names, and each service with its type,
// name, three-digit number, elementary streams, the video of the programme
// on (its resolution) and whether its streams came scrambled. It is whole once the PAT,
// the PMT of every program it lists, the SDT and the NIT have come, and the
// present/following EIT of every service that says it sends one (so that a
// scan leaves each service with its programme now and next); each table's
// every section, as its last_section_number says.
//
//   CTransportScan scan([&](const Eit& eit) { guide.Add(eit); });
//   scan.Feed(block, size);        // until scan.Complete() or time runs out
//   ScannedTransport ts = scan.Result();
#pragma once
#include "Eit.h"
#include "Nit.h"
#include "PacketSplitter.h"
#include "Pat.h"
#include "Pmt.h"
#include "Sdt.h"
#include "SectionDemux.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tstables {

struct ScannedService {
    uint16_t serviceId = 0;
    uint8_t serviceType = 0;   // SDT's; where the SDT lacks it, guessed from the PMT
    std::string name;          // empty where the SDT has none
    std::string provider;
    uint16_t number = 0;       // three-digit number (NIT); 0 where none
    uint16_t pmtPid = 0x1FFF;  // 0x1FFF: not in the PAT now
    std::vector<uint8_t> streamTypes;  // the PMT's, in its order
    bool scrambled = false;    // SDT's free_CA_mode
    // The present programme's video as its EIT component descriptor says
    // (stream_content, component_type: resolution and aspect); 0 where none came.
    uint8_t videoContent = 0, videoType = 0;
    // More of its elementary streams' packets came with their scrambling
    // bits set than without: nothing before the reader descrambled them.
    bool scrambledPackets = false;
    // What a client lists it under, once it gives it a number (tsserve keeps
    // the number it gave); never read from the stream.
    std::string guideNumber;
};

struct ScannedTransport {
    uint16_t transportStreamId = 0;
    uint16_t originalNetworkId = 0;
    uint16_t networkId = 0;  // the NIT's; 0 without one
    std::optional<uint8_t> remoteControlKeyId;
    std::string networkName;
    std::string name;  // the TS information descriptor's
    std::vector<ScannedService> services;  // by service id
};

class CTransportScan {
public:
    using EitHandler = std::function<void(const Eit&)>;
    explicit CTransportScan(EitHandler onEit = {});
    CTransportScan(const CTransportScan&) = delete;
    CTransportScan& operator=(const CTransportScan&) = delete;

    void Feed(const uint8_t* data, size_t size);
    bool HasPat() const { return pat_.has_value(); }
    bool Complete() const;
    // Which tables are still awaited, for a line saying why a channel took its time.
    std::string Missing() const;
    ScannedTransport Result() const;

private:
    void OnSection(uint16_t pid, const CSection& section);
    bool Whole(uint16_t pid, uint8_t tableId, uint16_t extension) const;

    EitHandler onEit_;
    CSectionDemux demux_;
    std::optional<Pat> pat_;
    std::map<uint16_t, Pmt> pmts_;  // by program
    std::map<uint16_t, SdtService> sdt_;
    std::optional<uint16_t> sdtNetwork_;
    std::optional<uint16_t> nitNetwork_;
    std::string networkName_;
    std::optional<NitTransportStream> nitEntry_;  // this stream's
    std::set<uint16_t> presentFollowing_;         // services whose EIT p/f section 0 came
    std::map<uint16_t, VideoComponent> video_;    // by service: its present programme's
    CPacketSplitter packets_;
    struct Scrambling {
        uint32_t scrambled = 0, clear = 0;
    };
    std::map<uint16_t, Scrambling> scrambling_;  // by PID, packets with a payload
};

}  // namespace tstables

// Sections of chosen PIDs out of a transport stream fed in pieces of any size
// (the stream is searched for sync again where it loses it). Each section is
// reported once per version (CSectionVersions); TDT and TOT each time.
//
//   CSectionDemux demux([&](uint16_t pid, const CSection& s) { ... });
//   demux.AddPid(0x0000);          // PAT
//   demux.AddPid(0x0011);          // SDT
//   demux.Feed(block, size);       // from the tuner
//   demux.Reset();                 // after a retune
#pragma once
#include "PacketSplitter.h"
#include "SectionAssembler.h"
#include "SectionVersions.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace tstables {

// The PIDs that ARIB and DVB fix for their tables.
constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kNitPid = 0x0010;
constexpr uint16_t kSdtPid = 0x0011;
constexpr uint16_t kEitPid = 0x0012;
constexpr uint16_t kTotPid = 0x0014;

class CSectionDemux {
public:
    using Handler = std::function<void(uint16_t pid, const CSection&)>;
    explicit CSectionDemux(Handler handler) : handler_(std::move(handler)) {}

    // The handler may add and remove PIDs (a PMT's once the PAT is known).
    void AddPid(uint16_t pid);
    void RemovePid(uint16_t pid);
    bool HasPid(uint16_t pid) const { return assemblers_.count(pid) != 0; }

    // The stream, in pieces of any size.
    void Feed(const uint8_t* data, size_t size);
    // One whole 188-byte packet.
    void FeedPacket(const uint8_t* packet);
    // Forgets partial packets and sections and every version seen.
    void Reset();

    const CSectionVersions& versions() const { return versions_; }
    uint64_t dropped() const;  // sections dropped by every PID's assembler

private:
    Handler handler_;
    std::map<uint16_t, CSectionAssembler> assemblers_;
    CSectionVersions versions_;
    CPacketSplitter packets_;
    bool inHandler_ = false;
    std::vector<uint16_t> removals_;  // asked for by the handler, done after it
};

}  // namespace tstables

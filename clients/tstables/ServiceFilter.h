// One service cut out of a transport stream, as a receiver records one: the
// PAT rewritten to list the service alone (a version and continuity counter
// of its own, its CRC right), the service's PMT, the PIDs that PMT lists
// (PCR, video, audio, captions, data, and the ECMs its CA descriptors name),
// and the tables that guides and clocks read: the SDT, rewritten like the
// PAT to describe the service alone (players take every service an SDT
// lists for a program), and NIT, EIT, TDT/TOT and the CAT as they are. Every
// packet of a passed PID is passed, so their continuity counters stay as the
// broadcaster left them. A new PMT version changes the PIDs from the packet
// after it on; a PAT that moves the PMT starts afresh.
//
// Until the PAT and the PMT have come, only the tables pass. The stream may
// come in pieces of any size: packets are found by their sync byte, and a
// packet split between two pieces is put together.
//
//   CServiceFilter filter(1024);
//   std::vector<uint8_t> out;
//   filter.Feed(block, size, out);   // appends whole packets of the service
#pragma once
#include "PacketSplitter.h"
#include "SectionAssembler.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

namespace tstables {

class CServiceFilter {
public:
    explicit CServiceFilter(uint16_t serviceId);

    // Appends to `out` the packets of the service among these bytes.
    void Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // Forgets the stream (after a retune); the next PAT starts it again.
    void Reset();

    uint16_t serviceId() const { return serviceId_; }
    // The last whole PAT did not list the service.
    bool missing() const { return missing_; }
    // The PMT's PID; 0x1FFF while not known.
    uint16_t pmtPid() const { return pmtPid_; }
    // Whether a packet of this PID would be passed now (PAT: the rewritten one).
    bool Passes(uint16_t pid) const { return pid == 0 ? patReady_ : pass_[pid & 0x1FFF]; }

private:
    void Packet(const uint8_t* p, std::vector<uint8_t>& out);
    void OnPat(const CSection& section);
    void OnPmt(const CSection& section);
    void SetPids(const std::vector<uint16_t>& streams);
    void BuildPat(uint16_t transportStreamId);
    void OnSdt(const CSection& section);
    // A section in packets of its own, from a packet that starts it.
    static void WriteSection(const std::vector<uint8_t>& section, uint16_t pid, uint8_t& cc, std::vector<uint8_t>& out);

    const uint16_t serviceId_;
    std::bitset<8192> pass_;
    CSectionAssembler pat_;
    CSectionAssembler pmt_;
    uint16_t pmtPid_ = 0x1FFF;
    int pmtVersion_ = -1;
    bool missing_ = false;
    bool patDue_ = false;  // a PAT came: ours goes out in its place
    bool patReady_ = false;
    int patTsid_ = -1;
    uint8_t patVersion_ = 31;  // the first PAT written is version 0
    uint8_t patCc_ = 15;       // ...with counter 0
    std::vector<uint8_t> patSection_;
    CSectionAssembler sdt_;
    std::vector<uint8_t> sdtEntry_;  // the service's entry in the last SDT written
    std::vector<uint8_t> sdtSection_;
    bool sdtDue_ = false;
    uint8_t sdtVersion_ = 31;
    uint8_t sdtCc_ = 15;
    CPacketSplitter packets_;
};

}  // namespace tstables

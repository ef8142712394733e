// Sections of one PID put together from its 188-byte transport packets
// (ISO/IEC 13818-1 2.4.3 and 2.4.4): the pointer field, sections that span
// packets, several sections in one packet, stuffing after the last one.
// A lost or damaged packet (a continuity-counter break, the transport error
// flag, no sync byte) drops the section it was part of; so do a pointer
// field or adaptation field that runs past the packet, a section length past
// the largest section, and a bad CRC. Nothing past a packet is ever read.
//
//   CSectionAssembler pat;
//   pat.Packet(packet, [](const CSection& s) { ... });   // packets of PID 0 only
#pragma once
#include "Section.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tstables {

constexpr size_t kTsPacketSize = 188;

class CSectionAssembler {
public:
    using Handler = std::function<void(const CSection&)>;

    // Takes the next packet of this PID; calls `done` for each whole, intact
    // section it completes.
    void Packet(const uint8_t* packet, const Handler& done);
    // Forgets the partial section and the counter (after a retune).
    void Reset();

    // Sections begun but dropped: cut by loss, lying or failing their CRC.
    uint64_t dropped() const { return dropped_; }

private:
    // Adds bytes to the section being collected; returns how many it took
    // (it stops at the section's end).
    size_t Collect(std::span<const uint8_t> bytes, const Handler& done);
    void Drop();

    std::vector<uint8_t> partial_;
    bool collecting_ = false;
    int lastCc_ = -1;
    uint64_t dropped_ = 0;
};

}  // namespace tstables

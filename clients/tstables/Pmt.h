// Program map table (ISO/IEC 13818-1 2.4.4.8, table 0x02): a program's PCR
// PID and elementary streams, with the program's and each stream's
// descriptors kept for later use (CA descriptors name the ECM PIDs).
#pragma once
#include "Descriptors.h"
#include "Section.h"

#include <cstdint>
#include <vector>

namespace tstables {

struct PmtStream {
    uint8_t streamType = 0;  // 0x02 MPEG-2 video, 0x1B H.264, 0x0F AAC, 0x06 captions...
    uint16_t pid = 0;
    DescriptorList descriptors;
};

struct Pmt {
    uint16_t programNumber = 0;
    uint8_t version = 0;
    uint16_t pcrPid = 0x1FFF;
    DescriptorList descriptors;  // program level
    std::vector<PmtStream> streams;

    // ECM PIDs from the CA descriptors at either level, each once.
    std::vector<uint16_t> EcmPids() const;
    // Every PID the program needs besides its PMT: PCR, streams, ECMs; each
    // once, in that order.
    std::vector<uint16_t> Pids() const;
};

// One PMT section; false if it is no PMT or a loop or descriptor lies.
bool ParsePmt(const CSection& section, Pmt& out);

}  // namespace tstables

// Program association table (ISO/IEC 13818-1 2.4.4.3, table 0x00 on PID 0):
// the transport stream's id and each program's PMT PID.
#pragma once
#include "Section.h"

#include <cstdint>
#include <vector>

namespace tstables {

struct PatProgram {
    uint16_t programNumber = 0;  // the service id
    uint16_t pmtPid = 0;
};

struct Pat {
    uint16_t transportStreamId = 0;
    uint8_t version = 0;
    uint16_t nitPid = 0x0010;  // program 0's PID where listed
    std::vector<PatProgram> programs;  // program 0 left out
};

// One section of the PAT; false if it is no PAT or its loop lies.
bool ParsePat(const CSection& section, Pat& out);

}  // namespace tstables

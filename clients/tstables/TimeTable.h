// The broadcast clock: time and date table (TDT, table 0x70) and time offset
// table (TOT, table 0x73, with a CRC and descriptors), both on PID 0x0014
// (ETSI EN 300 468 5.2.5 and 5.2.6). ARIB sends JST in them; the time is
// carried as UTC with that offset.
#pragma once
#include "AribTime.h"
#include "Descriptors.h"
#include "Section.h"

#include <cstdint>

namespace tstables {

struct BroadcastTime {
    int64_t utc = 0;  // seconds since 1970
    int32_t utcOffset = kJstOffsetSeconds;
    bool fromTot = false;
    DescriptorList descriptors;  // the TOT's (local time offset)
};

// One TDT or TOT section; false if it is neither, lies, or holds no valid time.
bool ParseTimeTable(const CSection& section, BroadcastTime& out);

}  // namespace tstables

// How much of each service's EIT schedule (tables 0x50 to 0x5F) has come:
// whether every section the broadcast says it sends has been seen. A
// schedule table is cut into 32 segments of three hours with 8 sections
// each; last_section_number names the table's last segment,
// segment_last_section_number the last section of the segment at hand, and
// last_table_id the service's last table of the kind (basic 0x50–0x57,
// extended 0x58–0x5F). So the first section seen of each table tells what
// the rest of it is, though not all of it at once: a table is whole when
// every segment up to the last has been seen up to its own last section.
//
//   CScheduleProgress progress;
//   progress.Add(eit);                        // each schedule section, new or not
//   progress.Complete(serviceId)              // every table the service sends, whole
#pragma once
#include "Eit.h"

#include <bitset>
#include <cstdint>
#include <map>

namespace tstables {

class CScheduleProgress {
public:
    void Add(const Eit& eit);
    // Whether schedule sections of the service have come at all.
    bool Seen(uint16_t serviceId) const;
    // Every table up to last_table_id (of each kind seen), every segment, whole.
    bool Complete(uint16_t serviceId) const;
    void Clear() { services_.clear(); }

private:
    struct Table {
        int version = -1;
        uint8_t lastSection = 0;
        std::bitset<256> seen;
        std::bitset<32> segmentKnown;  // a section of the segment has told its last one
        uint8_t segmentLast[32] = {};
        bool Whole() const;
    };
    struct Service {
        std::map<uint8_t, Table> tables;
        int lastBasic = -1, lastExtended = -1;  // last_table_id of each kind
    };
    std::map<uint16_t, Service> services_;
};

}  // namespace tstables

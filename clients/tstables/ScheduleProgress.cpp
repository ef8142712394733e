#include "ScheduleProgress.h"

namespace tstables {

void CScheduleProgress::Add(const Eit& eit)
{
    if (eit.tableId < 0x50 || eit.tableId > 0x5F) return;
    Service& service = services_[eit.serviceId];
    const bool extended = eit.tableId >= 0x58;
    // A last table id outside its kind's range is a lie: the table itself is all there is.
    const uint8_t low = extended ? 0x58 : 0x50;
    const uint8_t lastTable = eit.lastTableId >= eit.tableId && eit.lastTableId <= low + 7 ? eit.lastTableId
                                                                                           : eit.tableId;
    (extended ? service.lastExtended : service.lastBasic) = lastTable;
    Table& t = service.tables[eit.tableId];
    if (t.version != eit.version) {
        t = Table{};
        t.version = eit.version;
    }
    t.lastSection = eit.lastSectionNumber;
    t.seen.set(eit.sectionNumber);
    const unsigned segment = eit.sectionNumber / 8;
    t.segmentKnown.set(segment);
    // The segment's last section lies in the segment, at or after this one.
    const unsigned last = eit.segmentLastSectionNumber;
    t.segmentLast[segment] = static_cast<uint8_t>(last / 8 == segment && last >= eit.sectionNumber
                                                      ? last
                                                      : eit.sectionNumber);
}

bool CScheduleProgress::Table::Whole() const
{
    for (unsigned segment = 0; segment <= lastSection / 8u; ++segment) {
        if (!segmentKnown[segment]) return false;
        for (unsigned n = segment * 8; n <= segmentLast[segment]; ++n)
            if (!seen[n]) return false;
    }
    return true;
}

bool CScheduleProgress::Seen(uint16_t serviceId) const
{
    return services_.count(serviceId) != 0;
}

bool CScheduleProgress::Complete(uint16_t serviceId) const
{
    const auto it = services_.find(serviceId);
    if (it == services_.end()) return false;
    const Service& s = it->second;
    for (const auto& [low, last] : {std::pair{0x50, s.lastBasic}, std::pair{0x58, s.lastExtended}}) {
        for (int id = low; id <= last; ++id) {
            const auto t = s.tables.find(static_cast<uint8_t>(id));
            if (t == s.tables.end() || !t->second.Whole()) return false;
        }
    }
    return s.lastBasic >= 0 || s.lastExtended >= 0;
}

}  // namespace tstables

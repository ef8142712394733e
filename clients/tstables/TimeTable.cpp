#include "TimeTable.h"

#include "ByteReader.h"

namespace tstables {

bool ParseTimeTable(const CSection& section, BroadcastTime& out)
{
    const uint8_t table = section.tableId();
    if ((table != 0x70 && table != 0x73) || section.isLong()) return false;
    CByteReader r(section.payload());
    const auto time = r.Bytes(5);
    BroadcastTime t;
    t.fromTot = table == 0x73;
    if (t.fromTot) ReadDescriptorLoop(r, r.U16() & 0x0FFF, t.descriptors);
    if (!r.ok()) return false;
    const auto utc = JstMjdBcdToUtc(time.data());
    if (!utc) return false;
    t.utc = *utc;
    out = std::move(t);
    return true;
}

}  // namespace tstables

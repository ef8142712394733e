// Which long sections have been seen, so that a table is reported once per
// version: a section seen again with the same version and content (CRC) is
// not new; a new version, or changed content under the same version, is. A
// new version forgets the sections of the old one. Sections without a
// version (TDT, TOT) are always new; so are sections marked "not yet
// current", which are never recorded.
//
//   if (versions.IsNew(pid, section)) Parse(section);
//   versions.Complete(0x11, 0x42, tsid)   // every section of the SDT seen
#pragma once
#include "Section.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <map>

namespace tstables {

class CSectionVersions {
public:
    // Records the section; true if it was not seen before as it is now.
    bool IsNew(uint16_t pid, const CSection& section);
    // True once sections 0 to last_section_number of the table's current
    // version have all been seen.
    bool Complete(uint16_t pid, uint8_t tableId, uint16_t tableIdExtension) const;
    void Clear() { tables_.clear(); }

    // Tables remembered at most; a stream with more (only a hostile one has)
    // makes it start afresh rather than grow without bound.
    static constexpr size_t kMaxTables = 8192;

private:
    struct Table {
        uint8_t version = 0;
        uint8_t lastSection = 0;
        std::bitset<256> seen;
        std::array<uint32_t, 256> crc{};
    };
    std::map<uint64_t, Table> tables_;
};

}  // namespace tstables

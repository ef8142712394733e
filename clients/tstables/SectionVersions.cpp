#include "SectionVersions.h"

namespace tstables {
namespace {

uint64_t Key(uint16_t pid, uint8_t tableId, uint16_t extension)
{
    return static_cast<uint64_t>(pid) << 24 | static_cast<uint64_t>(tableId) << 16 | extension;
}

}  // namespace

bool CSectionVersions::IsNew(uint16_t pid, const CSection& section)
{
    if (!section.isLong() || !section.isCurrent()) return true;
    const uint64_t key = Key(pid, section.tableId(), section.tableIdExtension());
    auto it = tables_.find(key);
    if (it == tables_.end()) {
        if (tables_.size() >= kMaxTables) tables_.clear();
        it = tables_.emplace(key, Table{}).first;
        it->second.version = section.version();
    }
    Table& t = it->second;
    if (t.version != section.version()) {
        t = Table{};
        t.version = section.version();
    }
    const uint8_t n = section.sectionNumber();
    t.lastSection = section.lastSectionNumber();
    if (t.seen[n] && t.crc[n] == section.crc()) return false;
    t.seen[n] = true;
    t.crc[n] = section.crc();
    return true;
}

bool CSectionVersions::Complete(uint16_t pid, uint8_t tableId, uint16_t tableIdExtension) const
{
    const auto it = tables_.find(Key(pid, tableId, tableIdExtension));
    if (it == tables_.end()) return false;
    for (unsigned n = 0; n <= it->second.lastSection; ++n)
        if (!it->second.seen[n]) return false;
    return true;
}

}  // namespace tstables

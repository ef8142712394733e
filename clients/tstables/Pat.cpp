#include "Pat.h"

#include "ByteReader.h"

namespace tstables {

bool ParsePat(const CSection& section, Pat& out)
{
    if (section.tableId() != 0x00 || !section.isLong()) return false;
    const auto payload = section.payload();
    if (payload.size() % 4 != 0) return false;
    Pat pat;
    pat.transportStreamId = section.tableIdExtension();
    pat.version = section.version();
    CByteReader r(payload);
    while (r.ok() && !r.empty()) {
        const uint16_t program = r.U16();
        const uint16_t pid = r.U16() & 0x1FFF;
        if (program == 0)
            pat.nitPid = pid;
        else
            pat.programs.push_back({program, pid});
    }
    if (!r.ok()) return false;
    out = std::move(pat);
    return true;
}

}  // namespace tstables

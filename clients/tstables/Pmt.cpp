#include "Pmt.h"

#include "ByteReader.h"

#include <algorithm>

namespace tstables {
namespace {

void AddOnce(std::vector<uint16_t>& pids, uint16_t pid)
{
    if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
}

void AddEcms(std::vector<uint16_t>& pids, const DescriptorList& list)
{
    for (const Descriptor& d : list)
        if (const auto ca = ParseCaDescriptor(d)) AddOnce(pids, ca->pid);
}

}  // namespace

std::vector<uint16_t> Pmt::EcmPids() const
{
    std::vector<uint16_t> pids;
    AddEcms(pids, descriptors);
    for (const PmtStream& s : streams) AddEcms(pids, s.descriptors);
    return pids;
}

std::vector<uint16_t> Pmt::Pids() const
{
    std::vector<uint16_t> pids;
    if (pcrPid != 0x1FFF) AddOnce(pids, pcrPid);
    for (const PmtStream& s : streams) AddOnce(pids, s.pid);
    for (const uint16_t ecm : EcmPids()) AddOnce(pids, ecm);
    return pids;
}

bool ParsePmt(const CSection& section, Pmt& out)
{
    if (section.tableId() != 0x02 || !section.isLong()) return false;
    Pmt pmt;
    pmt.programNumber = section.tableIdExtension();
    pmt.version = section.version();
    CByteReader r(section.payload());
    pmt.pcrPid = r.U16() & 0x1FFF;
    ReadDescriptorLoop(r, r.U16() & 0x0FFF, pmt.descriptors);
    while (r.ok() && !r.empty()) {
        PmtStream s;
        s.streamType = r.U8();
        s.pid = r.U16() & 0x1FFF;
        ReadDescriptorLoop(r, r.U16() & 0x0FFF, s.descriptors);
        if (r.ok()) pmt.streams.push_back(std::move(s));
    }
    if (!r.ok()) return false;
    out = std::move(pmt);
    return true;
}

}  // namespace tstables

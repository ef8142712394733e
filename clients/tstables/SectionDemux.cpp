#include "SectionDemux.h"

namespace tstables {

void CSectionDemux::AddPid(uint16_t pid)
{
    assemblers_.try_emplace(pid & 0x1FFF);
}

void CSectionDemux::RemovePid(uint16_t pid)
{
    // The handler runs inside an assembler's Packet: that one must outlive it.
    if (inHandler_)
        removals_.push_back(pid & 0x1FFF);
    else
        assemblers_.erase(pid & 0x1FFF);
}

void CSectionDemux::Reset()
{
    for (auto& [pid, assembler] : assemblers_) assembler.Reset();
    versions_.Clear();
    packets_.Reset();
}

uint64_t CSectionDemux::dropped() const
{
    uint64_t n = 0;
    for (const auto& [pid, assembler] : assemblers_) n += assembler.dropped();
    return n;
}

void CSectionDemux::FeedPacket(const uint8_t* p)
{
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    const auto it = assemblers_.find(pid);
    if (it == assemblers_.end()) return;
    inHandler_ = true;
    it->second.Packet(p, [&](const CSection& section) {
        if (versions_.IsNew(pid, section)) handler_(pid, section);
    });
    inHandler_ = false;
    for (const uint16_t removed : removals_) assemblers_.erase(removed);
    removals_.clear();
}

void CSectionDemux::Feed(const uint8_t* data, size_t size)
{
    packets_.Feed(data, size, [this](const uint8_t* packet) { FeedPacket(packet); });
}

}  // namespace tstables

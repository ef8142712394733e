#include "SectionDemux.h"

#include <algorithm>
#include <cstring>

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
    partialSize_ = 0;
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
    while (size > 0) {
        if (partialSize_ == 0) {
            if (data[0] != 0x47) {
                ++data;
                --size;
                continue;
            }
            if (size >= kTsPacketSize) {
                FeedPacket(data);
                data += kTsPacketSize;
                size -= kTsPacketSize;
                continue;
            }
        }
        const size_t n = std::min(size, kTsPacketSize - partialSize_);
        std::memcpy(partial_.data() + partialSize_, data, n);
        partialSize_ += n;
        data += n;
        size -= n;
        if (partialSize_ == kTsPacketSize) {
            partialSize_ = 0;
            FeedPacket(partial_.data());
        }
    }
}

}  // namespace tstables

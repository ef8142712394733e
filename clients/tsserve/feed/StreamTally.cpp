#include "StreamTally.h"

#include <cstring>

void CStreamTally::Feed(const uint8_t* data, size_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    while (size > 0) {
        if (partialSize_ == 0 && size >= 188) {
            if (data[0] == 0x47) Packet(data);
            data += 188;
            size -= 188;
            continue;
        }
        const size_t n = size < 188 - partialSize_ ? size : 188 - partialSize_;
        std::memcpy(partial_.data() + partialSize_, data, n);
        partialSize_ += n;
        data += n;
        size -= n;
        if (partialSize_ == 188) {
            partialSize_ = 0;
            if (partial_[0] == 0x47) Packet(partial_.data());
        }
    }
}

void CStreamTally::Packet(const uint8_t* p)
{
    const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    if (pid == 0x1FFF) return;  // stuffing
    CPidTally& t = pids_[pid];
    ++t.packets;
    const unsigned control = (p[3] >> 4) & 3;
    if (!(control & 1)) return;  // no payload: the counter does not advance
    const int cc = p[3] & 0x0F;
    const bool discontinuity = (control & 2) && p[4] > 0 && (p[5] & 0x80);
    const int last = lastCc_[pid];
    lastCc_[pid] = static_cast<int8_t>(cc);
    if (last < 0 || discontinuity || cc == last) return;  // first seen, flagged, or sent twice
    if (cc != ((last + 1) & 0x0F)) {
        ++t.drops;
        ++drops_;
    }
}

std::map<uint16_t, CPidTally> CStreamTally::Pids() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pids_;
}

uint64_t CStreamTally::Drops() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return drops_;
}

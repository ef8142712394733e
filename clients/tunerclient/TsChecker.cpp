#include "TsChecker.h"

#include <cstring>

void CTsChecker::Feed(const uint8_t* data, size_t size)
{
    while (size > 0) {
        if (partialSize_ == 0) {
            if (data[0] != 0x47) {
                // Out of sync: skip to the next sync byte, counting the loss once.
                if (inSync_) ++syncLosses;
                inSync_ = false;
                ++data;
                --size;
                continue;
            }
            if (size >= 188) {
                Packet(data);
                data += 188;
                size -= 188;
                continue;
            }
        }
        const size_t n = size < 188 - partialSize_ ? size : 188 - partialSize_;
        std::memcpy(partial_.data() + partialSize_, data, n);
        partialSize_ += n;
        data += n;
        size -= n;
        if (partialSize_ == 188) {
            partialSize_ = 0;
            Packet(partial_.data());
        }
    }
}

void CTsChecker::Packet(const uint8_t* p)
{
    inSync_ = true;
    ++packets;
    const unsigned pid = ((p[1] & 0x1F) << 8) | p[2];
    if (pid == 0x1FFF) return;
    const unsigned control = (p[3] >> 4) & 3;
    if (!(control & 1)) return;  // no payload: the counter does not advance
    const int cc = p[3] & 0x0F;
    const bool discontinuity = (control & 2) && p[4] > 0 && (p[5] & 0x80);
    const int last = lastCc_[pid];
    lastCc_[pid] = static_cast<int8_t>(cc);
    if (last < 0 || discontinuity || cc == last) return;  // first seen, flagged, or a duplicate
    if (cc != ((last + 1) & 0x0F)) ++ccErrors;
}

#include "SectionAssembler.h"

#include <algorithm>

namespace tstables {

void CSectionAssembler::Reset()
{
    partial_.clear();
    collecting_ = false;
    lastCc_ = -1;
}

void CSectionAssembler::Drop()
{
    if (collecting_) ++dropped_;
    collecting_ = false;
    partial_.clear();
}

void CSectionAssembler::Packet(const uint8_t* p, const Handler& done)
{
    // No sync byte or the transport error flag: nothing in it can be trusted.
    if (p[0] != 0x47 || (p[1] & 0x80)) {
        Drop();
        lastCc_ = -1;
        return;
    }
    const unsigned control = (p[3] >> 4) & 3;
    if (!(control & 1)) return;  // no payload: the counter does not advance
    const int cc = p[3] & 0x0F;
    if (lastCc_ >= 0) {
        if (cc == lastCc_) return;  // a repeated packet
        if (cc != ((lastCc_ + 1) & 0x0F)) Drop();
    }
    lastCc_ = cc;
    size_t start = 4;
    if (control & 2) start = 5 + static_cast<size_t>(p[4]);
    if (start >= kTsPacketSize) {
        Drop();
        return;
    }
    std::span<const uint8_t> payload(p + start, kTsPacketSize - start);
    if (!(p[1] & 0x40)) {
        // No section starts here: all of it continues the one being collected.
        if (collecting_) Collect(payload, done);
        return;
    }
    const size_t pointer = payload[0];
    payload = payload.subspan(1);
    if (pointer > payload.size()) {
        Drop();
        return;
    }
    if (collecting_) {
        // The bytes before the pointer end the section begun earlier; if they
        // do not, it was cut.
        Collect(payload.first(pointer), done);
        Drop();
    }
    payload = payload.subspan(pointer);
    while (!payload.empty() && payload[0] != 0xFF) {
        collecting_ = true;
        partial_.clear();
        payload = payload.subspan(Collect(payload, done));
        if (collecting_) break;  // continues in the next packet
    }
}

size_t CSectionAssembler::Collect(std::span<const uint8_t> bytes, const Handler& done)
{
    size_t taken = 0;
    if (partial_.size() < 3) {
        const size_t n = std::min(bytes.size(), 3 - partial_.size());
        partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + n);
        taken = n;
        if (partial_.size() < 3) return taken;
    }
    const size_t size = 3 + (static_cast<size_t>(partial_[1] & 0x0F) << 8 | partial_[2]);
    if (size > kMaxSectionSize) {
        Drop();
        return bytes.size();
    }
    const size_t n = std::min(bytes.size() - taken, size - partial_.size());
    partial_.insert(partial_.end(), bytes.begin() + taken, bytes.begin() + taken + n);
    taken += n;
    if (partial_.size() == size) {
        auto section = CSection::FromBytes(partial_);
        collecting_ = false;
        partial_.clear();
        if (section)
            done(*section);
        else
            ++dropped_;
    }
    return taken;
}

}  // namespace tstables

#include "SectionPacketizer.h"

namespace {
constexpr size_t kPacket = 188;
constexpr size_t kPayload = kPacket - 4;

size_t SectionSize(const uint8_t* s)
{
    return 3 + (((s[1] & 0x0F) << 8) | s[2]);
}
}  // namespace

bool CSectionPacketizer::Push(const uint8_t* section, size_t length)
{
    if (length < 3 || SectionSize(section) != length) return false;
    if (tail_ + length > capacity_ && head_ > 0) {
        __builtin_memmove(storage_, storage_ + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    if (tail_ + length > capacity_) return false;
    __builtin_memcpy(storage_ + tail_, section, length);
    tail_ += length;
    return true;
}

bool CSectionPacketizer::NextPacket(uint8_t* out)
{
    if (!Pending()) return false;
    // A section starts in this packet when one is due at its start, or when
    // the one in progress ends early enough for the next to begin here.
    const bool atStart = remaining_ == 0;
    const bool startsInside = !atStart && remaining_ + 1 < kPayload && head_ + remaining_ < tail_;
    const bool unitStart = atStart || startsInside;
    out[0] = 0x47;
    out[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | ((pid_ >> 8) & 0x1F));
    out[2] = static_cast<uint8_t>(pid_);
    out[3] = static_cast<uint8_t>(0x10 | cc_);
    cc_ = (cc_ + 1) & 0x0F;
    uint8_t* p = out + 4;
    size_t room = kPayload;
    if (unitStart) {
        *p++ = static_cast<uint8_t>(remaining_);
        --room;
    }
    while (room > 0 && head_ < tail_) {
        if (remaining_ == 0) {
            if (!unitStart) break;  // no pointer field to say where it starts
            remaining_ = SectionSize(storage_ + head_);
        }
        const size_t n = remaining_ < room ? remaining_ : room;
        __builtin_memcpy(p, storage_ + head_, n);
        p += n;
        head_ += n;
        remaining_ -= n;
        room -= n;
    }
    __builtin_memset(p, 0xFF, room);
    if (head_ == tail_) head_ = tail_ = 0;
    return true;
}

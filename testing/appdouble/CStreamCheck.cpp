#include "CStreamCheck.h"

#include "SimStream.h"

CStreamCheck::CStreamCheck()
{
    for (int8_t& cc : lastCc_) cc = -1;
}

void CStreamCheck::Feed(const uint8_t* data, uint32_t size, const Expect& expect)
{
    while (size > 0) {
        if (partialSize_ > 0 || size < kTsPacketSize) {
            const uint32_t n = kTsPacketSize - partialSize_ < size ? kTsPacketSize - partialSize_ : size;
            __builtin_memcpy(partial_ + partialSize_, data, n);
            partialSize_ += n;
            data += n;
            size -= n;
            if (partialSize_ == kTsPacketSize) {
                Packet(partial_, expect);
                partialSize_ = 0;
            }
            continue;
        }
        Packet(data, expect);
        data += kTsPacketSize;
        size -= kTsPacketSize;
    }
}

void CStreamCheck::Begin(uint32_t channel)
{
    started_ = true;
    channel_ = channel;
    inStretch_ = 0;
    ++stretches;
    // A new channel's counters start where its own broadcast is.
    for (int8_t& cc : lastCc_) cc = -1;
}

void CStreamCheck::Continuity(uint32_t pid, int8_t cc)
{
    if (lastCc_[pid] >= 0 && cc != ((lastCc_[pid] + 1) & 0x0F)) ++ccErrors;
    lastCc_[pid] = cc;
}

void CStreamCheck::Packet(const uint8_t* p, const Expect& expect)
{
    ++packets;
    if (p[0] != 0x47) {
        ++syncErrors;
        return;
    }
    const uint32_t pid = static_cast<uint32_t>(p[1] & 0x1F) << 8 | p[2];
    const bool counted = pid != 0x1FFF && (p[3] & 0x10);
    const int8_t cc = static_cast<int8_t>(p[3] & 0x0F);
    SimPayload payload{};
    if (!ParseSimPayload(p, payload)) {
        if (!counted) return;
        if (held_ < kHeld) {
            heldPid_[held_] = static_cast<uint16_t>(pid);
            heldCc_[held_++] = cc;
        } else {
            Continuity(pid, cc);
        }
        return;
    }
    const uint32_t channel = SimChannelKey(payload.space, payload.channel);
    if (!expect.anyChannel && channel != expect.current && channel != expect.next) {
        ++wrongChannel;
        held_ = 0;
        return;
    }
    if (!started_ || channel != channel_) {
        if (started_ && payload.sequence < next_) ++backwards;
        Begin(channel);
    } else if (payload.sequence != next_) {
        if (payload.sequence > next_) lost += static_cast<uint32_t>(payload.sequence - next_);
        else ++backwards;
    }
    for (uint32_t i = 0; i < held_; ++i) Continuity(heldPid_[i], heldCc_[i]);
    held_ = 0;
    Continuity(pid, cc);
    ++inStretch_;
    // The next payload packet's number: the table slots carry none.
    next_ = payload.sequence + 1;
    while (SimIsTableSlot(next_)) ++next_;
}

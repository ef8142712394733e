// What the app double checks in the stream it gets from the client plug-in,
// cut anywhere: packet sync, continuity counters, and the simulated plug-in's
// payload packets (SimStream.h): each of the channel expected, their running
// numbers in order and without a gap within a channel's stretch, and rising
// from one stretch to the next (the plug-in's numbers go on across tunes).
#pragma once
#include "Kernel32.h"

class CStreamCheck {
public:
    CStreamCheck();
    // The sim channels the stream may carry now: `current`, or `next` (a
    // tune under way); `anyChannel`, before the first tune, any. A stretch
    // begins at the first packet of another channel than the one before.
    struct Expect {
        bool anyChannel;
        uint32_t current;  // space << 16 | channel
        uint32_t next;
    };
    void Feed(const uint8_t* data, uint32_t size, const Expect& expect);

    uint32_t Channel() const { return channel_; }   // of the stretch now
    uint32_t InStretch() const { return inStretch_; }  // its payload packets so far
    uint32_t stretches = 0;
    uint32_t packets = 0;
    uint32_t lost = 0;          // payload packets missing within stretches
    uint32_t backwards = 0;     // numbers not above the stretch before
    uint32_t wrongChannel = 0;  // payload of a channel not expected
    uint32_t ccErrors = 0;
    uint32_t syncErrors = 0;

private:
    void Packet(const uint8_t* p, const Expect& expect);
    void Begin(uint32_t channel);
    void Continuity(uint32_t pid, int8_t cc);

    uint8_t partial_[188] = {};
    uint32_t partialSize_ = 0;
    int8_t lastCc_[8192];
    // The table packets since the last payload packet: whether they begin a
    // new channel's stretch only the next payload packet tells.
    static constexpr uint32_t kHeld = 8;
    uint16_t heldPid_[kHeld] = {};
    int8_t heldCc_[kHeld] = {};
    uint32_t held_ = 0;
    bool started_ = false;
    uint32_t channel_ = 0;
    uint32_t inStretch_ = 0;
    uint64_t next_ = 0;  // the number the next payload packet must carry
};

inline uint32_t SimChannelKey(uint32_t space, uint32_t channel)
{
    return space << 16 | channel;
}

// The simulated tuner's transport stream: real 188-byte packets in which the
// tuned channel's services (SimLineup.h) are broadcast with their tables
// (SimCarousel.h), and whose programme packets say which space and channel
// they come from and carry a running packet number, so that a receiver can
// prove that what it got is complete, in order and from the right channel.
//
// Of every kSimPsiInterval packets the first two are table slots (tables,
// PCRs or null packets); all others are payload packets, spread over the
// services' video and audio PIDs, most of them on the first service's video
// PID, kSimPayloadPid.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "SiSection.h"
#include "SimCarousel.h"
#include "SimClock.h"
#include "SimLineup.h"

constexpr size_t kTsPacketSize = 188;
constexpr uint16_t kSimPayloadPid = 0x0100;
constexpr uint32_t kSimMagic = 0x544D4953;  // "SIMT" little-endian
constexpr uint32_t kSimPsiInterval = 64;    // two table slots every this many packets

// With Stamp=1 the plug-in overwrites the filler here with the time it handed
// the packet out (QueryPerformanceCounter).
constexpr size_t kSimStampOffset = 24;

// What a payload packet carries after its 4-byte header, little-endian.
struct SimPayload {
    uint32_t magic;
    uint32_t space;
    uint32_t channel;
    uint64_t sequence;  // counts every packet the tuner object has produced
};

inline bool SimIsTableSlot(uint64_t sequence)
{
    return sequence % kSimPsiInterval < 2;
}

class CSimStream {
public:
    CSimStream() { SetChannel(0, 0); }
    CSimStream(const CSimStream&) = delete;
    CSimStream& operator=(const CSimStream&) = delete;

    // The channel by the plug-in's space and channel index, and the band of
    // that space, which decides what is broadcast on it (UHF when not said,
    // as the plug-in's first space is by default). as: the index of the
    // channel of the band whose broadcast it carries, as a relay transmitter
    // does (negative: its own).
    void SetChannel(uint32_t space, uint32_t channel, SimBand band = SimBand::Uhf, int32_t as = -1);
    // A service whose video and audio packets go out scrambled (scrambling
    // control '11', as no descrambler has handled them); 0: none. Takes
    // effect at the next SetChannel.
    void SetScrambled(uint16_t serviceId) { scrambled_ = serviceId; }
    // A service one in `every` of whose payload packets is left out (a null
    // packet in its place), as a reception that drops packets: its PIDs'
    // continuity counters jump there. Takes effect at the next SetChannel.
    void SetLossy(uint16_t serviceId, uint32_t every)
    {
        lossy_ = serviceId;
        lossEvery_ = every;
    }
    void SetGuide(const SimGuideShape& shape) { carousel_.SetGuide(shape); }
    // The wall clock now (seconds since 1970, UTC), and the rate at which
    // packets are taken, which paces the tables (0: the default rate).
    void SetClock(uint32_t unixSeconds) { clock_.Set(unixSeconds); }
    void SetRate(uint32_t bytesPerSecond) { clock_.SetRate(bytesPerSecond / kTsPacketSize); }

    uint32_t Space() const { return space_; }
    uint32_t Channel() const { return channel_; }
    const SimTransport& Transport() const { return transport_; }
    uint64_t Produced() const { return sequence_; }
    // Writes the next packet.
    void NextPacket(uint8_t* out);

private:
    void WritePayload(uint8_t* out);

    static constexpr uint32_t kPattern = 16;  // payload packets per round of PIDs
    static constexpr uint32_t kMaxStreams = 2 * kSimMaxServices;

    uint32_t space_ = 0;
    uint32_t channel_ = 0;
    uint64_t sequence_ = 0;
    SimTransport transport_{};
    CSimClock clock_;
    CSimCarousel carousel_;
    // Which of the transport's streams each payload packet of a round goes
    // to, how many of that stream's went before it in the round, and each
    // stream's packets per round: the counters follow from the packet number.
    uint16_t scrambled_ = 0;
    uint16_t lossy_ = 0;
    uint32_t lossEvery_ = 0;
    uint16_t streamPid_[kMaxStreams] = {};
    bool streamScrambled_[kMaxStreams] = {};
    bool streamLossy_[kMaxStreams] = {};
    uint8_t perRound_[kMaxStreams] = {};
    uint8_t patternStream_[kPattern] = {};
    uint8_t patternBefore_[kPattern] = {};
};

// Reads a payload packet back; false for a packet that is not one. A stamped
// packet's filler is not checked where the stamp is. Inline: the app double
// reads the stream with it, without the rest of the stream's code.
inline bool ParseSimPayload(const uint8_t* packet, SimPayload& out, bool stamped = false)
{
    if (packet[0] != 0x47 || (packet[3] & 0x30) != 0x10) return false;
    __builtin_memcpy(&out.magic, packet + 4, 4);
    __builtin_memcpy(&out.space, packet + 8, 4);
    __builtin_memcpy(&out.channel, packet + 12, 4);
    __builtin_memcpy(&out.sequence, packet + 16, 8);
    if (out.magic != kSimMagic) return false;
    for (size_t i = stamped ? kSimStampOffset + 8 : 24; i < kTsPacketSize; ++i)
        if (packet[i] != static_cast<uint8_t>(out.sequence + i)) return false;
    return true;
}

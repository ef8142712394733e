#include "SimStream.h"

void CSimStream::SetChannel(uint32_t space, uint32_t channel, SimBand band, int32_t as)
{
    space_ = space;
    channel_ = channel;
    if (!SimDescribeTransport(band, as < 0 ? channel : static_cast<uint32_t>(as), transport_)) transport_ = {};
    carousel_.Tune(transport_, clock_);

    // The payload PIDs with their weights: the first video most, other video
    // less, audio and data least. A channel without services still has the
    // first.
    uint32_t weight[kMaxStreams] = {}, streams = 0;
    for (uint32_t k = 0; k < transport_.serviceCount; ++k) {
        const SimService& s = transport_.services[k];
        for (uint32_t i = 0; i < s.streamCount; ++i) {
            const uint8_t type = s.streams[i].streamType;
            streamPid_[streams] = s.streams[i].pid;
            streamScrambled_[streams] = scrambled_ && s.id == scrambled_;
            streamLossy_[streams] = lossy_ && lossEvery_ && s.id == lossy_;
            weight[streams++] = type == 0x02 || type == 0x1B ? (k == 0 ? 6 : 3) : 1;
        }
    }
    if (!streams) {
        streamScrambled_[0] = streamLossy_[0] = false;
        streamPid_[0] = kSimPayloadPid;
        weight[streams++] = 1;
    }
    // Spread evenly over the round: each time the stream furthest behind its share.
    int32_t credit[kMaxStreams] = {};
    int32_t total = 0;
    for (uint32_t i = 0; i < streams; ++i) total += static_cast<int32_t>(weight[i]);
    for (uint32_t i = 0; i < kMaxStreams; ++i) perRound_[i] = 0;
    for (uint32_t j = 0; j < kPattern; ++j) {
        uint32_t best = 0;
        for (uint32_t i = 0; i < streams; ++i) {
            credit[i] += static_cast<int32_t>(weight[i]);
            if (credit[i] > credit[best]) best = i;
        }
        credit[best] -= total;
        patternStream_[j] = static_cast<uint8_t>(best);
        patternBefore_[j] = perRound_[best]++;
    }
}

void CSimStream::NextPacket(uint8_t* out)
{
    if (SimIsTableSlot(sequence_)) carousel_.NextPacket(out, clock_);
    else WritePayload(out);
    clock_.Tick();
    ++sequence_;
}

void CSimStream::WritePayload(uint8_t* out)
{
    // The payload packets before this one; shifts and masks only, which
    // 32-bit code does without runtime helpers.
    const uint64_t index = sequence_ - 2 * (sequence_ / kSimPsiInterval) - 2;
    const uint32_t at = static_cast<uint32_t>(index % kPattern);
    const uint32_t rounds = static_cast<uint32_t>(index / kPattern);
    const uint32_t stream = patternStream_[at];
    const uint16_t pid = streamPid_[stream];
    // The stream's own packet number, whose low bits are its counter.
    const uint32_t number = rounds * perRound_[stream] + patternBefore_[at];
    if (streamLossy_[stream] && number % lossEvery_ == lossEvery_ - 1) {
        out[0] = 0x47;
        out[1] = 0x1F;
        out[2] = 0xFF;
        out[3] = 0x10;
        for (size_t i = 4; i < kTsPacketSize; ++i) out[i] = 0xFF;
        return;
    }
    out[0] = 0x47;
    out[1] = static_cast<uint8_t>((pid >> 8) & 0x1F);
    out[2] = static_cast<uint8_t>(pid & 0xFF);
    out[3] = static_cast<uint8_t>((streamScrambled_[stream] ? 0xC0 : 0x00) | 0x10 | (number & 0x0F));
    SimPayload p{kSimMagic, space_, channel_, sequence_};
    __builtin_memcpy(out + 4, &p.magic, 4);
    __builtin_memcpy(out + 8, &p.space, 4);
    __builtin_memcpy(out + 12, &p.channel, 4);
    __builtin_memcpy(out + 16, &p.sequence, 8);
    for (size_t i = 24; i < kTsPacketSize; ++i) out[i] = static_cast<uint8_t>(sequence_ + i);
}

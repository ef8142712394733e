// The simulated tuner's transport stream: real 188-byte packets with a PAT, a
// PMT and a payload PID whose packets say which space and channel they come
// from and carry a running packet number, so that a receiver can prove that
// what it got is complete, in order and from the right channel.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t kTsPacketSize = 188;
constexpr uint16_t kSimPmtPid = 0x1000;
constexpr uint16_t kSimPayloadPid = 0x0100;
constexpr uint32_t kSimMagic = 0x544D4953;  // "SIMT" little-endian
constexpr uint32_t kSimPsiInterval = 64;    // a PAT and a PMT every this many packets

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

class CSimStream {
public:
    void SetChannel(uint32_t space, uint32_t channel) { space_ = space; channel_ = channel; }
    uint32_t Space() const { return space_; }
    uint32_t Channel() const { return channel_; }
    uint64_t Produced() const { return sequence_; }
    // Writes the next packet.
    void NextPacket(uint8_t* out);

private:
    void WriteHeader(uint8_t* out, uint16_t pid, bool unitStart);
    void WritePsi(uint8_t* out, uint16_t pid, const uint8_t* section, size_t length);

    uint32_t space_ = 0;
    uint32_t channel_ = 0;
    uint64_t sequence_ = 0;
    uint8_t cc_[3] = {};  // PAT, PMT, payload
};

// Reads a payload packet back; false for a packet that is not one. A stamped
// packet's filler is not checked where the stamp is.
bool ParseSimPayload(const uint8_t* packet, SimPayload& out, bool stamped = false);

// MPEG-2 section CRC.
uint32_t Crc32Mpeg(const uint8_t* data, size_t length);

#include "SimStream.h"

uint32_t Crc32Mpeg(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

namespace {
size_t FinishSection(uint8_t* s, size_t lengthBeforeCrc)
{
    const size_t sectionLength = lengthBeforeCrc + 4 - 3;
    s[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(sectionLength & 0xFF);
    const uint32_t crc = Crc32Mpeg(s, lengthBeforeCrc);
    for (int i = 0; i < 4; ++i) s[lengthBeforeCrc + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return lengthBeforeCrc + 4;
}
}  // namespace

void CSimStream::WriteHeader(uint8_t* out, uint16_t pid, bool unitStart)
{
    const int index = pid == 0 ? 0 : pid == kSimPmtPid ? 1 : 2;
    out[0] = 0x47;
    out[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    out[2] = static_cast<uint8_t>(pid & 0xFF);
    out[3] = static_cast<uint8_t>(0x10 | (cc_[index] & 0x0F));
    cc_[index] = static_cast<uint8_t>((cc_[index] + 1) & 0x0F);
}

void CSimStream::WritePsi(uint8_t* out, uint16_t pid, const uint8_t* section, size_t length)
{
    WriteHeader(out, pid, true);
    out[4] = 0;  // pointer field
    __builtin_memset(out + 5, 0xFF, kTsPacketSize - 5);
    __builtin_memcpy(out + 5, section, length);
}

void CSimStream::NextPacket(uint8_t* out)
{
    const uint64_t slot = sequence_ % kSimPsiInterval;
    const uint16_t tsid = static_cast<uint16_t>(0x4000 + space_ * 0x100 + channel_);
    if (slot == 0) {
        uint8_t s[16] = {0x00, 0, 0, static_cast<uint8_t>(tsid >> 8), static_cast<uint8_t>(tsid), 0xC1, 0, 0,
                         0x00, 0x01, static_cast<uint8_t>(0xE0 | (kSimPmtPid >> 8)), static_cast<uint8_t>(kSimPmtPid)};
        WritePsi(out, 0, s, FinishSection(s, 12));
    } else if (slot == 1) {
        uint8_t s[24] = {0x02, 0, 0, 0x00, 0x01, 0xC1, 0, 0,
                         static_cast<uint8_t>(0xE0 | (kSimPayloadPid >> 8)), static_cast<uint8_t>(kSimPayloadPid),
                         0xF0, 0x00,
                         0x06, static_cast<uint8_t>(0xE0 | (kSimPayloadPid >> 8)), static_cast<uint8_t>(kSimPayloadPid),
                         0xF0, 0x00};
        WritePsi(out, kSimPmtPid, s, FinishSection(s, 17));
    } else {
        WriteHeader(out, kSimPayloadPid, false);
        SimPayload p{kSimMagic, space_, channel_, sequence_};
        __builtin_memcpy(out + 4, &p.magic, 4);
        __builtin_memcpy(out + 8, &p.space, 4);
        __builtin_memcpy(out + 12, &p.channel, 4);
        __builtin_memcpy(out + 16, &p.sequence, 8);
        for (size_t i = 24; i < kTsPacketSize; ++i) out[i] = static_cast<uint8_t>(sequence_ + i);
    }
    ++sequence_;
}

bool ParseSimPayload(const uint8_t* packet, SimPayload& out, bool stamped)
{
    if (packet[0] != 0x47) return false;
    const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    if (pid != kSimPayloadPid) return false;
    __builtin_memcpy(&out.magic, packet + 4, 4);
    __builtin_memcpy(&out.space, packet + 8, 4);
    __builtin_memcpy(&out.channel, packet + 12, 4);
    __builtin_memcpy(&out.sequence, packet + 16, 8);
    if (out.magic != kSimMagic) return false;
    for (size_t i = stamped ? kSimStampOffset + 8 : 24; i < kTsPacketSize; ++i)
        if (packet[i] != static_cast<uint8_t>(out.sequence + i)) return false;
    return true;
}

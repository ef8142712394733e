#include "CSimSource.h"

#include "SimStream.h"

namespace {

unsigned Pid(const uint8_t* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

bool HasAdaptation(const uint8_t* p)
{
    return (p[3] & 0x20) && p[4] > 0;
}

bool HasPayload(const uint8_t* p)
{
    return (p[3] & 0x10) != 0;
}

// The PCR in 27 MHz ticks, or -1. In signed 64 bits, which 32-bit code
// turns into a double without runtime helpers.
long long Pcr(const uint8_t* p)
{
    if (!HasAdaptation(p) || p[4] < 7 || !(p[5] & 0x10)) return -1;
    const long long base = (static_cast<long long>(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    const long long extension = ((p[10] & 1) << 8) | p[11];
    return base * 300 + extension;
}

}  // namespace

bool CSimSource::Load(const wchar_t* path)
{
    packets_ = 0;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(f, &size) && size.QuadPart >= static_cast<long long>(kTsPacketSize) &&
              size.QuadPart <= static_cast<long long>(kMaxBytes);
    const size_t bytes = ok ? static_cast<size_t>(size.QuadPart) / kTsPacketSize * kTsPacketSize : 0;
    ok = ok && file_.Resize(bytes);
    for (size_t at = 0; ok && at < bytes;) {
        const DWORD want = bytes - at > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes - at);
        DWORD got = 0;
        ok = ReadFile(f, file_.Data() + at, want, &got, nullptr) && got > 0;
        at += got;
    }
    CloseHandle(f);
    if (!ok || file_.Data()[0] != 0x47) return false;
    packets_ = bytes / kTsPacketSize;
    next_ = 0;
    MeasurePcrRate();
    return true;
}

void CSimSource::MeasurePcrRate()
{
    pcrRate_ = 0;
    unsigned pcrPid = 0x2000;
    size_t firstAt = 0, lastAt = 0;
    long long first = -1, last = -1;
    for (size_t i = 0; i < packets_; ++i) {
        const uint8_t* p = file_.Data() + i * kTsPacketSize;
        const long long pcr = Pcr(p);
        if (pcr < 0) continue;
        if (pcrPid == 0x2000) pcrPid = Pid(p);
        if (Pid(p) != pcrPid) continue;
        if (first < 0) {
            first = pcr;
            firstAt = i;
        } else if (pcr > last) {
            last = pcr;
            lastAt = i;
        }
    }
    if (first < 0 || last <= first) return;
    pcrRate_ = double(static_cast<long long>((lastAt - firstAt) * kTsPacketSize)) * 27000000.0 / double(last - first);
}

void CSimSource::NextPacket(uint8_t* out)
{
    if (next_ == packets_) {
        next_ = 0;
        __builtin_memset(afterSeam_, 1, sizeof afterSeam_);
    }
    __builtin_memcpy(out, file_.Data() + next_ * kTsPacketSize, kTsPacketSize);
    ++next_;
    const unsigned pid = Pid(out);
    if (pid == 0x1FFF) return;
    const uint8_t cc = out[3] & 0x0F;
    if (afterSeam_[pid]) {
        afterSeam_[pid] = 0;
        if (seen_[pid]) {
            const uint8_t want = HasPayload(out) ? (lastCc_[pid] + 1) & 0x0F : lastCc_[pid];
            ccOffset_[pid] = (want - cc) & 0x0F;
        }
        if (HasAdaptation(out)) out[5] |= 0x80;
    }
    const uint8_t sent = (cc + ccOffset_[pid]) & 0x0F;
    out[3] = static_cast<uint8_t>((out[3] & 0xF0) | sent);
    lastCc_[pid] = sent;
    seen_[pid] = 1;
}

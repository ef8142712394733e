#include "AribTime.h"

namespace tstables {
namespace {

// Two BCD digits, or -1.
int Bcd(uint8_t b)
{
    const int hi = b >> 4, lo = b & 0x0F;
    return hi > 9 || lo > 9 ? -1 : hi * 10 + lo;
}

// MJD 40587 is 1970-01-01.
constexpr int64_t kUnixEpochMjd = 40587;

}  // namespace

std::optional<int64_t> JstMjdBcdToUtc(const uint8_t* p)
{
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF && p[4] == 0xFF) return std::nullopt;
    const int64_t mjd = p[0] << 8 | p[1];
    const int h = Bcd(p[2]), m = Bcd(p[3]), s = Bcd(p[4]);
    if (h < 0 || m < 0 || s < 0 || h > 23 || m > 59 || s > 60) return std::nullopt;
    return (mjd - kUnixEpochMjd) * 86400 + h * 3600 + m * 60 + s - kJstOffsetSeconds;
}

std::optional<uint32_t> BcdDurationSeconds(const uint8_t* p)
{
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF) return std::nullopt;
    const int h = Bcd(p[0]), m = Bcd(p[1]), s = Bcd(p[2]);
    if (h < 0 || m < 0 || s < 0 || m > 59 || s > 59) return std::nullopt;
    return static_cast<uint32_t>(h * 3600 + m * 60 + s);
}

}  // namespace tstables

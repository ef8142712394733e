// Times in ARIB SI (ETSI EN 300 468 annex C, ARIB STD-B10): a date as a
// Modified Julian Date and a time of day in BCD, both in Japan Standard Time,
// and durations in BCD. Times are carried as UTC seconds since 1970 with the
// offset they were given in (JST, +09:00), so that a guide can show either.
#pragma once
#include <cstdint>
#include <optional>

namespace tstables {

constexpr int32_t kJstOffsetSeconds = 9 * 3600;

// 40 bits: MJD (16) and hh mm ss in BCD (24), in JST. Nothing when undefined
// (all bits set) or not a valid time of day.
std::optional<int64_t> JstMjdBcdToUtc(const uint8_t* p);
// 24 bits: hh mm ss in BCD. Nothing when undefined (all bits set) or not
// valid BCD.
std::optional<uint32_t> BcdDurationSeconds(const uint8_t* p);

}  // namespace tstables

// CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, initial value all ones,
// no reflection, no final inversion): a whole section including its CRC
// field yields 0.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tstables {

uint32_t Crc32Mpeg(const uint8_t* data, size_t size);

}  // namespace tstables

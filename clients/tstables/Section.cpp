#include "Section.h"

#include "Crc32.h"

namespace tstables {

std::optional<CSection> CSection::FromBytes(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 3) return std::nullopt;
    const size_t size = 3 + (static_cast<size_t>(bytes[1] & 0x0F) << 8 | bytes[2]);
    if (size > kMaxSectionSize || size > bytes.size()) return std::nullopt;
    const bool isLong = (bytes[1] & 0x80) != 0;
    const bool hasCrc = isLong || bytes[0] == 0x73;
    // Long form: 5 header bytes after the length, then the CRC.
    if (isLong && size < 3 + 5 + 4) return std::nullopt;
    if (hasCrc && size < 3 + 4) return std::nullopt;
    if (hasCrc && Crc32Mpeg(bytes.data(), size) != 0) return std::nullopt;
    return CSection(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
}

uint32_t CSection::crc() const
{
    if (!hasCrc()) return 0;
    const uint8_t* p = bytes_.data() + bytes_.size() - 4;
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

std::span<const uint8_t> CSection::payload() const
{
    const size_t head = isLong() ? 8 : 3;
    const size_t tail = hasCrc() ? 4 : 0;
    return std::span<const uint8_t>(bytes_).subspan(head, bytes_.size() - head - tail);
}

}  // namespace tstables

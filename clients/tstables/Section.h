// One whole, checked PSI/SI section (ISO/IEC 13818-1 2.4.4, ETSI EN 300 468
// 5.1): its length agrees with its bytes and, where it carries one, its
// CRC-32 is right. Table parsers take a CSection, so they never see a section
// whose framing lies; they still check every loop inside it.
//
//   auto s = CSection::FromBytes(bytes);   // std::nullopt if it lies
//   s->tableId(), s->tableIdExtension(), s->version(), s->payload() ...
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tstables {

// Longest section: 12-bit length after a 3-byte header, capped at 4096 bytes
// (private sections, ARIB's EIT).
constexpr size_t kMaxSectionSize = 4096;

class CSection {
public:
    // The section at the start of `bytes` (trailing bytes ignored), or
    // nothing if it is cut short, too short for its syntax, or fails its CRC.
    static std::optional<CSection> FromBytes(std::span<const uint8_t> bytes);

    uint8_t tableId() const { return bytes_[0]; }
    // Long form: table id extension, version, section numbers and a CRC.
    bool isLong() const { return (bytes_[1] & 0x80) != 0; }
    // Carries a CRC-32: every long section, and the TOT (table 0x73).
    bool hasCrc() const { return isLong() || tableId() == 0x73; }
    // The long form's header fields (0 for short sections).
    uint16_t tableIdExtension() const { return isLong() ? static_cast<uint16_t>(bytes_[3] << 8 | bytes_[4]) : 0; }
    uint8_t version() const { return isLong() ? (bytes_[5] >> 1) & 0x1F : 0; }
    bool isCurrent() const { return !isLong() || (bytes_[5] & 1) != 0; }
    uint8_t sectionNumber() const { return isLong() ? bytes_[6] : 0; }
    uint8_t lastSectionNumber() const { return isLong() ? bytes_[7] : 0; }
    uint32_t crc() const;

    // What follows the header (8 bytes long form, 3 short), without the CRC.
    std::span<const uint8_t> payload() const;
    std::span<const uint8_t> bytes() const { return bytes_; }

private:
    explicit CSection(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::vector<uint8_t> bytes_;
};

}  // namespace tstables

// Station logos (ARIB STD-B21, TR-B14): the common data table (table 0xC8 on
// PID 0x0029) carries them as logo data modules, and the SDT's logo
// transmission descriptor (0xCF) names each service's logo id. A logo is a
// PNG of palette indexes without its palette (LogoPng.h adds it).
#pragma once
#include "Descriptors.h"
#include "Section.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tstables {

constexpr uint16_t kCdtPid = 0x0029;
constexpr uint8_t kLogoTransmissionDescriptor = 0xCF;
constexpr int kLogoTypes = 6;  // 0-5: the sizes a logo is sent in

struct CdtLogo {
    uint16_t originalNetworkId = 0;
    uint16_t downloadDataId = 0;
    uint8_t type = 0;
    uint16_t id = 0;  // 9 bits
    uint16_t version = 0;
    std::vector<uint8_t> png;
};

// A CDT section that carries a logo (data type 1); false for any other
// section, or one whose lengths lie.
bool ParseCdtLogo(const CSection& section, CdtLogo& out);

// The logo id that a logo transmission descriptor names (types 1 and 2; type
// 3, a logo of characters, names none).
std::optional<uint16_t> LogoIdOf(const DescriptorList& descriptors);

}  // namespace tstables

#include "Cdt.h"

#include "ByteReader.h"

namespace tstables {

bool ParseCdtLogo(const CSection& section, CdtLogo& out)
{
    if (section.tableId() != 0xC8 || !section.isLong() || !section.isCurrent()) return false;
    CByteReader r(section.payload());
    CdtLogo logo;
    logo.downloadDataId = section.tableIdExtension();
    logo.originalNetworkId = r.U16();
    const uint8_t dataType = r.U8();
    r.Skip(r.U16() & 0x0FFF);  // descriptors: none that a logo needs
    logo.type = r.U8();
    logo.id = r.U16() & 0x1FF;
    logo.version = r.U16() & 0x0FFF;
    const auto png = r.Bytes(r.U16());
    if (!r.ok() || dataType != 0x01 || logo.type >= kLogoTypes || png.empty()) return false;
    logo.png.assign(png.begin(), png.end());
    out = std::move(logo);
    return true;
}

std::optional<uint16_t> LogoIdOf(const DescriptorList& descriptors)
{
    const Descriptor* d = FindDescriptor(descriptors, kLogoTransmissionDescriptor);
    if (!d) return std::nullopt;
    CByteReader r(d->data);
    const uint8_t type = r.U8();
    const uint16_t id = r.U16() & 0x1FF;
    if (!r.ok() || (type != 0x01 && type != 0x02)) return std::nullopt;
    return id;
}

}  // namespace tstables

#include "Sdt.h"

#include "AribText.h"
#include "ByteReader.h"

namespace tstables {
namespace {

// Service descriptor: type, provider name, service name. A broken one leaves
// the service without names rather than refusing the table.
void ReadServiceDescriptor(const Descriptor& d, SdtService& s)
{
    CByteReader r(d.data);
    const uint8_t type = r.U8();
    const auto provider = r.Bytes(r.U8());
    const auto name = r.Bytes(r.U8());
    if (!r.ok()) return;
    s.serviceType = type;
    s.providerName = DecodeAribText(provider);
    s.serviceName = DecodeAribText(name);
}

}  // namespace

ServiceKind KindOfServiceType(uint8_t type)
{
    switch (type) {
    case 0x01: case 0xA1: case 0xA5: case 0xAD: return ServiceKind::Video;
    case 0x02: case 0xA2: case 0xA6: return ServiceKind::Audio;
    default: return ServiceKind::Data;
    }
}

bool ParseSdt(const CSection& section, Sdt& out)
{
    if (section.tableId() != 0x42 || !section.isLong()) return false;
    Sdt sdt;
    sdt.transportStreamId = section.tableIdExtension();
    sdt.version = section.version();
    CByteReader r(section.payload());
    sdt.originalNetworkId = r.U16();
    r.Skip(1);
    while (r.ok() && !r.empty()) {
        SdtService s;
        s.serviceId = r.U16();
        const uint8_t flags = r.U8();
        s.eitSchedule = (flags & 0x02) != 0;
        s.eitPresentFollowing = (flags & 0x01) != 0;
        const uint16_t status = r.U16();
        s.runningStatus = static_cast<uint8_t>(status >> 13);
        s.freeCaMode = (status & 0x1000) != 0;
        if (!ReadDescriptorLoop(r, status & 0x0FFF, s.descriptors)) break;
        if (const Descriptor* d = FindDescriptor(s.descriptors, kServiceDescriptor)) ReadServiceDescriptor(*d, s);
        sdt.services.push_back(std::move(s));
    }
    if (!r.ok()) return false;
    out = std::move(sdt);
    return true;
}

}  // namespace tstables

#include "Nit.h"

#include "AribText.h"
#include "ByteReader.h"

namespace tstables {
namespace {

NitService& ServiceEntry(NitTransportStream& ts, uint16_t serviceId)
{
    for (NitService& s : ts.services)
        if (s.serviceId == serviceId) return s;
    ts.services.push_back({serviceId, 0, 0});
    return ts.services.back();
}

// Service list descriptor: service id and type, repeated.
void ReadServiceList(const Descriptor& d, NitTransportStream& ts)
{
    CByteReader r(d.data);
    while (r.left() >= 3) {
        const uint16_t id = r.U16();
        ServiceEntry(ts, id).serviceType = r.U8();
    }
}

// TS information descriptor: key id, name, and per transmission type the
// services carried. A broken one is ignored.
void ReadTsInformation(const Descriptor& d, NitTransportStream& ts)
{
    CByteReader r(d.data);
    const uint8_t key = r.U8();
    const uint8_t lengths = r.U8();
    const auto name = r.Bytes(lengths >> 2);
    std::vector<uint16_t> ids;
    for (int type = 0; type < (lengths & 3) && r.ok(); ++type) {
        r.Skip(1);  // transmission type info
        const uint8_t count = r.U8();
        for (int i = 0; i < count && r.ok(); ++i) ids.push_back(r.U16());
    }
    if (!r.ok()) return;
    ts.remoteControlKeyId = key;
    ts.name = DecodeAribText(name);
    for (const uint16_t id : ids) ServiceEntry(ts, id);
}

}  // namespace

uint16_t ServiceNumber(uint16_t networkId, uint16_t serviceId, std::optional<uint8_t> key)
{
    if (networkId == 4 || networkId == 6 || networkId == 7) return serviceId;
    if (!key || *key == 0 || *key > 99) return 0;
    const unsigned kind = (serviceId >> 7) & 3;  // 0 TV, 3 one-segment
    const unsigned base = *key * 10u + (serviceId & 7u) + 1u;
    if (kind == 0) return static_cast<uint16_t>(base);
    if (kind == 3) return static_cast<uint16_t>(600 + base);
    return 0;
}

bool ParseNit(const CSection& section, Nit& out)
{
    if (section.tableId() != 0x40 || !section.isLong()) return false;
    Nit nit;
    nit.networkId = section.tableIdExtension();
    nit.version = section.version();
    CByteReader r(section.payload());
    ReadDescriptorLoop(r, r.U16() & 0x0FFF, nit.descriptors);
    if (const Descriptor* d = FindDescriptor(nit.descriptors, kNetworkNameDescriptor)) nit.networkName = DecodeAribText(d->data);
    CByteReader loop = r.Sub(r.U16() & 0x0FFF);
    while (loop.ok() && !loop.empty()) {
        NitTransportStream ts;
        ts.transportStreamId = loop.U16();
        ts.originalNetworkId = loop.U16();
        if (!ReadDescriptorLoop(loop, loop.U16() & 0x0FFF, ts.descriptors)) break;
        for (const Descriptor& d : ts.descriptors) {
            if (d.tag == kServiceListDescriptor) ReadServiceList(d, ts);
            if (d.tag == kTsInformationDescriptor) ReadTsInformation(d, ts);
        }
        for (NitService& s : ts.services) s.number = ServiceNumber(nit.networkId, s.serviceId, ts.remoteControlKeyId);
        nit.transportStreams.push_back(std::move(ts));
    }
    if (!loop.ok() || !r.ok()) return false;
    out = std::move(nit);
    return true;
}

}  // namespace tstables

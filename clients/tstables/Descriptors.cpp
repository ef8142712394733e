#include "Descriptors.h"

namespace tstables {

bool ReadDescriptorLoop(CByteReader& r, size_t length, DescriptorList& out)
{
    CByteReader loop = r.Sub(length);
    while (loop.ok() && !loop.empty()) {
        Descriptor d;
        d.tag = loop.U8();
        const auto data = loop.Bytes(loop.U8());
        if (!loop.ok()) break;
        d.data.assign(data.begin(), data.end());
        out.push_back(std::move(d));
    }
    if (!loop.ok()) r.Fail();
    return r.ok();
}

const Descriptor* FindDescriptor(const DescriptorList& list, uint8_t tag)
{
    for (const Descriptor& d : list)
        if (d.tag == tag) return &d;
    return nullptr;
}

std::optional<CaDescriptor> ParseCaDescriptor(const Descriptor& d)
{
    if (d.tag != kCaDescriptor) return std::nullopt;
    CByteReader r(d.data);
    CaDescriptor ca;
    ca.systemId = r.U16();
    ca.pid = r.U16() & 0x1FFF;
    if (!r.ok()) return std::nullopt;
    return ca;
}

std::string LanguageCode(std::span<const uint8_t> code)
{
    std::string s;
    for (const uint8_t c : code) {
        if (c < 0x20 || c > 0x7E) return {};
        s += static_cast<char>(c);
    }
    return s;
}

}  // namespace tstables

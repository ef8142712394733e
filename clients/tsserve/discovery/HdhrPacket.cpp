#include "HdhrPacket.h"

namespace {

constexpr uint16_t kTypeDiscoverRequest = 0x0002;
constexpr uint16_t kTypeDiscoverReply = 0x0003;
constexpr uint8_t kTagDeviceType = 0x01;
constexpr uint8_t kTagDeviceId = 0x02;
constexpr uint8_t kTagTunerCount = 0x10;
constexpr uint8_t kTagLineupUrl = 0x27;
constexpr uint8_t kTagBaseUrl = 0x2A;
constexpr uint8_t kTagDeviceAuth = 0x2B;
constexpr size_t kMaxPacket = 1460;

uint32_t BigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// A length below 128 is one byte; longer, the low seven bits with the top bit set, then the rest.
void PutItem(std::vector<uint8_t>& out, uint8_t tag, const void* value, size_t size)
{
    out.push_back(tag);
    if (size < 128) {
        out.push_back(static_cast<uint8_t>(size));
    } else {
        out.push_back(static_cast<uint8_t>(0x80 | (size & 0x7F)));
        out.push_back(static_cast<uint8_t>(size >> 7));
    }
    const auto* p = static_cast<const uint8_t*>(value);
    for (size_t i = 0; i < size; ++i) out.push_back(p[i]);
}

void PutItem32(std::vector<uint8_t>& out, uint8_t tag, uint32_t v)
{
    const uint8_t bytes[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    PutItem(out, tag, bytes, 4);
}

}  // namespace

uint32_t HdhrCrc(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

bool CHdhrDiscoverRequest::WantsTuner() const
{
    if (deviceTypes.empty()) return true;
    for (uint32_t t : deviceTypes)
        if (t == kHdhrTypeTuner || t == kHdhrWildcard) return true;
    return false;
}

bool ParseHdhrDiscoverRequest(const uint8_t* data, size_t size, CHdhrDiscoverRequest& out)
{
    if (size < 8 || size > kMaxPacket) return false;
    const uint16_t type = uint16_t(data[0] << 8 | data[1]);
    const size_t length = size_t(data[2]) << 8 | data[3];
    if (type != kTypeDiscoverRequest || 4 + length + 4 != size) return false;
    const uint8_t* crc = data + 4 + length;
    if (HdhrCrc(data, 4 + length) != (uint32_t(crc[0]) | uint32_t(crc[1]) << 8 | uint32_t(crc[2]) << 16 |
                                      uint32_t(crc[3]) << 24))
        return false;
    out = CHdhrDiscoverRequest();
    const uint8_t* p = data + 4;
    const uint8_t* end = p + length;
    while (p < end) {
        const uint8_t tag = *p++;
        if (p >= end) return false;
        size_t itemSize = *p++;
        if (itemSize & 0x80) {
            if (p >= end) return false;
            itemSize = (itemSize & 0x7F) | size_t(*p++) << 7;
        }
        if (itemSize > size_t(end - p)) return false;
        // Unknown items are skipped, as the protocol asks.
        if (tag == kTagDeviceType && itemSize == 4) out.deviceTypes.push_back(BigEndian32(p));
        if (tag == kTagDeviceId && itemSize == 4) out.deviceId = BigEndian32(p);
        p += itemSize;
    }
    return true;
}

std::vector<uint8_t> HdhrDiscoverReply(const CHdhrDeviceReply& device)
{
    // Type and length first; the length is filled in once the items are there.
    std::vector<uint8_t> out{uint8_t(kTypeDiscoverReply >> 8), uint8_t(kTypeDiscoverReply), 0, 0};
    PutItem32(out, kTagDeviceType, kHdhrTypeTuner);
    PutItem32(out, kTagDeviceId, device.deviceId);
    PutItem(out, kTagTunerCount, &device.tunerCount, 1);
    PutItem(out, kTagBaseUrl, device.baseUrl.data(), device.baseUrl.size());
    PutItem(out, kTagLineupUrl, device.lineupUrl.data(), device.lineupUrl.size());
    PutItem(out, kTagDeviceAuth, device.deviceAuth.data(), device.deviceAuth.size());
    const size_t length = out.size() - 4;
    out[2] = uint8_t(length >> 8);
    out[3] = uint8_t(length);
    const uint32_t crc = HdhrCrc(out.data(), out.size());
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(crc >> shift));
    return out;
}

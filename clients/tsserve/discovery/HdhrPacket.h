// HDHomeRun's discovery packets, as libhdhomerun's headers describe them: a
// 16-bit type and a 16-bit payload length (big-endian), the payload as
// tag-length-value items, and an Ethernet CRC-32 of all that (little-endian).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t kHdhrDiscoverPort = 65001;
constexpr uint32_t kHdhrTypeTuner = 0x00000001;
constexpr uint32_t kHdhrWildcard = 0xFFFFFFFF;

struct CHdhrDiscoverRequest {
    std::vector<uint32_t> deviceTypes;  // none given: any
    uint32_t deviceId = kHdhrWildcard;

    bool WantsTuner() const;
    bool WantsId(uint32_t id) const { return deviceId == kHdhrWildcard || deviceId == id; }
};

// False for anything but a whole, intact discovery request.
bool ParseHdhrDiscoverRequest(const uint8_t* data, size_t size, CHdhrDiscoverRequest& out);

struct CHdhrDeviceReply {
    uint32_t deviceId = 0;
    uint8_t tunerCount = 1;
    std::string baseUrl, lineupUrl, deviceAuth;
};

std::vector<uint8_t> HdhrDiscoverReply(const CHdhrDeviceReply& device);

// The Ethernet CRC-32 (reflected, polynomial 0x04C11DB7).
uint32_t HdhrCrc(const uint8_t* data, size_t size);

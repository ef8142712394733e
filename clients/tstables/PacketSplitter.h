// Whole 188-byte packets out of a stream that comes in pieces of any size:
// a packet starts at a sync byte (bytes before one are skipped), and one
// split between two pieces is put together.
//
//   CPacketSplitter packets;
//   packets.Feed(block, size, [&](const uint8_t* packet) { ... });
#pragma once
#include "SectionAssembler.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace tstables {

class CPacketSplitter {
public:
    template <typename Packet>
    void Feed(const uint8_t* data, size_t size, Packet&& packet)
    {
        while (size > 0) {
            if (partialSize_ == 0) {
                if (data[0] != 0x47) {
                    ++data;
                    --size;
                    continue;
                }
                if (size >= kTsPacketSize) {
                    packet(data);
                    data += kTsPacketSize;
                    size -= kTsPacketSize;
                    continue;
                }
            }
            const size_t n = std::min(size, kTsPacketSize - partialSize_);
            std::memcpy(partial_.data() + partialSize_, data, n);
            partialSize_ += n;
            data += n;
            size -= n;
            if (partialSize_ == kTsPacketSize) {
                partialSize_ = 0;
                packet(partial_.data());
            }
        }
    }
    void Reset() { partialSize_ = 0; }

private:
    std::array<uint8_t, kTsPacketSize> partial_{};
    size_t partialSize_ = 0;
};

}  // namespace tstables

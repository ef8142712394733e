// Descriptor loops (ISO/IEC 13818-1 2.6, ETSI EN 300 468 6, ARIB STD-B10
// part 2 6): kept whole for later use, each a tag and its bytes. A loop in
// which a descriptor runs past the loop's end is refused as a whole.
#pragma once
#include "ByteReader.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tstables {

// The tags these tables read.
enum DescriptorTag : uint8_t {
    kCaDescriptor = 0x09,
    kNetworkNameDescriptor = 0x40,
    kServiceListDescriptor = 0x41,
    kServiceDescriptor = 0x48,
    kShortEventDescriptor = 0x4D,
    kExtendedEventDescriptor = 0x4E,
    kComponentDescriptor = 0x50,
    kContentDescriptor = 0x54,
    kAudioComponentDescriptor = 0xC4,
    kTsInformationDescriptor = 0xCD,
    kEventGroupDescriptor = 0xD6,
};

struct Descriptor {
    uint8_t tag = 0;
    std::vector<uint8_t> data;  // what follows the tag and length
};
using DescriptorList = std::vector<Descriptor>;

// Reads `length` bytes of descriptors from `r`; false (and `r` failed) if the
// loop runs past `r` or a descriptor past the loop.
bool ReadDescriptorLoop(CByteReader& r, size_t length, DescriptorList& out);
// The first descriptor with the tag, or null.
const Descriptor* FindDescriptor(const DescriptorList& list, uint8_t tag);

// Conditional access descriptor: the CA system and the PID of its ECMs (in a
// PMT) or EMMs (in a CAT).
struct CaDescriptor {
    uint16_t systemId = 0;
    uint16_t pid = 0;
};
std::optional<CaDescriptor> ParseCaDescriptor(const Descriptor& d);

// An ISO 639-2 language code ("jpn") as text; empty if it is not printable.
std::string LanguageCode(std::span<const uint8_t> code);

}  // namespace tstables

// Every table parser on sections whose framing holds but whose insides may
// lie. The first input byte says what to do: bit 0 sets the section length
// to the input's (otherwise it may lie), bit 1 also decodes the rest as
// ARIB text. The harness appends the CRC, so mutations reach the parsers.
#include "AribText.h"
#include "Crc32.h"
#include "ParseAll.h"

#include <vector>

using namespace tstables;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (flags & 2) DecodeAribText(bytes);
    if ((flags & 1) && bytes.size() >= 3 && bytes.size() + 4 <= kMaxSectionSize) {
        const size_t length = bytes.size() + 4 - 3;
        bytes[1] = static_cast<uint8_t>((bytes[1] & 0xF0) | length >> 8);
        bytes[2] = static_cast<uint8_t>(length);
    }
    const uint32_t crc = Crc32Mpeg(bytes.data(), bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(crc >> shift));
    if (const auto section = CSection::FromBytes(bytes)) {
        CEventCollector guide;
        ParseAll(*section, guide);
    }
    return 0;
}

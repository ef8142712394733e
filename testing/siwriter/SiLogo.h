// Station logos as Japanese broadcasts carry them (ARIB STD-B21, TR-B14):
// PNG images of palette indexes without their palette, which a receiver
// takes from ARIB STD-B24's common fixed colour table; each sent in a
// common data table (CDT, table 0xC8 on PID 0x0029) as a logo data module,
// and named per service by the SDT's logo transmission descriptor.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr uint16_t kSiCdtPid = 0x0029;

// A PNG of 8-bit palette indexes (`width` x `height`, row after row), with
// no palette chunk; 0 when it does not fit. The image data is deflate's
// stored blocks: nothing to compress it with here, and valid all the same.
size_t WriteLogoPng(uint8_t* out, size_t capacity, uint32_t width, uint32_t height, const uint8_t* indexes);

struct SiLogo {
    uint8_t type;  // 0-5: the size (5: 64x36, for high-definition services)
    uint16_t id;   // 9 bits, per network
    uint16_t version;
    const uint8_t* png;
    uint16_t pngSize;
};
// One CDT section carrying one logo (data type 0x01).
size_t WriteCdtLogo(uint8_t* out, size_t capacity, uint16_t networkId, uint16_t downloadDataId, uint8_t version,
                    uint8_t section, uint8_t lastSection, const SiLogo& logo);

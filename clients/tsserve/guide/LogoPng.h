// A broadcast logo as a PNG that any viewer decodes: ARIB's logos are PNGs
// of palette indexes sent without their palette, which the receiver takes
// from ARIB STD-B24's common fixed colour table (128 colours, some of them
// half or fully transparent).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The PNG with the common table's palette and transparency (PLTE, tRNS)
// after its header. A PNG that has its own palette, or is not indexed, is
// returned as it is; empty when it is no PNG (a wrong signature, a chunk
// that runs past the end, no IHDR first).
std::string LogoWithPalette(const std::vector<uint8_t>& png);

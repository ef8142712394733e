#include "LogoPng.h"

#include <cstring>

namespace {

// ARIB STD-B24's common fixed colour table: R, G, B, alpha.
const uint8_t kCommonColours[128][4] = {
    {0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 255}, {255, 255, 0, 255},
    {0, 0, 255, 255}, {255, 0, 255, 255}, {0, 255, 255, 255}, {255, 255, 255, 255},
    {0, 0, 0, 0}, {170, 0, 0, 255}, {0, 170, 0, 255}, {170, 170, 0, 255},
    {0, 0, 170, 255}, {170, 0, 170, 255}, {0, 170, 170, 255}, {170, 170, 170, 255},
    {0, 0, 85, 255}, {0, 85, 0, 255}, {0, 85, 85, 255}, {0, 85, 170, 255},
    {0, 85, 255, 255}, {0, 170, 85, 255}, {0, 170, 255, 255}, {0, 255, 85, 255},
    {0, 255, 170, 255}, {85, 0, 0, 255}, {85, 0, 85, 255}, {85, 0, 170, 255},
    {85, 0, 255, 255}, {85, 85, 0, 255}, {85, 85, 85, 255}, {85, 85, 170, 255},
    {85, 85, 255, 255}, {85, 170, 0, 255}, {85, 170, 85, 255}, {85, 170, 170, 255},
    {85, 170, 255, 255}, {85, 255, 0, 255}, {85, 255, 85, 255}, {85, 255, 170, 255},
    {85, 255, 255, 255}, {170, 0, 85, 255}, {170, 0, 255, 255}, {170, 85, 0, 255},
    {170, 85, 85, 255}, {170, 85, 170, 255}, {170, 85, 255, 255}, {170, 170, 85, 255},
    {170, 170, 255, 255}, {170, 255, 0, 255}, {170, 255, 85, 255}, {170, 255, 170, 255},
    {170, 255, 255, 255}, {255, 0, 85, 255}, {255, 0, 255, 255}, {255, 85, 0, 255},
    {255, 85, 85, 255}, {255, 85, 170, 255}, {255, 85, 255, 255}, {255, 170, 0, 255},
    {255, 170, 85, 255}, {255, 170, 170, 255}, {255, 170, 255, 255}, {255, 255, 85, 255},
    {255, 255, 255, 255}, {0, 0, 0, 128}, {255, 0, 0, 128}, {0, 255, 0, 128},
    {255, 255, 0, 128}, {0, 0, 255, 128}, {255, 0, 255, 128}, {0, 255, 255, 128},
    {255, 255, 255, 128}, {170, 0, 0, 128}, {0, 170, 0, 128}, {170, 170, 0, 128},
    {0, 0, 170, 128}, {170, 0, 170, 128}, {0, 170, 170, 128}, {170, 170, 170, 128},
    {0, 0, 85, 128}, {0, 85, 0, 128}, {0, 85, 85, 128}, {0, 85, 170, 128},
    {0, 85, 255, 128}, {0, 170, 85, 128}, {0, 170, 255, 128}, {0, 255, 85, 128},
    {0, 255, 170, 128}, {85, 0, 0, 128}, {85, 0, 85, 128}, {85, 0, 170, 128},
    {85, 0, 255, 128}, {85, 85, 0, 128}, {85, 85, 85, 128}, {85, 85, 170, 128},
    {85, 85, 255, 128}, {85, 170, 0, 128}, {85, 170, 85, 128}, {85, 170, 170, 128},
    {85, 170, 255, 128}, {85, 255, 0, 128}, {85, 255, 85, 128}, {85, 255, 170, 128},
    {85, 255, 255, 128}, {170, 0, 85, 128}, {170, 0, 255, 128}, {170, 85, 0, 128},
    {170, 85, 85, 128}, {170, 85, 170, 128}, {170, 85, 255, 128}, {170, 170, 85, 128},
    {170, 170, 255, 128}, {170, 255, 0, 128}, {170, 255, 85, 128}, {170, 255, 170, 128},
    {170, 255, 255, 128}, {255, 0, 85, 128}, {255, 0, 255, 128}, {255, 85, 0, 128},
    {255, 85, 85, 128}, {255, 85, 170, 128}, {255, 85, 255, 128}, {255, 170, 0, 128},
    {255, 170, 85, 128}, {255, 170, 170, 128}, {255, 170, 255, 128}, {255, 255, 85, 128},
};

uint32_t PngCrc(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

uint32_t Big32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void AppendChunk(std::string& out, const char* type, const std::string& data)
{
    std::string chunk(type, 4);
    chunk += data;
    const uint32_t length = static_cast<uint32_t>(data.size());
    const uint32_t crc = PngCrc(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(length >> s);
    out += chunk;
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>(crc >> s);
}

}  // namespace

std::string LogoWithPalette(const std::vector<uint8_t>& png)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr size_t kHeaderEnd = 8 + 8 + 13 + 4;  // the signature and IHDR
    if (png.size() < kHeaderEnd || std::memcmp(png.data(), kSignature, 8) != 0 || Big32(&png[8]) != 13 ||
        std::memcmp(&png[12], "IHDR", 4) != 0)
        return "";
    bool palette = false;
    for (size_t at = 8; at < png.size();) {
        if (png.size() - at < 12) return "";
        const uint32_t length = Big32(&png[at]);
        if (length > png.size() - at - 12) return "";
        palette = palette || std::memcmp(&png[at + 4], "PLTE", 4) == 0;
        at += 12 + length;
    }
    const std::string whole(png.begin(), png.end());
    const uint8_t colourType = png[8 + 8 + 9];
    if (palette || colourType != 3) return whole;
    std::string plte, trns;
    for (const auto& c : kCommonColours) {
        plte.append(reinterpret_cast<const char*>(c), 3);
        trns += static_cast<char>(c[3]);
    }
    std::string out = whole.substr(0, kHeaderEnd);
    AppendChunk(out, "PLTE", plte);
    AppendChunk(out, "tRNS", trns);
    return out + whole.substr(kHeaderEnd);
}

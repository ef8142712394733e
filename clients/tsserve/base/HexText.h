// Bytes as lower-case hex and back: how the saved guide keeps raw broadcast
// bytes (ARIB text parts, logos) in its JSON.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

inline std::string HexText(const std::vector<uint8_t>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Throws std::invalid_argument for what is not such hex.
inline std::vector<uint8_t> BytesOfHex(const std::string& text)
{
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw std::invalid_argument("not hex");
    };
    if (text.size() % 2) throw std::invalid_argument("hex of odd length");
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

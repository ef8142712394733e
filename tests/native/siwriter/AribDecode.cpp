#include "AribDecode.h"

#include "AribText.h"

extern "C" {
#include <aribb24/aribb24.h>
#include <aribb24/decoder.h>
}

std::string AribDecode(const uint8_t* bytes, size_t length)
{
    arib_instance_t* instance = arib_instance_new(nullptr);
    arib_decoder_t* decoder = arib_get_decoder(instance);
    arib_initialize_decoder(decoder);
    std::string out(length * 4 + 16, '\0');
    out.resize(arib_decode_buffer(decoder, bytes, length, out.data(), out.size()));
    arib_finalize_decoder(decoder);
    arib_instance_destroy(instance);
    return out;
}

std::string AribDecode(const std::vector<uint8_t>& bytes)
{
    return AribDecode(bytes.data(), bytes.size());
}

std::string Widened(const std::string& utf8)
{
    std::string out;
    for (unsigned char c : utf8) {
        if (c == ' ') {
            out += "\xE3\x80\x80";  // U+3000
        } else if (c >= 0x21 && c <= 0x7E) {
            const unsigned wide = 0xFF01 + (c - 0x21);
            out += static_cast<char>(0xE0 | (wide >> 12));
            out += static_cast<char>(0x80 | ((wide >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (wide & 0x3F));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string RoundTrip(const char* utf8)
{
    uint8_t bytes[512];
    return AribDecode(bytes, AribEncode(utf8, bytes, sizeof bytes));
}

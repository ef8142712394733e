#include "AribText.h"

#include <memory>
#include <vector>

extern "C" {
#include <aribb24/aribb24.h>
#include <aribb24/decoder.h>
}

namespace tstables {
namespace {

struct InstanceDeleter {
    void operator()(arib_instance_t* p) const { arib_instance_destroy(p); }
};

// libaribb24 keeps a control sequence's (CSI, 0x9B) parameter bytes in a
// 256-entry array on the stack without a bound, and adds them up as decimal
// digits in an int: a long run overflows both. Real sequences (caption
// layout) have a few digits and SI text has none, so text is cut before a
// CSI followed by more parameter bytes than fit safely in an int twice over.
// Any 0x9B is taken for one, even where it might be another control's
// parameter: that only cuts more.
constexpr size_t kMaxCsiParameterBytes = 8;

size_t SafeLength(std::span<const uint8_t> text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != 0x9B) continue;
        size_t parameters = 0;
        for (size_t k = i + 1; k < text.size() && (text[k] == 0x20 || (text[k] >= 0x30 && text[k] <= 0x3F)); ++k)
            if (text[k] != 0x20) ++parameters;
        if (parameters > kMaxCsiParameterBytes) return i;
    }
    return text.size();
}

}  // namespace

std::string DecodeAribText(std::span<const uint8_t> text)
{
    text = text.first(SafeLength(text));
    if (text.empty()) return {};
    // An instance per string: a decoder keeps state (shifts, a half-read
    // kanji) that must not leak from one string into the next, and instances
    // are cheap beside the strings of a table.
    std::unique_ptr<arib_instance_t, InstanceDeleter> instance(arib_instance_new(nullptr));
    if (!instance) return {};
    arib_decoder_t* decoder = arib_get_decoder(instance.get());
    if (!decoder) return {};
    arib_initialize_decoder(decoder);
    // One byte yields at most one character of at most 4 UTF-8 bytes; the
    // decoder writes a terminating zero after what it returns, so it is told
    // of one byte less than there is.
    std::vector<char> out(text.size() * 4 + 1);
    const size_t n = arib_decode_buffer(decoder, text.data(), text.size(), out.data(), out.size() - 1);
    arib_finalize_decoder(decoder);
    return FoldWidth(std::string_view(out.data(), n < out.size() ? n : 0));
}

std::string FoldWidth(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
        if (i + 2 < s.size() && b(i) == 0xEF && (b(i + 1) == 0xBC || b(i + 1) == 0xBD) && (b(i + 2) & 0xC0) == 0x80) {
            // U+FF10..U+FF19 digits, U+FF21..U+FF3A and U+FF41..U+FF5A letters.
            const unsigned cp = 0xFF00 + ((b(i + 1) & 0x03) << 6) + (b(i + 2) & 0x3F);
            char c = 0;
            if (cp >= 0xFF10 && cp <= 0xFF19) c = static_cast<char>('0' + cp - 0xFF10);
            if (cp >= 0xFF21 && cp <= 0xFF3A) c = static_cast<char>('A' + cp - 0xFF21);
            if (cp >= 0xFF41 && cp <= 0xFF5A) c = static_cast<char>('a' + cp - 0xFF41);
            if (c) {
                out += c;
                i += 2;
                continue;
            }
        }
        if (i + 2 < s.size() && b(i) == 0xE3 && b(i + 1) == 0x80 && b(i + 2) == 0x80) {
            out += ' ';  // U+3000 ideographic space
            i += 2;
            continue;
        }
        out += s[i];
    }
    return out;
}

}  // namespace tstables

// The service filter on any bytes, cut into pieces where the input says,
// and the XMLTV text cleaner on the same bytes: whole packets out, each with
// its sync byte, not many more than came in (the PAT and SDT it writes), and text
// that is valid UTF-8 of characters XML allows.
#include "ServiceFilter.h"
#include "XmltvWriter.h"

#include <cstdlib>
#include <string>
#include <vector>

using namespace tstables;

namespace {

// An ampersand only as one of the references the cleaner writes.
bool EntityAt(const std::string& s, size_t i)
{
    for (const char* entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&#13;"})
        if (s.compare(i, std::char_traits<char>::length(entity), entity) == 0) return true;
    return false;
}

void CheckText(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (c < 0x20 && c != '\t' && c != '\n') || c == '<' || c == '>' ||
            (c == '&' && !EntityAt(s, i)))
            std::abort();
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) std::abort();
        i += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    CServiceFilter filter(static_cast<uint16_t>(data[0] << 8 | data[1]));
    const size_t piece = 1 + data[2] * 3;
    data += 3;
    size -= 3;
    std::vector<uint8_t> out;
    size_t packets = 0;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        filter.Feed(data + at, n, out);
    }
    for (size_t at = 0; at < size; ++at) packets += data[at] == 0x47;
    if (out.size() % 188 != 0 || out.size() / 188 > 3 * packets + 25) std::abort();
    for (size_t at = 0; at < out.size(); at += 188)
        if (out[at] != 0x47) std::abort();
    CheckText(XmlText(std::string_view(reinterpret_cast<const char*>(data), size)));
    return 0;
}

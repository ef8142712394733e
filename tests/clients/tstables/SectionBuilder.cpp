#include "SectionBuilder.h"

#include "Crc32.h"

#include <algorithm>
#include <stdexcept>

CSectionBuilder CSectionBuilder::Long(uint8_t tableId, uint16_t extension, uint8_t version, uint8_t number, uint8_t last)
{
    CSectionBuilder b;
    b.bytes_ = {tableId, 0xB0, 0x00, static_cast<uint8_t>(extension >> 8), static_cast<uint8_t>(extension),
                static_cast<uint8_t>(0xC1 | (version & 0x1F) << 1), number, last};
    return b;
}

CSectionBuilder CSectionBuilder::Short(uint8_t tableId, bool crc)
{
    CSectionBuilder b;
    b.bytes_ = {tableId, 0x70, 0x00};
    b.crc_ = crc;
    return b;
}

CSectionBuilder& CSectionBuilder::U8(uint8_t v)
{
    bytes_.push_back(v);
    return *this;
}

CSectionBuilder& CSectionBuilder::U16(uint16_t v)
{
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    bytes_.push_back(static_cast<uint8_t>(v));
    return *this;
}

CSectionBuilder& CSectionBuilder::Add(const Bytes& b)
{
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}

CSectionBuilder& CSectionBuilder::Loop(const Bytes& body)
{
    U16(static_cast<uint16_t>(0xF000 | body.size()));
    return Add(body);
}

Bytes CSectionBuilder::Build() const
{
    Bytes s = bytes_;
    const size_t length = s.size() - 3 + (crc_ ? 4 : 0);
    s[1] = static_cast<uint8_t>((s[1] & 0xF0) | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    if (crc_) {
        const uint32_t crc = tstables::Crc32Mpeg(s.data(), s.size());
        for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(crc >> shift));
    }
    return s;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Desc(uint8_t tag, const Bytes& body)
{
    return Cat({{tag, static_cast<uint8_t>(body.size())}, body});
}

tstables::CSection Parsed(const Bytes& b)
{
    auto section = tstables::CSection::FromBytes(b);
    if (!section) throw std::invalid_argument("not a section");
    return *section;
}

Bytes EventEntry(uint16_t id, const Bytes& start, const Bytes& duration, const Bytes& descriptors)
{
    return Cat({{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}, start, duration,
                {static_cast<uint8_t>(0x80 | descriptors.size() >> 8), static_cast<uint8_t>(descriptors.size())}, descriptors});
}

Bytes Counted(const Bytes& text)
{
    return Cat({{static_cast<uint8_t>(text.size())}, text});
}

namespace {

uint8_t Bcd(int v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); }

}  // namespace

Bytes JstTime(int year, int month, int day, int hour, int minute, int second)
{
    // ETSI EN 300 468 annex C: MJD from a calendar date.
    const int l = (month == 1 || month == 2) ? 1 : 0;
    const int y = year - 1900;
    const int mjd = 14956 + day + static_cast<int>((y - l) * 365.25) + static_cast<int>((month + 1 + l * 12) * 30.6001);
    return {static_cast<uint8_t>(mjd >> 8), static_cast<uint8_t>(mjd), Bcd(hour), Bcd(minute), Bcd(second)};
}

Bytes BcdDuration(int hours, int minutes, int seconds)
{
    return {Bcd(hours), Bcd(minutes), Bcd(seconds)};
}

Bytes Packetize(uint16_t pid, const std::vector<Bytes>& sections, uint8_t& cc)
{
    Bytes stream;
    std::vector<size_t> starts;
    for (const Bytes& s : sections) {
        starts.push_back(stream.size());
        stream.insert(stream.end(), s.begin(), s.end());
    }
    Bytes out;
    size_t pos = 0, next = 0;
    while (pos < stream.size()) {
        Bytes packet = {0x47, static_cast<uint8_t>(pid >> 8 & 0x1F), static_cast<uint8_t>(pid), static_cast<uint8_t>(0x10 | cc)};
        cc = (cc + 1) & 0x0F;
        while (next < starts.size() && starts[next] < pos) ++next;
        size_t room = 184;
        if (next < starts.size() && starts[next] < pos + 183) {
            packet[1] |= 0x40;
            packet.push_back(static_cast<uint8_t>(starts[next] - pos));
            room = 183;
        }
        const size_t n = std::min(room, stream.size() - pos);
        packet.insert(packet.end(), stream.begin() + pos, stream.begin() + pos + n);
        pos += n;
        packet.resize(188, 0xFF);
        out.insert(out.end(), packet.begin(), packet.end());
    }
    return out;
}

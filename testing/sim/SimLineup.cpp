#include "SimLineup.h"

#include "AribText.h"
#include "Text.h"

namespace {

struct BandInfo {
    SimBand band;
    const wchar_t* space;
    uint32_t firstNumber, channels;
    const char* label;  // before the channel's number in names
    uint32_t ordinalBase;  // terrestrial channels counted across bands
};
constexpr BandInfo kBands[] = {
    {SimBand::Uhf, L"UHF", 13, 50, "", 0},
    {SimBand::Catv, L"CATV", 13, 51, "Ｃ", 50},
    {SimBand::Vhf, L"VHF", 1, 12, "Ｖ", 101},
    {SimBand::Bs, L"BS", 1, 23, "ＢＳ", 0},
    {SimBand::Cs, L"CS110", 2, 23, "ＮＤ", 0},
};

// The TSIDs that TunerHost's satellite table tunes the first BS and CS
// channels by; the channels after them get ids of the same form.
constexpr uint16_t kBsTsids[] = {0x4010, 0x4011, 0x4030, 0x4031, 0x4090, 0x4091,
                                 0x4092, 0x40D0, 0x40D1, 0x40F1, 0x40F2};
constexpr uint16_t kCsTsids[] = {0x6020, 0x7040, 0x7060, 0x6080, 0x60A0, 0x70C0,
                                 0x70E0, 0x7100, 0x7120, 0x7140, 0x7160, 0x7180};

const BandInfo* InfoOf(SimBand band)
{
    for (const BandInfo& b : kBands)
        if (b.band == band) return &b;
    return nullptr;
}

bool SameName(const wchar_t* a, const wchar_t* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

void Name(char* to, const char* a, const char* b = "", uint32_t number = 0, int digits = 0, const char* c = "")
{
    to[0] = 0;
    AppendText(to, kSimNameBytes, a);
    AppendText(to, kSimNameBytes, b);
    if (digits) SimAppendWideNumber(to, kSimNameBytes, number, digits);
    AppendText(to, kSimNameBytes, c);
}

// A service's PIDs by its place k in the stream: PMT 0x01F0+k (a one-
// segment service's 0x1FC8, where receivers look for it), video 0x0100+0x20k
// (the first service's video is where the stream's numbered packets go),
// audio or data 0x0110+0x20k, PCR 0x01FF-k.
SimService& AddService(SimTransport& t, uint16_t id, uint16_t number, uint8_t type, SimTheme theme)
{
    const uint32_t k = t.serviceCount++;
    SimService& s = t.services[k];
    s = {};
    s.id = id;
    s.number = number;
    s.type = type;
    s.theme = theme;
    s.pmtPid = static_cast<uint16_t>(0x01F0 + k);
    s.pcrPid = static_cast<uint16_t>(0x01FF - k);
    const uint16_t video = static_cast<uint16_t>(0x0100 + 0x20 * k);
    const uint16_t other = static_cast<uint16_t>(video + 0x10);
    if (type == 0x01) {
        s.streams[s.streamCount++] = {0x02, video, static_cast<uint8_t>(k)};  // MPEG-2 video
        s.streams[s.streamCount++] = {0x0F, other, static_cast<uint8_t>(0x10 + k)};  // AAC
    } else if (type == 0x02) {
        s.streams[s.streamCount++] = {0x0F, other, static_cast<uint8_t>(0x10 + k)};
    } else {
        s.streams[s.streamCount++] = {0x0D, other, static_cast<uint8_t>(0x40 + k)};  // data carousel
    }
    return s;
}

// A one-segment service: H.264 and AAC under the tags receivers expect.
void MakeOneSegment(SimService& s)
{
    const uint16_t video = static_cast<uint16_t>(s.streams[0].pid - 0x10);  // made as a data service's
    s.partialReception = true;
    s.pmtPid = 0x1FC8;
    s.streams[0] = {0x1B, video, 0x81};
    s.streams[1] = {0x0F, static_cast<uint16_t>(video + 0x10), 0x83};
    s.streamCount = 2;
}

// A terrestrial station: network and stream id alike, services numbered by
// its remote-control key (key 3: 031, 032; its one-segment service 631).
// Every other channel has a sub-channel.
void Terrestrial(const BandInfo& b, uint32_t index, SimTransport& t)
{
    const uint32_t ordinal = b.ordinalBase + index;
    t.tsid = t.networkId = static_cast<uint16_t>(0x7880 + ordinal * 8);
    t.remoteKey = static_cast<uint8_t>(1 + ordinal % 12);
    Name(t.networkName, "試験放送", b.label, b.firstNumber + index, 1);
    Name(t.tsName, t.networkName);
    Name(t.provider, t.networkName);
    // Service ids: the station in bits 9-15, the kind in bits 7-8 (3: one
    // segment), the service's number in bits 0-2.
    const uint16_t base = static_cast<uint16_t>((ordinal + 1) << 9);
    const uint16_t key = static_cast<uint16_t>(t.remoteKey * 10);
    const SimTheme theme = static_cast<SimTheme>(ordinal % kThemes);
    Name(AddService(t, base, key + 1, 0x01, theme).name, t.networkName);
    if (index % 2 == 0) {
        SimService& sub = AddService(t, base | 1, key + 2, 0x01, static_cast<SimTheme>((ordinal + 1) % kThemes));
        Name(sub.name, t.networkName, "サブ");
        sub.standardDefinition = true;
    }
    SimService& one = AddService(t, base | 0x180, 600 + key + 1, 0xC0, theme);
    Name(one.name, t.networkName, "ワンセグ");
    MakeOneSegment(one);
}

// A BS stream: two television services, and a data or a radio service on
// two streams in three. Numbers are the service ids: television 101-322,
// radio 403-421, data 801-822.
void Bs(uint32_t i, SimTransport& t)
{
    t.tsid = i < 11 ? kBsTsids[i] : static_cast<uint16_t>(0x4000 | ((17 + 2 * ((i - 11) / 3)) << 4) | ((i - 11) % 3));
    t.networkId = 4;
    Name(t.networkName, "ＢＳ試験網");
    Name(t.provider, "ＢＳ試験局");
    for (uint32_t k = 0; k < 2; ++k) {
        const uint16_t id = static_cast<uint16_t>(101 + 10 * i + k);
        Name(AddService(t, id, id, 0x01, static_cast<SimTheme>((i + k) % kThemes)).name, "ＢＳ試験", "", id, 3);
    }
    if (i % 3 == 0) {
        const uint16_t id = static_cast<uint16_t>(801 + i);
        Name(AddService(t, id, id, 0xC0, kNews).name, "ＢＳデータ", "", id, 3);
    } else if (i % 3 == 2) {
        const uint16_t id = static_cast<uint16_t>(401 + i);
        Name(AddService(t, id, id, 0x02, kMusic).name, "ＢＳラジオ", "", id, 3);
    }
}

// A CS stream: three television services on even channels, two on odd
// ones, numbered 501-723; the second and third in H.264. Networks 6 and 7
// as the TSID's first digit says.
void Cs(uint32_t i, SimTransport& t)
{
    t.tsid = i < 12 ? kCsTsids[i] : static_cast<uint16_t>(0x7800 | (i << 4));
    t.networkId = static_cast<uint16_t>(t.tsid >> 12);
    Name(t.networkName, "ＣＳ試験網", "", t.networkId == 6 ? 1 : 2, 1);
    Name(t.provider, "ＣＳ試験局");
    for (uint32_t k = 0; k < (i % 2 == 0 ? 3u : 2u); ++k) {
        const uint16_t id = static_cast<uint16_t>(501 + 10 * i + k);
        SimService& s = AddService(t, id, id, 0x01, static_cast<SimTheme>((i + 2 * k) % kThemes));
        Name(s.name, "ＣＳ試験", "", id, 3);
        if (k > 0) s.streams[0].streamType = 0x1B;
    }
}

}  // namespace

SimBand SimBandOf(const wchar_t* spaceName)
{
    for (const BandInfo& b : kBands)
        if (spaceName && SameName(spaceName, b.space)) return b.band;
    return SimBand::None;
}

uint32_t SimBandChannels(SimBand band)
{
    const BandInfo* b = InfoOf(band);
    return b ? b->channels : 0;
}

bool SimDescribeTransport(SimBand band, uint32_t index, SimTransport& t)
{
    const BandInfo* b = InfoOf(band);
    if (!b || index >= b->channels) return false;
    t = {};
    t.band = band;
    t.index = index;
    if (band == SimBand::Bs) Bs(index, t);
    else if (band == SimBand::Cs) Cs(index, t);
    else Terrestrial(*b, index, t);
    if (band == SimBand::Bs || band == SimBand::Cs) {
        t.remoteKey = static_cast<uint8_t>(1 + index % 12);
        Name(t.tsName, b->label, "", b->firstNumber + index, 2);
    }
    return true;
}

SiText SimEncode(const char* utf8, uint8_t* out, size_t capacity)
{
    return {out, static_cast<uint8_t>(AribEncode(utf8, out, capacity < 255 ? capacity : 255))};
}

void SimAppendWideNumber(char* to, size_t capacity, uint32_t value, int minDigits)
{
    char digits[12] = {};
    AppendDecimal(digits, sizeof digits, value, minDigits);
    for (const char* d = digits; *d; ++d) {
        // U+FF10 + digit: EF BC 90+digit in UTF-8.
        const char wide[4] = {'\xEF', '\xBC', static_cast<char>(0x90 + (*d - '0')), 0};
        AppendText(to, capacity, wide);
    }
}

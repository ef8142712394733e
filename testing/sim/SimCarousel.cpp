#include "SimCarousel.h"

#include "SimGuide.h"

namespace {

constexpr uint8_t kVersion = 1;  // of the tables that do not change
constexpr uint32_t kSegmentsPerTable = 32;  // three-hour segments: four days
constexpr uint32_t kScheduleTables = 4;     // basic days 0-3 and 4-7, extended the same

}  // namespace

void CSimCarousel::Due::Next(uint32_t ms)
{
    atMs += periodMs;
    if (Now(ms)) atMs = ms + periodMs;  // far behind (a slow rate): no burst to catch up
}

CSimCarousel::CSimCarousel()
    : patOut_(patQueue_, sizeof patQueue_),
      pmtOut_{{pmtQueue_[0], sizeof pmtQueue_[0]}, {pmtQueue_[1], sizeof pmtQueue_[1]},
              {pmtQueue_[2], sizeof pmtQueue_[2]}},
      sdtOut_(sdtQueue_, sizeof sdtQueue_),
      nitOut_(nitQueue_, sizeof nitQueue_),
      totOut_(totQueue_, sizeof totQueue_),
      eitOut_(eitQueue_, sizeof eitQueue_),
      cdtOut_(cdtQueue_, sizeof cdtQueue_)
{
    patOut_.SetPid(0x0000);
    sdtOut_.SetPid(kSiSdtPid);
    nitOut_.SetPid(kSiNitPid);
    totOut_.SetPid(kSiTotPid);
    eitOut_.SetPid(kSiEitPid);
    cdtOut_.SetPid(kSiCdtPid);
}

uint8_t CSimCarousel::LogoIndex(uint32_t place, uint32_t x, uint32_t y)
{
    if (x == 0 || y == 0 || x + 1 == kLogoWidth || y + 1 == kLogoHeight) return 8;
    return static_cast<uint8_t>(1 + (x / 8 + 3 * (y / 12) + place) % 15);
}

void CSimCarousel::Tune(const SimTransport& t, const CSimClock& clock)
{
    transport_ = t;
    tuned_ = t.serviceCount > 0;
    CSectionPacketizer* const all[] = {&patOut_, &sdtOut_, &nitOut_, &totOut_, &eitOut_, &cdtOut_};
    for (CSectionPacketizer* p : all) p->Clear();
    for (uint32_t k = 0; k < kSimMaxServices; ++k) {
        pmtOut_[k].Clear();
        pmtOut_[k].SetPid(k < t.serviceCount ? t.services[k].pmtPid : 0x1FFF);
    }
    if (!tuned_) return;
    BuildLogos();  // before the SDT, which names them
    BuildFixedTables();
    BuildNit();
    const uint32_t ms = clock.Ms();
    pmtDue_ = {ms, 100};
    pcrDue_ = {ms, 100};
    pcrNext_ = 0;
    due_[kPat] = {ms, 100};
    due_[kSdt] = {ms + 200, 1000};
    due_[kNit] = {ms + 400, 1000};
    due_[kTot] = {ms + 600, 5000};
    due_[kCdt] = {ms + 1500, kCdtPeriodMs};  // after the first SDT, which receivers read first
    due_[kPresent] = {ms + 300, 1000};
    due_[kSchedule] = {ms + 500, kScheduleCycleMs / (kScheduleTables * kSegmentsPerTable * t.serviceCount)};
    scheduleNext_ = 0;
}

// Terrestrial broadcasters send their logos in the CDT; satellite ones in
// a data carousel, which this stream does not carry.
void CSimCarousel::BuildLogos()
{
    const SimTransport& t = transport_;
    const bool terrestrial = t.band == SimBand::Uhf || t.band == SimBand::Catv || t.band == SimBand::Vhf;
    uint32_t logos = 0;
    for (size_t& size : cdtSize_) size = 0;
    for (uint32_t k = 0; terrestrial && k < t.serviceCount; ++k)
        if (t.services[k].type == 0x01) ++logos;
    uint32_t section = 0;
    for (uint32_t k = 0; logos && k < t.serviceCount; ++k) {
        if (t.services[k].type != 0x01) continue;
        for (uint32_t y = 0; y < kLogoHeight; ++y)
            for (uint32_t x = 0; x < kLogoWidth; ++x) logoPixels_[y * kLogoWidth + x] = LogoIndex(k, x, y);
        const size_t png = WriteLogoPng(logoPng_, sizeof logoPng_, kLogoWidth, kLogoHeight, logoPixels_);
        const SiLogo logo{5, static_cast<uint16_t>(k + 1), 1, logoPng_, static_cast<uint16_t>(png)};
        cdtSize_[k] = png ? WriteCdtLogo(cdt_[k], sizeof cdt_[k], t.networkId, 1, kVersion,
                                         static_cast<uint8_t>(section), static_cast<uint8_t>(logos - 1), logo)
                          : 0;
        ++section;
    }
}

void CSimCarousel::BuildFixedTables()
{
    const SimTransport& t = transport_;
    SiProgram programs[kSimMaxServices + 1] = {{0, kSiNitPid}};
    uint8_t names[kSimMaxServices][64], provider[64];
    SiSdtService services[kSimMaxServices];
    const SiText providerText = SimEncode(t.provider, provider, sizeof provider);
    for (uint32_t k = 0; k < t.serviceCount; ++k) {
        const SimService& s = t.services[k];
        programs[k + 1] = {s.id, s.pmtPid};
        services[k] = {s.id, s.type, providerText, SimEncode(s.name, names[k], sizeof names[k])};
        if (cdtSize_[k]) {
            services[k].hasLogo = true;
            services[k].logoId = static_cast<uint16_t>(k + 1);
            services[k].logoVersion = 1;
            services[k].logoDownloadId = 1;
        }
        pmtSize_[k] = WritePmt(pmt_[k], sizeof pmt_[k], s.id, kVersion, s.pcrPid, s.streams, s.streamCount);
    }
    patSize_ = WritePat(pat_, sizeof pat_, t.tsid, kVersion, programs, t.serviceCount + 1);
    sdtSize_ = WriteSdt(sdt_, sizeof sdt_, t.tsid, t.networkId, kVersion, services, t.serviceCount);
}

// The NIT actual lists every transport stream of the network: a terrestrial
// station only its own, a satellite network all of its band's with the
// same network id.
void CSimCarousel::BuildNit()
{
    constexpr uint32_t kMax = 24;
    SiNitTransport entries[kMax];
    SiNitService services[kMax][kSimMaxServices];
    uint8_t names[kMax][24], network[64];
    uint32_t n = 0;
    const bool satellite = transport_.band == SimBand::Bs || transport_.band == SimBand::Cs;
    const uint32_t channels = satellite ? SimBandChannels(transport_.band) : 1;
    for (uint32_t i = 0; i < channels && n < kMax; ++i) {
        SimTransport other;
        if (satellite && !SimDescribeTransport(transport_.band, i, other)) continue;
        const SimTransport& t = satellite ? other : transport_;
        if (t.networkId != transport_.networkId) continue;
        for (uint32_t k = 0; k < t.serviceCount; ++k)
            services[n][k] = {t.services[k].id, t.services[k].type, t.services[k].partialReception};
        entries[n] = {t.tsid, t.networkId, services[n], t.serviceCount, t.remoteKey,
                      SimEncode(t.tsName, names[n], sizeof names[n])};
        ++n;
    }
    nitSize_ = WriteNit(nit_, sizeof nit_, transport_.networkId, kVersion,
                        SimEncode(transport_.networkName, network, sizeof network), entries, n);
}

void CSimCarousel::QueueDue(uint32_t ms, uint32_t unix)
{
    if (pmtDue_.Now(ms)) {
        for (uint32_t k = 0; k < transport_.serviceCount; ++k)
            if (!pmtOut_[k].Pending()) pmtOut_[k].Push(pmt_[k], pmtSize_[k]);
        pmtDue_.Next(ms);
    }
    if (pcrDue_.Now(ms)) {
        pcrNext_ = transport_.serviceCount;
        pcrDue_.Next(ms);
    }
    struct Fixed {
        Item item;
        CSectionPacketizer& out;
        const uint8_t* table;
        size_t size;
    };
    const Fixed fixed[] = {{kPat, patOut_, pat_, patSize_}, {kSdt, sdtOut_, sdt_, sdtSize_}, {kNit, nitOut_, nit_, nitSize_}};
    for (const Fixed& f : fixed)
        if (due_[f.item].Now(ms) && !f.out.Pending()) {
            for (size_t at = 0; at < f.size;) {  // a NIT may be several sections
                const size_t size = 3 + (((f.table[at + 1] & 0x0F) << 8) | f.table[at + 2]);
                f.out.Push(f.table + at, size);
                at += size;
            }
            due_[f.item].Next(ms);
        }
    if (due_[kCdt].Now(ms) && !cdtOut_.Pending()) {
        for (uint32_t k = 0; k < transport_.serviceCount; ++k)
            if (cdtSize_[k]) cdtOut_.Push(cdt_[k], cdtSize_[k]);
        due_[kCdt].Next(ms);
    }
    if (due_[kTot].Now(ms)) {
        const size_t size = WriteTot(section_, sizeof section_, unix);
        if (totOut_.Push(section_, size)) due_[kTot].Next(ms);
    }
    // A section that finds no room waits for the next slot.
    if (due_[kPresent].Now(ms) && QueuePresentFollowing(unix)) due_[kPresent].Next(ms);
    if (guide_.block == kSimGuideBlock && due_[kSchedule].Now(ms) && QueueScheduleSection(unix)) due_[kSchedule].Next(ms);
}

// Sections 0 and 1 of table 0x4E for every service: the event on now and
// the next one, each with all its descriptors.
bool CSimCarousel::QueuePresentFollowing(uint32_t unix)
{
    if (eitOut_.Pending()) return false;  // the last round has not gone out yet
    for (uint32_t k = 0; k < transport_.serviceCount; ++k) {
        const SimService& s = transport_.services[k];
        // The version changes with what the sections say: another event
        // present, or the present one prolonged.
        bool prolonged = false;
        const uint16_t present = SimPresentFollowing(s, unix, 0, guide_, &prolonged).id;
        const uint8_t version = static_cast<uint8_t>((present * 2 + (prolonged ? 1 : 0)) & 0x1F);
        for (uint8_t section = 0; section < 2; ++section) {
            const SimEventTime time = SimPresentFollowing(s, unix, section, guide_);
            SimEventText event;
            SimDescribeEvent(s, time, section == 0 ? 4 : 1, event);
            const SiEitHeader h{0x4E, s.id, transport_.tsid, transport_.networkId, version, section, 1, 1, 0x4E};
            eitOut_.Push(section_, WriteEit(section_, sizeof section_, h, &event.event, 1, kSiAllParts));
        }
    }
    return true;
}

// The schedule from 0:00 today (Japan's time) for eight days: per service a
// section per three-hour segment, the basic tables (0x50, 0x51) of every
// service first, then the extended ones (0x58, 0x59). The version changes
// with the day, as the days the tables cover move on.
bool CSimCarousel::QueueScheduleSection(uint32_t unix)
{
    const uint32_t perTable = kSegmentsPerTable * transport_.serviceCount;
    const uint32_t index = scheduleNext_ % (kScheduleTables * perTable);
    const uint32_t table = index / perTable;
    const SimService& s = transport_.services[index % perTable / kSegmentsPerTable];
    const uint32_t segment = index % kSegmentsPerTable;
    const bool extended = table >= 2;
    const uint32_t days = table % 2;  // 0: days 0-3, 1: days 4-7
    const uint32_t today = unix - (unix + 9 * 3600) % 86400;
    const uint32_t start = today + (days * kSegmentsPerTable + segment) * kSimGuideBlock;

    SimEventTime times[kSimMaxBlockEvents];
    SimEventText texts[kSimMaxBlockEvents];
    SiEvent events[kSimMaxBlockEvents];
    const uint32_t n = SimBlockEvents(s, start, times);
    for (uint32_t i = 0; i < n; ++i) {
        SimDescribeEvent(s, times[i], 0, texts[i]);
        events[i] = texts[i].event;
    }
    const uint8_t base = extended ? 0x58 : 0x50;
    const uint8_t section = static_cast<uint8_t>(segment * 8);
    const SiEitHeader h{static_cast<uint8_t>(base + days), s.id, transport_.tsid, transport_.networkId,
                        static_cast<uint8_t>((40587 + (unix + 9 * 3600) / 86400) & 0x1F), section,
                        (kSegmentsPerTable - 1) * 8, section, static_cast<uint8_t>(base + 1)};
    const size_t size = WriteEit(section_, sizeof section_, h, events, n, extended ? kSiExtendedParts : kSiBasicParts);
    if (!eitOut_.Push(section_, size)) return false;
    ++scheduleNext_;
    return true;
}

// The sources take turns, so that at a low rate, when more is due than the
// slots hold, each still gets its share.
void CSimCarousel::NextPacket(uint8_t* out, const CSimClock& clock)
{
    if (!tuned_) return WriteNull(out);
    QueueDue(clock.Ms(), clock.Unix());
    CSectionPacketizer* const tables[] = {&patOut_, &pmtOut_[0], &pmtOut_[1], &pmtOut_[2], &sdtOut_,
                                          &nitOut_, &totOut_,    &eitOut_,    &cdtOut_};
    constexpr uint32_t kSources = 1 + sizeof tables / sizeof tables[0];  // the PCRs first
    for (uint32_t i = 0; i < kSources; ++i) {
        const uint32_t source = (turn_ + i) % kSources;
        if (source == 0 && pcrNext_ > 0) {
            --pcrNext_;
            WritePcr(out, transport_.services[pcrNext_].pcrPid, clock);
        } else if (source == 0 || !tables[source - 1]->NextPacket(out)) {
            continue;
        }
        turn_ = source + 1;
        return;
    }
    WriteNull(out);
}

// A packet of adaptation field only, with the PCR; its counter stays, as
// a packet without payload leaves it.
void CSimCarousel::WritePcr(uint8_t* out, uint16_t pid, const CSimClock& clock)
{
    const uint64_t base = clock.PcrBase() & 0x1FFFFFFFFull;
    const uint32_t extension = clock.PcrExtension();
    out[0] = 0x47;
    out[1] = static_cast<uint8_t>(pid >> 8);
    out[2] = static_cast<uint8_t>(pid);
    out[3] = 0x20;
    out[4] = 183;
    out[5] = 0x10;  // PCR flag
    out[6] = static_cast<uint8_t>(base >> 25);
    out[7] = static_cast<uint8_t>(base >> 17);
    out[8] = static_cast<uint8_t>(base >> 9);
    out[9] = static_cast<uint8_t>(base >> 1);
    out[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
    out[11] = static_cast<uint8_t>(extension);
    __builtin_memset(out + 12, 0xFF, 188 - 12);
}

void CSimCarousel::WriteNull(uint8_t* out)
{
    out[0] = 0x47;
    out[1] = 0x1F;
    out[2] = 0xFF;
    out[3] = 0x10;
    __builtin_memset(out + 4, 0xFF, 188 - 4);
}

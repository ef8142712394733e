// The tables of the simulated plug-in's stream, each repeated at the rate a
// broadcaster would: PAT and every PMT each 100 ms with a PCR per service,
// SDT and NIT each second, TOT every 5 s, EIT present/following each second
// and the eight-day schedule, section by section, once in about 20 s; on
// terrestrial streams the CDT with the services' logos every 5 s. They
// take the stream's table slots; a slot with nothing due holds a null
// packet.
#pragma once
#include "SectionPacketizer.h"
#include "SiLogo.h"
#include "SimClock.h"
#include "SimGuide.h"
#include "SimLineup.h"

class CSimCarousel {
public:
    CSimCarousel();
    CSimCarousel(const CSimCarousel&) = delete;
    CSimCarousel& operator=(const CSimCarousel&) = delete;

    // The tables of another transport stream, from its start: PAT, PMTs and
    // PCRs at once, the rest within a second.
    void Tune(const SimTransport& t, const CSimClock& clock);
    // The packet of the next table slot.
    void NextPacket(uint8_t* out, const CSimClock& clock);
    // Programmes repeat every `shape.block` seconds (SimGuide.h); with less
    // than kSimGuideBlock, the guide is present/following only, shaped as
    // said. No longer than kSimGuideBlock: a programme's length times the
    // block then stays in 32 bits (the 32-bit plug-in has no 64-bit division).
    void SetGuide(const SimGuideShape& shape)
    {
        guide_ = shape;
        if (!guide_.block || guide_.block >= kSimGuideBlock) guide_ = SimGuideShape{};
        guide_.offset %= guide_.block;
    }

    static constexpr uint32_t kScheduleCycleMs = 20000;
    static constexpr uint32_t kCdtPeriodMs = 5000;
    // Each television service of a terrestrial stream has a logo: type 5,
    // kLogoWidth x kLogoHeight, logo id 1 + its place in the stream, version
    // 1, in the CDT of download data id 1. Its pixels: index 8 (transparent)
    // on the one-pixel border, inside 1 + (x / 8 + 3 * (y / 12) + place) % 15.
    static constexpr uint32_t kLogoWidth = 64, kLogoHeight = 36;
    static uint8_t LogoIndex(uint32_t place, uint32_t x, uint32_t y);
    static constexpr uint32_t kScheduleDays = 8;

private:
    struct Due {
        uint32_t atMs, periodMs;
        bool Now(uint32_t ms) const { return static_cast<int32_t>(ms - atMs) >= 0; }
        void Next(uint32_t ms);
    };
    enum Item { kPat, kSdt, kNit, kTot, kPresent, kSchedule, kCdt, kItems };
    static constexpr size_t kMaxSection = 4096;

    void BuildFixedTables();
    void BuildNit();
    void BuildLogos();
    void QueueDue(uint32_t ms, uint32_t unix);
    bool QueuePresentFollowing(uint32_t unix);
    bool QueueScheduleSection(uint32_t unix);
    void WritePcr(uint8_t* out, uint16_t pid, const CSimClock& clock);
    static void WriteNull(uint8_t* out);

    SimTransport transport_{};
    bool tuned_ = false;
    Due due_[kItems] = {};
    Due pcrDue_ = {};
    Due pmtDue_ = {};
    uint32_t scheduleNext_ = 0;  // the next schedule section, in the cycle's order
    SimGuideShape guide_{};

    // The tables that do not change while tuned, made at Tune.
    uint8_t pat_[256] = {}, sdt_[1024] = {}, nit_[4096] = {};
    uint8_t pmt_[kSimMaxServices][256] = {};
    size_t patSize_ = 0, sdtSize_ = 0, nitSize_ = 0, pmtSize_[kSimMaxServices] = {};
    uint8_t section_[kMaxSection] = {};
    uint8_t cdt_[kSimMaxServices][2600] = {};
    size_t cdtSize_[kSimMaxServices] = {};
    uint8_t logoPixels_[kLogoWidth * kLogoHeight] = {};
    uint8_t logoPng_[2560] = {};

    // One packetizer per table PID and its queue.
    uint8_t patQueue_[512] = {}, pmtQueue_[kSimMaxServices][512] = {}, sdtQueue_[2048] = {};
    uint8_t nitQueue_[8192] = {}, totQueue_[256] = {}, eitQueue_[16384] = {}, cdtQueue_[8192] = {};
    CSectionPacketizer patOut_, pmtOut_[kSimMaxServices], sdtOut_, nitOut_, totOut_, eitOut_, cdtOut_;
    uint32_t pcrNext_ = 0;  // the services whose PCR is due, counted down
    uint32_t turn_ = 0;     // the source that goes first in the next slot
};

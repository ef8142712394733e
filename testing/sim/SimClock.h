// The simulated stream's clocks, advanced one packet at a time at the
// stream's rate: milliseconds for the tables' repetition, the wall clock
// (seconds since 1970, UTC) for TOT and EIT, and the 27 MHz program clock
// for PCRs. In 32-bit steps: the plug-in's 32-bit build has no helpers for
// 64-bit division.
#pragma once
#include <stdint.h>

class CSimClock {
public:
    // 2000 kB/s, the plug-in's default rate.
    static constexpr uint32_t kDefaultPacketsPerSecond = 2000 * 1000 / 188;

    void Set(uint32_t unixSeconds)
    {
        unix_ = unixSeconds;
        ms_ = msInSecond_ = msRest_ = 0;
    }
    void SetRate(uint32_t packetsPerSecond) { rate_ = packetsPerSecond ? packetsPerSecond : kDefaultPacketsPerSecond; }

    void Tick()
    {
        msRest_ += 1000;
        if (msRest_ >= rate_) {
            const uint32_t ms = msRest_ / rate_;
            msRest_ -= ms * rate_;
            ms_ += ms;
            msInSecond_ += ms;
            if (msInSecond_ >= 1000) {
                unix_ += msInSecond_ / 1000;
                msInSecond_ %= 1000;
            }
        }
        pcrRest_ += 27000000;
        const uint32_t ticks = pcrRest_ / rate_;
        pcrRest_ -= ticks * rate_;
        pcrExtension_ += ticks;
        if (pcrExtension_ >= 300) {
            pcrBase_ += pcrExtension_ / 300;
            pcrExtension_ %= 300;
        }
    }

    uint32_t Ms() const { return ms_; }  // since Set; wraps after 49 days, compared by difference
    uint32_t Unix() const { return unix_; }
    uint64_t PcrBase() const { return pcrBase_; }  // 90 kHz
    uint32_t PcrExtension() const { return pcrExtension_; }

private:
    uint32_t rate_ = kDefaultPacketsPerSecond;
    uint32_t unix_ = 1735657200;  // 2025-01-01 0:00 in Japan, until set
    uint32_t ms_ = 0, msInSecond_ = 0, msRest_ = 0;
    uint64_t pcrBase_ = 0;
    uint32_t pcrExtension_ = 0, pcrRest_ = 0;
};

// The guide's events taken from a stream as it goes by: its EIT sections
// (present/following and schedule) into the guide, and how far the stream's
// schedule has come. One per stream read, on that stream's thread: a
// viewer's session, a scan, the idle pass.
#pragma once
#include "GuideStore.h"
#include "ScheduleProgress.h"
#include "SectionDemux.h"

#include <cstdint>
#include <optional>
#include <set>
#include <utility>

class CGuideTap {
public:
    explicit CGuideTap(CGuideStore& guide);
    CGuideTap(const CGuideTap&) = delete;
    CGuideTap& operator=(const CGuideTap&) = delete;

    // Another tune: what was learnt of the last stream is forgotten.
    void Reset();
    void Feed(const uint8_t* data, size_t size);
    // The SDT has come, and the schedule of every television and radio
    // service it says sends one has come whole. The guide notes the first time.
    bool ScheduleComplete() const { return complete_; }
    // The stream's network and stream ids, once its SDT has come.
    std::optional<std::pair<uint16_t, uint16_t>> Stream() const { return stream_; }

private:
    void OnSection(uint16_t pid, const tstables::CSection& section);
    void Check();

    CGuideStore& guide_;
    tstables::CSectionDemux demux_;
    tstables::CScheduleProgress progress_;
    std::optional<std::pair<uint16_t, uint16_t>> stream_;
    std::set<uint16_t> scheduled_;  // the services whose schedule the SDT announces
    bool complete_ = false;
};

// The guide: every event that EIT sections brought, from whatever stream
// tsserve read (viewers' streams, scans, the idle pass), held in memory,
// saved beside tsserve as JSON and loaded at its start, events that are over
// dropped; and, per transport stream, when its schedule was last taken whole
// and last tried, which the idle pass goes by. Safe for several threads.
#pragma once
#include "EventCollector.h"
#include "LogoSet.h"
#include "XmltvWriter.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct CNowNext {
    std::optional<tstables::GuideEvent> now, next;
    // Where the guide ends each (the XMLTV's stop: an event without a length
    // ends where the next starts, or after the assumed length); 0 when it
    // has no start yet.
    int64_t nowStop = 0, nextStop = 0;
};

// What the guide holds, as saved: the events, and per transport stream
// (network id, stream id) when its schedule was last taken whole and tried.
struct CScheduleTimes {
    int64_t taken = 0, tried = 0;
};
struct CGuideData {
    tstables::CEventCollector events;
    std::map<std::pair<uint16_t, uint16_t>, CScheduleTimes> streams;
    int64_t collectedUtc = 0;  // when a section last brought events
    CLogoSet logos;
};

struct CGuideState {
    size_t events = 0;
    int64_t lastAddedUtc = 0;  // when a section last brought events; 0: never
    int64_t lastTakenUtc = 0;  // when a stream's schedule was last taken whole; 0: never
};

// An event as the guide lists it: a copy, with its start and the end it is
// shown with.
struct CListedProgram {
    tstables::GuideEvent event;
    int64_t start = 0, stop = 0;  // UTC seconds
};

class CGuideStore {
public:
    explicit CGuideStore(std::wstring path = L"") : path_(std::move(path)) {}

    // A missing file: true, nothing held. A damaged one: false with a
    // one-line message, nothing held. Events over by `nowUtc` are dropped.
    bool Load(int64_t nowUtc, std::string& error);
    // Drops what is over, then writes the file if anything changed since it
    // was last written or read.
    bool Save(int64_t nowUtc, std::string& error);
    const std::wstring& Path() const { return path_; }

    void Add(const tstables::Eit& eit, int64_t nowUtc);
    // A stream's whole schedule came (or an attempt ended without it).
    void NoteScheduleTaken(uint16_t networkId, uint16_t transportStreamId, int64_t utc);
    void NoteScheduleTried(uint16_t networkId, uint16_t transportStreamId, int64_t utc);
    // 0 when never.
    int64_t ScheduleTaken(uint16_t networkId, uint16_t transportStreamId) const;
    int64_t ScheduleTried(uint16_t networkId, uint16_t transportStreamId) const;

    CNowNext NowNext(const tstables::ServiceKey& service, int64_t nowUtc) const;
    // The service's events as the guide lists them (no two overlapping).
    std::vector<CListedProgram> Listing(const tstables::ServiceKey& service) const;
    // One event with the start and end the guide lists it with (where it is
    // not listed, its own: an open end lasts an hour); none when not held or
    // without a start.
    std::optional<CListedProgram> Program(const tstables::EventKey& key) const;
    // The broadcast's present event of the service (its id), where known.
    std::optional<uint16_t> PresentEvent(const tstables::ServiceKey& service) const;
    // The events that sections have told of since the last call (each once).
    std::vector<tstables::EventKey> TakeTouched();
    size_t EventCount(const tstables::ServiceKey& service) const;
    // Station logos: a CDT's, and the logo id a service's SDT entry names.
    void AddLogo(const tstables::CdtLogo& logo);
    void NoteServiceLogo(const tstables::ServiceKey& service, uint16_t logoId);
    // The service's logo as a PNG that viewers decode (LogoPng.h); empty
    // when none is held.
    std::string Logo(const tstables::ServiceKey& service) const;
    bool HasLogo(const tstables::ServiceKey& service) const;
    CGuideState State() const;
    // The guide of these channels, each with its service's events; with
    // `beforeUtc`, only those that start before it.
    std::string Xmltv(const std::vector<std::pair<tstables::XmltvChannel, tstables::ServiceKey>>& channels,
                      const std::string& generator, std::optional<int64_t> beforeUtc = std::nullopt) const;

private:
    const std::wstring path_;
    mutable std::mutex mutex_;
    CGuideData data_;
    CGuideState state_;
    bool dirty_ = false;
    std::set<tstables::EventKey> touched_;
};

// The system's clock: seconds since 1970, UTC.
int64_t UtcNow();

// The saved form, for the store and its tests. Reading fails, with a
// one-line message, on anything that is not a saved guide.
std::string GuideToJson(const CGuideData& data, int64_t savedUtc);
bool GuideFromJson(const std::string& text, CGuideData& out, std::string& error);

// The simulated plug-in's programme guide. Each service's programmes repeat
// every three hours, in lengths its genre gives, from 0:00, 3:00, ... Japan
// time; an event's id follows from its start, so it is the same on every
// tune and every run. Titles and texts say which service and when.
#pragma once
#include "SiEit.h"
#include "SimLineup.h"

constexpr uint32_t kSimGuideBlock = 3 * 3600;  // also the schedule's segment
constexpr uint32_t kSimMaxBlockEvents = 4;

struct SimEventTime {
    uint16_t id;
    uint32_t start, duration;  // seconds since 1970 (UTC); seconds
};

// The events of the block that starts at `blockStart` (a multiple of
// `block`), in order; their count. A block shorter than kSimGuideBlock (the
// plug-in's GuideBlockSeconds, for tests that want programmes soon) has the
// same programmes, each as much shorter.
uint32_t SimBlockEvents(const SimService& s, uint32_t blockStart, SimEventTime* out, uint32_t block = kSimGuideBlock);
// The event on at `t` (after 0), or the one `after` events later.
SimEventTime SimEventAt(const SimService& s, uint32_t t, uint32_t after, uint32_t block = kSimGuideBlock);

// The present/following guide of a stream whose blocks are short (the
// plug-in's GuideBlockSeconds): blocks start `offset` seconds past a
// multiple of `block` (GuideBlockStart). With GuideLate, the first event of
// each of the late service's blocks starts `lateSeconds` after its planned
// start, as after an overrun: the present/following gives the planned start
// until kSimLateNotice seconds before it, then the later one, and the event
// before goes on until then; the late event still ends when planned.
struct SimGuideShape {
    uint32_t block = kSimGuideBlock;
    uint32_t offset = 0;
    uint16_t lateService = 0;
    uint32_t lateSeconds = 0;
};
constexpr uint32_t kSimLateNotice = 10;
// The event present (section 0) or following (1) at `t`, as said then;
// `prolonged`: whether the present one goes on past its planned end.
SimEventTime SimPresentFollowing(const SimService& s, uint32_t t, uint32_t section, const SimGuideShape& g,
                                 bool* prolonged = nullptr);

// An event ready for the EIT writer, with its texts in ARIB code.
struct SimEventText {
    uint8_t title[96], text[96];
    uint8_t itemNames[2][16], items[2][64];
    SiExtendedItem extended[2];
    SiEvent event;
};
// running: 4 on now, 1 not yet, 0 undefined (as the schedule has it).
void SimDescribeEvent(const SimService& s, const SimEventTime& t, uint8_t running, SimEventText& out);

// The words of the texts, in UTF-8 (for tests to compare with).
void SimEventTitle(const SimService& s, const SimEventTime& t, char* out, size_t capacity);
void SimEventSummary(const SimEventTime& t, char* out, size_t capacity);
void SimEventContents(const SimService& s, const SimEventTime& t, char* out, size_t capacity);
extern const char* const kSimCastLabel;
extern const char* const kSimCast;
extern const char* const kSimContentsLabel;
uint8_t SimThemeGenre(SimTheme theme);

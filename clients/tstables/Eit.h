// Event information table of the actual transport stream (ETSI EN 300 468
// 5.2.4, ARIB STD-B10; on PID 0x0012): present/following (table 0x4E:
// section 0 the present event, section 1 the following) and schedule (tables
// 0x50 to 0x5F). Each event: id, start, duration, title and description
// (short event descriptor), extended items (extended event descriptors),
// genres (content descriptor, see Genre.h), video and audio components, and
// the events it is related to (ARIB's event group descriptor: the same
// programme on other services, or where it goes on or moved to).
//
// Extended text comes in numbered descriptors; an item without a description
// continues the one before it, in the next descriptor and even in another
// section (ARIB sends it in the schedule's extended tables, 0x58 to 0x5F).
// So each event keeps its parts as raw ARIB bytes, and JoinExtendedItems
// puts them together before decoding; CEventCollector does that across
// sections.
#pragma once
#include "AribTime.h"
#include "Components.h"
#include "Section.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tstables {

// One extended event descriptor, undecoded.
struct ExtendedEventPart {
    struct Item {
        std::vector<uint8_t> description;  // empty: continues the item before
        std::vector<uint8_t> text;
    };
    uint8_t number = 0;
    uint8_t last = 0;
    std::string language;
    std::vector<Item> items;
    std::vector<uint8_t> text;  // free text after the items (rare in ARIB)
};

struct ExtendedItem {
    std::string description;  // e.g. "出演者"; empty for the free text
    std::string text;
};

// The parts' items in descriptor-number order, continuations joined, then
// decoded; the parts' free text, joined, last with an empty description.
std::vector<ExtendedItem> JoinExtendedItems(std::vector<const ExtendedEventPart*> parts);

// An event that ARIB's event group descriptor (0xD6) relates to one: the
// same programme on another service (shared), where it goes on after it
// ends (relay), or where it moved (movement). networkId is 0 within the
// event's own network.
struct RelatedEvent {
    enum class Type : uint8_t { Shared = 1, Relay = 2, Movement = 3 };
    Type type = Type::Shared;
    uint16_t networkId = 0;
    uint16_t serviceId = 0;
    uint16_t eventId = 0;
    bool operator==(const RelatedEvent&) const = default;
};

struct EitEvent {
    uint16_t eventId = 0;
    std::optional<int64_t> startUtc;          // UTC seconds; nothing when undefined
    int32_t utcOffset = kJstOffsetSeconds;    // the offset the broadcast gave it in
    std::optional<uint32_t> durationSeconds;  // nothing when undefined (all 0xFF)
    uint8_t runningStatus = 0;
    bool freeCaMode = false;

    bool hasShortEvent = false;
    std::string language;  // the short event's ISO 639-2 code, e.g. "jpn"
    std::string title;
    std::string description;

    bool hasContent = false;
    std::vector<uint8_t> genres;  // level 1 << 4 | level 2, in the broadcast's order
    std::vector<uint8_t> userGenres;  // the user nibbles beside each genre, in the same order
    bool hasRelated = false;
    std::vector<RelatedEvent> related;
    std::vector<VideoComponent> video;
    std::vector<AudioComponent> audio;
    std::vector<ExtendedEventPart> extendedParts;  // this section's, raw
};

struct Eit {
    uint8_t tableId = 0;
    uint16_t serviceId = 0;
    uint16_t transportStreamId = 0;
    uint16_t originalNetworkId = 0;
    uint8_t version = 0;
    uint8_t sectionNumber = 0;
    uint8_t lastSectionNumber = 0;
    uint8_t segmentLastSectionNumber = 0;
    uint8_t lastTableId = 0;
    std::vector<EitEvent> events;

    bool isPresentFollowing() const { return tableId == 0x4E; }
};

// One EIT section of the actual stream (0x4E, 0x50–0x5F); false if it is
// none, or an event loop or descriptor lies.
bool ParseEit(const CSection& section, Eit& out);

}  // namespace tstables

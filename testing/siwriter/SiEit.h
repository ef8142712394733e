// Event information (EIT actual: present/following 0x4E, schedule
// 0x50-0x5F) with ARIB's event descriptors: short event (title and text),
// extended event (items, split over as many descriptors as they need),
// content (genre), component (video) and audio component.
#pragma once
#include "SiTables.h"

constexpr uint32_t kSiUndefinedDuration = 0xFFFFFFFFu;

struct SiExtendedItem {
    SiText description, text;
};

struct SiEvent {
    uint16_t id;
    uint32_t start;     // seconds since 1970, UTC
    uint32_t duration;  // seconds, or kSiUndefinedDuration
    uint8_t running;    // 0 undefined, 1 not running, 4 running
    SiText title, text;
    const SiExtendedItem* items;
    size_t itemCount;
    uint8_t genre;        // content nibbles, level 1 then level 2
    uint8_t videoType;    // component type of stream content 1 (MPEG-2) or 5 (H.264); 0: no video
    uint8_t videoContent;
    uint8_t videoTag;
    uint8_t audioType;  // audio component type (3: stereo); 0: no audio
    uint8_t audioTag, audioStreamType;
};

struct SiEitHeader {
    uint8_t tableId;
    uint16_t serviceId, tsid, networkId;
    uint8_t version, section, lastSection, segmentLastSection, lastTableId;
};

// What of each event a section carries: ARIB's basic schedule (0x50-0x57)
// has no extended event descriptors, its extended schedule (0x58-0x5F) only
// those, and present/following both.
enum SiEventParts : unsigned { kSiBasicParts = 1, kSiExtendedParts = 2, kSiAllParts = 3 };

size_t WriteEit(uint8_t* out, size_t capacity, const SiEitHeader& header, const SiEvent* events, size_t count,
                unsigned parts);

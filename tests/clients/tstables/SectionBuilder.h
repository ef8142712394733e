// Test sections laid out by hand as ISO/IEC 13818-1, ETSI EN 300 468 and
// ARIB STD-B10 draw them, with a real CRC-32, and carried in TS packets.
#pragma once
#include "Section.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class CSectionBuilder {
public:
    // Long form: the header up to last_section_number (current_next set).
    static CSectionBuilder Long(uint8_t tableId, uint16_t extension, uint8_t version = 0, uint8_t number = 0,
                                uint8_t last = 0);
    // Short form (TDT; TOT with `crc`).
    static CSectionBuilder Short(uint8_t tableId, bool crc);

    CSectionBuilder& U8(uint8_t v);
    CSectionBuilder& U16(uint16_t v);
    CSectionBuilder& Add(const Bytes& b);
    // A 12-bit length (4 reserved bits set) and what it counts.
    CSectionBuilder& Loop(const Bytes& body);

    // The section: its length filled in and its CRC appended.
    Bytes Build() const;

private:
    Bytes bytes_;
    bool crc_ = true;
};

Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Desc(uint8_t tag, const Bytes& body);
// A byte for its length, then the bytes (a text field of SI).
Bytes Counted(const Bytes& text);
// The section these bytes make; throws if they make none (the test's own
// bytes are wrong).
tstables::CSection Parsed(const Bytes& b);
// An entry of an EIT's event loop: id, start, duration, running (4), descriptors.
Bytes EventEntry(uint16_t id, const Bytes& start, const Bytes& duration, const Bytes& descriptors);
// JST date and time as MJD and BCD, and a BCD duration.
Bytes JstTime(int year, int month, int day, int hour, int minute, int second);
Bytes BcdDuration(int hours, int minutes, int seconds);

// TS packets of one PID carrying the sections back to back: a packet in
// which a section starts has the start flag and a pointer to it; stuffing
// after the last. `cc` carries the continuity counter on.
Bytes Packetize(uint16_t pid, const std::vector<Bytes>& sections, uint8_t& cc);

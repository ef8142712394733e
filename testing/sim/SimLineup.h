// What the simulated plug-in broadcasts on each channel: the transport
// stream's ids, its network, and its services with their names, numbers and
// PIDs. Everything follows from the band and the channel's index in it, so
// a channel always carries the same services and no two channels share a
// name. Satellite channels carry the TSIDs that TunerHost's BS/CS table
// tunes them by.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "SiTables.h"

enum class SimBand : uint8_t { None, Uhf, Catv, Vhf, Bs, Cs };

// The band of one of the plug-in's spaces, by its name ("UHF", "CATV",
// "VHF", "BS", "CS110"); None for any other.
SimBand SimBandOf(const wchar_t* spaceName);
uint32_t SimBandChannels(SimBand band);

// Genres, each with its word in titles, content nibbles and the lengths of
// its programmes in every three hours.
enum SimTheme : uint8_t { kNews, kSports, kDrama, kMusic, kMovie, kAnime, kThemes };

constexpr uint32_t kSimMaxServices = 3;
constexpr size_t kSimNameBytes = 64;  // UTF-8

struct SimService {
    uint16_t id;
    uint16_t number;  // the three-digit number a viewer keys in
    uint8_t type;     // 0x01 television, 0x02 radio, 0xC0 data (also one-segment)
    bool partialReception;
    bool standardDefinition;  // 480i, as a sub-channel of a multi-channel broadcast is; else 1080i
    SimTheme theme;
    uint16_t pmtPid, pcrPid;
    SiElementary streams[2];  // video first where there is video
    uint8_t streamCount;
    char name[kSimNameBytes];
};

struct SimTransport {
    SimBand band;
    uint32_t index;
    uint16_t tsid, networkId;
    uint8_t remoteKey;
    char networkName[kSimNameBytes], tsName[kSimNameBytes], provider[kSimNameBytes];
    SimService services[kSimMaxServices];
    uint32_t serviceCount;
};

// False for a band or index that the plug-in does not have.
bool SimDescribeTransport(SimBand band, uint32_t index, SimTransport& out);

// UTF-8 text in ARIB code into `out`, as a table's text field (255 bytes at most).
SiText SimEncode(const char* utf8, uint8_t* out, size_t capacity);

// Appends a number in full-width digits, as names and titles write them.
void SimAppendWideNumber(char* to, size_t capacity, uint32_t value, int minDigits = 1);

// The four pipe names as the host keeps them: only in scrambled form
// (PipeNames.cpp). Clients use the plain text of PipeProtocol.h.
#pragma once
#include "relay/PipeProtocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kPipeNameUnits = 45;  // longest name; unit 45 of each buffer is the terminator

constexpr uint32_t kSeedPipeNameDataT = 0x6B8B4567u;
constexpr uint32_t kSeedPipeNameControlT = 0x327B23C6u;
constexpr uint32_t kSeedPipeNameDataS = 0x643C9869u;
constexpr uint32_t kSeedPipeNameControlS = 0x66334873u;

// A name at rest: 45 UTF-16 units (little-endian, NUL-padded), scrambled under its seed.
struct CStoredPipeName {
    uint32_t seed;
    std::array<uint8_t, kPipeNameUnits * 2> block;
};

// In stored order: data T, control T, data S, control S.
extern const CStoredPipeName kStoredPipeNames[4];

// Turns a stored name into a NUL-terminated buffer of 46 units.
void UnscramblePipeName(const CStoredPipeName& stored, wchar_t (&out)[kPipeNameUnits + 1]);

// One tuner kind's two pipe names, handed down to the pipe server that
// serves them.
struct CPipeNamePair {
    std::wstring data;
    std::wstring control;
};

// The stored names of a kind, unscrambled.
CPipeNamePair StoredPipeNamePair(bool terrestrial);

// The four pipe names and the challenge key, shared by the host and its clients.
// The host keeps the names only in scrambled form (PipeNames.cpp); clients use
// the plain text below.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kPipeNameUnits = 45;  // longest name; unit 45 of each buffer is the terminator

inline constexpr wchar_t kPlainPipeNameDataT[] = L"\\\\.\\pipe\\TunerHost_Terrestrial_Data";
inline constexpr wchar_t kPlainPipeNameControlT[] = L"\\\\.\\pipe\\TunerHost_Terrestrial_Control";
inline constexpr wchar_t kPlainPipeNameDataS[] = L"\\\\.\\pipe\\TunerHost_Satellite_Data";
inline constexpr wchar_t kPlainPipeNameControlS[] = L"\\\\.\\pipe\\TunerHost_Satellite_Control";

constexpr uint32_t kSeedPipeNameDataT = 0x6B8B4567u;
constexpr uint32_t kSeedPipeNameControlT = 0x327B23C6u;
constexpr uint32_t kSeedPipeNameDataS = 0x643C9869u;
constexpr uint32_t kSeedPipeNameControlS = 0x66334873u;

// Command 5 answers a 4-byte challenge with the scrambler under this state.
constexpr uint32_t kChallengeKey = 0x74B0DC51u;

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

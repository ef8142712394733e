// The channel as a user gives it to tsrec, turned into the value command 2
// carries: a frequency in kHz for the terrestrial kind, a TSID for the
// satellite kind.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Terrestrial: "13".."62" (UHF channel), "1".."12" (VHF channel), "C13".."C63"
// (CATV channel), or a frequency in kHz (1000 and up). Satellite: a TSID in
// hex, with or without "0x".
std::optional<uint32_t> ParseChannelArgument(const std::wstring& text, bool terrestrial);

// What the user types for a terrestrial band's channel index; empty when the
// index has no frequency.
std::wstring TerrestrialChannelArgument(int band, uint32_t index);

// The tuning spaces and channels of the client plug-in's kind, named as users
// know them, each with the value command 2 carries for it: terrestrial UHF
// 13-62, CATV C13-C63 and VHF 1-12 by frequency; satellite BS and CS110 by the
// transport streams of TunerHost's table.
#pragma once
#include <stdint.h>

// Null past the last space or channel.
const wchar_t* ClientSpaceName(bool terrestrial, uint32_t space);
const wchar_t* ClientChannelName(bool terrestrial, uint32_t space, uint32_t channel);
// False for a space or channel that is not there.
bool ClientChannelValue(bool terrestrial, uint32_t space, uint32_t channel, uint32_t& value);
